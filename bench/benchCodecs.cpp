// Codec costs per call: checksums, Orvatbus and Modbus framing, the hex dump, connection
// strings and one traffic line of a search log. Each benchmark also counts allocations per
// call; the sized ones run at about 16, 64 and 256 bytes so a count that grows with the length
// shows. One step between 16 and 64 bytes is the short-string buffer (15 bytes) running out,
// not an allocation per byte; from 64 to 256 bytes the count must stay the same.

#include <benchmark/benchmark.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "benchAllocCounter.h"
#include "benchReport.h"
#include "connections/ioDeviceConnection.h"
#include "foundation/appDateTime.h"
#include "messaging/ioModbusCoreTypes.h"
#include "messaging/ioOrvatbusCoreTypes.h"
#include "messaging/updStrUtils.h"
#include "search/uSearchLog.h"

namespace probrix {
namespace {

// Bytes that look like traffic, escape-worthy values (SOH, ETX, the escape byte) included.
TBytes Payload(std::size_t Size) {
  TBytes b(Size, 0);
  std::uint32_t x = 0x12345678;
  for (auto& v : b) {
    x = x * 1664525u + 1013904223u;
    v = static_cast<std::uint8_t>(x >> 24);
  }
  return b;
}

// Reports the allocations per call of the timed loop as the counter "allocs".
class TAllocScope {
 public:
  explicit TAllocScope(benchmark::State& S) : State_(S), Start_(bench::AllocationCount()) {}
  ~TAllocScope() {
    State_.counters["allocs"] = benchmark::Counter(
        static_cast<double>(bench::AllocationCount() - Start_), benchmark::Counter::kAvgIterations);
  }

 private:
  benchmark::State& State_;
  std::uint64_t Start_;
};

// One checksum over a payload of the benchmark's length.
template <class F>
void ChecksumOf(benchmark::State& S, F Checksum) {
  const TBytes data = Payload(static_cast<std::size_t>(S.range(0)));
  TAllocScope allocs(S);
  for (auto _ : S) benchmark::DoNotOptimize(Checksum(data.data(), static_cast<int>(data.size())));
}

void Crc16(benchmark::State& S) { ChecksumOf(S, ModbusUtils::CalcCrc16); }
BENCHMARK(Crc16)->Arg(16)->Arg(64)->Arg(256);

void Crc8(benchmark::State& S) { ChecksumOf(S, OrvatbusUtils::CalcCrc8); }
BENCHMARK(Crc8)->Arg(16)->Arg(64)->Arg(256);

void Xor(benchmark::State& S) { ChecksumOf(S, OrvatbusUtils::CalcCrc1); }
BENCHMARK(Xor)->Arg(16)->Arg(64)->Arg(256);

// An identification-sized body: address, command, then data.
TBytes OrvatbusBody(std::size_t Size) {
  TBytes body = Payload(Size);
  body[0] = OrvatbusUtils::EncodeAddress(5);
  body[1] = 0x49;
  return body;
}

void OrvatbusPack(benchmark::State& S) {
  const TBytes body = OrvatbusBody(static_cast<std::size_t>(S.range(0)));
  TAllocScope allocs(S);
  for (auto _ : S) benchmark::DoNotOptimize(OrvatbusUtils::Pack(body, &OrvatbusUtils::CalcCrc8));
}
BENCHMARK(OrvatbusPack)->Arg(16)->Arg(64)->Arg(256);

void OrvatbusUnpack(benchmark::State& S) {
  const TBytes packed = OrvatbusUtils::Pack(OrvatbusBody(static_cast<std::size_t>(S.range(0))),
                                            &OrvatbusUtils::CalcCrc8);
  TAllocScope allocs(S);
  for (auto _ : S)
    benchmark::DoNotOptimize(OrvatbusUtils::Unpack(packed, &OrvatbusUtils::CalcCrc8));
}
BENCHMARK(OrvatbusUnpack)->Arg(16)->Arg(64)->Arg(256);

// Read holding registers 1000..1009 of unit 17.
const TBytes ReadRequestBody = {17, 0x03, 0x03, 0xE8, 0x00, 0x0A};

void ModbusBuildRtu(benchmark::State& S) {
  TAllocScope allocs(S);
  for (auto _ : S) benchmark::DoNotOptimize(ModbusUtils::BuildRtuFrame(ReadRequestBody));
}
BENCHMARK(ModbusBuildRtu);

void ModbusBuildTcp(benchmark::State& S) {
  TAllocScope allocs(S);
  std::uint16_t id = 0;
  for (auto _ : S) benchmark::DoNotOptimize(ModbusUtils::BuildTcpFrame(ReadRequestBody, ++id));
}
BENCHMARK(ModbusBuildTcp);

// A read reply of Registers registers: 5 + 2 x Registers bytes (15, 65 and 255 bytes below).
TBytes ModbusReplyBody(std::size_t Registers) {
  TBytes body = {17, 0x03, static_cast<std::uint8_t>(2 * Registers)};
  const TBytes data = Payload(2 * Registers);
  body += data;
  return body;
}

void ModbusParseRtu(benchmark::State& S) {
  const TBytes frame =
      ModbusUtils::BuildRtuFrame(ModbusReplyBody(static_cast<std::size_t>(S.range(0))));
  TAllocScope allocs(S);
  for (auto _ : S) benchmark::DoNotOptimize(ModbusUtils::ParseRtuFrame(frame));
}
BENCHMARK(ModbusParseRtu)->Arg(5)->Arg(30)->Arg(125);

void ModbusParseTcp(benchmark::State& S) {
  const TBytes frame =
      ModbusUtils::BuildTcpFrame(ModbusReplyBody(static_cast<std::size_t>(S.range(0))), 7);
  TAllocScope allocs(S);
  for (auto _ : S) benchmark::DoNotOptimize(ModbusUtils::ParseTcpFrame(frame, 7));
}
BENCHMARK(ModbusParseTcp)->Arg(5)->Arg(30)->Arg(125);

void HexDumpBytes(benchmark::State& S) {
  const TBytes data = Payload(static_cast<std::size_t>(S.range(0)));
  TAllocScope allocs(S);
  for (auto _ : S) benchmark::DoNotOptimize(HexDump(data.data(), static_cast<int>(data.size())));
}
BENCHMARK(HexDumpBytes)->Arg(16)->Arg(64)->Arg(256);

void SerialConnectionString(benchmark::State& S) {
  TSerialPortConnectionStringBuilder b;
  TAllocScope allocs(S);
  for (auto _ : S) {
    b.SetConnectionString("PortName=COM12;BaudRate=115200;DtrEnable=1");
    benchmark::DoNotOptimize(b.BaudRate);
  }
}
BENCHMARK(SerialConnectionString);

void TcpEndpointText(benchmark::State& S) {
  TAllocScope allocs(S);
  for (auto _ : S) benchmark::DoNotOptimize(ParseTcpEndPointText("192.168.100.200:502"));
}
BENCHMARK(TcpEndpointText);

// One traffic line as the transceiver writes it into the attempt's search log.
void SearchLogLine(benchmark::State& S) {
  const TBytes request = ModbusUtils::BuildRtuFrame(ReadRequestBody);
  const std::string dump = HexDumpText(request);
  const TDateTime now = NowDateTime();
  TSearchLog log;
  std::size_t lines = 0;
  TAllocScope allocs(S);
  for (auto _ : S) {
    log.AddFmt("---> (size=%d) %s (ExecutionTime=%d ms) [ThreadID: 0x%.8x]",
               {static_cast<int>(request.size()), dump, 0, 0x1A2B}, now);
    // An attempt's log is cleared before the next attempt; so is this one, now and then.
    if (++lines == 64) {
      log.Clear();
      lines = 0;
    }
  }
}
BENCHMARK(SearchLogLine);

// Prints the usual table and one result line per benchmark; the sized pairs also get a line
// that says whether the allocations per call stay the same at 16 and 256 bytes.
class TResultReporter : public benchmark::ConsoleReporter {
 public:
  // Without colours: the result lines must start at the beginning of their line.
  TResultReporter() : ConsoleReporter(OO_Tabular) {}

  void ReportRuns(const std::vector<Run>& Runs) override {
    ConsoleReporter::ReportRuns(Runs);
    for (const Run& r : Runs) {
      // Repeated runs report their median only; a single run reports itself.
      const bool median = r.run_type == Run::RT_Aggregate && r.aggregate_name == "median";
      if ((r.run_type != Run::RT_Iteration && !median) || r.error_occurred) continue;
      const double ns = r.GetAdjustedCPUTime();  // per iteration, in the run's unit (ns)
      const auto a = r.counters.find("allocs");
      const double allocs = a == r.counters.end() ? 0 : static_cast<double>(a->second);
      const std::string name = r.run_name.str();
      Runs_.push_back({name, ns, allocs});
    }
  }
  void Finalize() override {
    ConsoleReporter::Finalize();
    std::map<std::string, std::vector<const TEntry*>> families;
    for (const TEntry& e : Runs_) {
      bench::Result("codec " + e.Name + " (ns/call, allocs/call)",
                    bench::Fixed(e.Ns, 1) + " ns, " + bench::Fixed(e.Allocs, 2) + " allocs",
                    "report", true);
      families[e.Name.substr(0, e.Name.find('/'))].push_back(&e);
    }
    bool constant = true;
    std::string growing, detail;
    for (const auto& [family, entries] : families) {
      if (entries.size() < 3) continue;
      const double small = entries[0]->Allocs, mid = entries[1]->Allocs, large = entries[2]->Allocs;
      detail += family + " " + bench::Fixed(small, 0) + "/" + bench::Fixed(mid, 0) + "/" +
                bench::Fixed(large, 0) + "; ";
      if (large > mid + 0.01 || mid > small + 1.01) {
        constant = false;
        growing += family + " ";
      }
    }
    bench::Result("codecs: allocations per call at 16 / 64 / 256 bytes",
                  constant ? "constant from 64 bytes" : "grows: " + growing,
                  "no allocation per byte", constant, detail);
  }

 private:
  struct TEntry {
    std::string Name;
    double Ns;
    double Allocs;
  };
  std::vector<TEntry> Runs_;
};

}  // namespace
}  // namespace probrix

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  probrix::TResultReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
