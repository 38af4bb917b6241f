// Whole searches against the simulator: how close a search over silent addresses comes to the
// sum of its reply timeouts, how precisely each timeout ends, how little CPU it burns while it
// waits, what one found device costs compared with libmodbus reading the same registers, how
// soon a stop (or SIGINT to probrix-cli) ends a long reply wait, and how much sooner a search
// over several silent buses ends when it searches them at once.
//
// The simulator runs in a child process, forked before any thread exists, so that its CPU
// time is not counted as the search's.

#include <modbus.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "benchReport.h"
#include "benchSearchPeers.h"
#include "connections/ioConnectionFactory.h"
#include "devsim/devsimSimulator.h"
#include "search/uFinderEngine.h"

namespace probrix {
namespace {

using Clock = std::chrono::steady_clock;
using bench::Fixed;

// The reply timeout of the silent searches; the second argument changes it.
int ReplyTimeoutMs = 100;
constexpr int SilentAddresses = 100;
constexpr int AnsweringDevices = 50;
// Several buses at once: serial ports and servers where nothing answers.
constexpr int ParallelPorts = 4, ParallelPortAddresses = 50;
constexpr int ParallelServers = 16, ParallelServerAddresses = 20;
constexpr int ParallelTimeoutMs = 50;

struct TEndpoints {
  std::string SilentPort, AnsweringPort;
  std::uint16_t SilentServer = 0, AnsweringServer = 0;
  std::vector<std::string> QuietPorts;      // ParallelPorts ports without a device
  std::vector<std::uint16_t> QuietServers;  // ParallelServers servers without a device
  std::string PacedPort;                    // Modbus RTU devices 1..N, bytes at the line's rate
};

// The serial ports and TCP servers one search probes.
struct TBuses {
  std::vector<std::string> Ports;
  std::vector<std::uint16_t> Servers;
};

// One serial port (Port non-empty) or one server.
TBuses OneBus(const std::string& Port, std::uint16_t Server) {
  return Port.empty() ? TBuses{{}, {Server}} : TBuses{{Port}, {}};
}

// The child: a silent pseudo terminal, one with Modbus RTU devices 1..N, a server that accepts
// and never answers, one with Modbus TCP units 1..N, quiet ports and servers, and a pseudo
// terminal paced at the line's rate with Modbus RTU devices 1..N. Runs until the parent closes
// Control.
[[noreturn]] void RunSimulator(int Out, int Control) {
  int status = 0;
  try {
    devsim::TSimulator sim;
    TEndpoints e;
    e.SilentPort = sim.AddSerialPort();
    e.AnsweringPort = sim.AddSerialPort();
    e.SilentServer = sim.AddTcpServer();
    e.AnsweringServer = sim.AddTcpServer();
    devsim::TSerialPortConfig paced;
    paced.WireTiming = true;
    e.PacedPort = sim.AddSerialPort(paced);
    for (int unit = 1; unit <= AnsweringDevices; ++unit) {
      devsim::TDeviceConfig d;
      d.Kind = devsim::TDeviceKind::dkModbus;
      d.Address = unit;
      d.DeviceType = 16;
      d.FirmwareVersion = 215;
      d.SerialNumber = 4000u + static_cast<unsigned>(unit);
      sim.AddDevice(e.AnsweringPort, d);
      sim.AddDevice(e.AnsweringServer, d);
      sim.AddDevice(e.PacedPort, d);
    }
    std::string text = e.SilentPort + "\n" + e.AnsweringPort + "\n" +
                       std::to_string(e.SilentServer) + "\n" + std::to_string(e.AnsweringServer) +
                       "\n";
    for (int i = 0; i < ParallelPorts; ++i) text += sim.AddSerialPort() + "\n";
    for (int i = 0; i < ParallelServers; ++i) text += std::to_string(sim.AddTcpServer()) + "\n";
    text += e.PacedPort + "\n";
    if (::write(Out, text.data(), text.size()) != static_cast<ssize_t>(text.size())) status = 1;
    ::close(Out);
    char c;
    while (::read(Control, &c, 1) > 0) {
    }
    sim.Stop();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "simulator: %s\n", e.what());
    status = 1;
  }
  std::_Exit(status);
}

class TSimulatorProcess {
 public:
  TSimulatorProcess() {
    int out[2], control[2];
    if (::pipe(out) != 0 || ::pipe(control) != 0) throw std::runtime_error("pipe");
    Pid_ = ::fork();
    if (Pid_ < 0) throw std::runtime_error("fork");
    if (Pid_ == 0) {
      ::prctl(PR_SET_PDEATHSIG, SIGTERM);
      ::close(out[0]);
      ::close(control[1]);
      RunSimulator(out[1], control[0]);
    }
    ::close(out[1]);
    ::close(control[0]);
    Control_ = control[1];
    std::string text;
    char buffer[512];
    for (ssize_t n; (n = ::read(out[0], buffer, sizeof buffer)) > 0;)
      text.append(buffer, static_cast<std::size_t>(n));
    ::close(out[0]);
    std::vector<std::string> lines;
    for (std::size_t pos = 0, nl; (nl = text.find('\n', pos)) != std::string::npos; pos = nl + 1)
      lines.push_back(text.substr(pos, nl - pos));
    if (lines.size() != 5 + ParallelPorts + ParallelServers)
      throw std::runtime_error("the simulator did not start");
    E.SilentPort = lines[0];
    E.AnsweringPort = lines[1];
    E.SilentServer = static_cast<std::uint16_t>(std::stoi(lines[2]));
    E.AnsweringServer = static_cast<std::uint16_t>(std::stoi(lines[3]));
    for (int i = 0; i < ParallelPorts; ++i) E.QuietPorts.push_back(lines[4 + i]);
    for (int i = 0; i < ParallelServers; ++i)
      E.QuietServers.push_back(static_cast<std::uint16_t>(std::stoi(lines[4 + ParallelPorts + i])));
    E.PacedPort = lines.back();
  }
  ~TSimulatorProcess() {
    ::close(Control_);
    int status = 0;
    ::waitpid(Pid_, &status, 0);
  }
  TEndpoints E;

 private:
  pid_t Pid_ = -1;
  int Control_ = -1;
};

double Seconds(Clock::duration D) { return std::chrono::duration<double>(D).count(); }
double Ms(Clock::duration D) { return std::chrono::duration<double, std::milli>(D).count(); }

double CpuSeconds() {
  rusage u{};
  ::getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

struct TRun {
  double Wall = 0;               // s, Start to the end of the worker
  double Cpu = 0;                // s of this process (the worker, the port's threads)
  std::vector<double> Attempts;  // ms per address, progress event to result event
  int Found = 0, Failed = 0;
  std::string RunError;
};

// The plan of one protocol over Buses, one try, Parallel connections at once.
void Plan(TSearchDevicesTask& Task, TDeviceProtocol Protocol, const TBuses& Buses,
          const std::vector<std::uint8_t>& Addresses, int TimeoutMs, int Parallel = 1,
          const std::vector<TLineFormat>& Formats = {}) {
  Task.SerialPortNames = Buses.Ports;
  Task.BaudRates = {9600};
  Task.LineFormats = Formats;
  for (const std::uint16_t server : Buses.Servers)
    Task.TcpEndpoints.push_back("127.0.0.1:" + std::to_string(server));
  Task.ParallelConnections = Parallel;
  Task.Protocols = {Protocol};
  Task.SetAddresses(Protocol, Addresses);
  Task.StartOfPacketReadTimeout = TimeoutMs;
  Task.ReadTimeout = 3 * TimeoutMs;  // as the window plans it
  Task.RequestRetryCount = 1;
}

// One search with one protocol over Buses, Parallel connections at once. The attempt times
// are kept for a search of one connection at a time.
TRun Search(TDeviceProtocol Protocol, const TBuses& Buses,
            const std::vector<std::uint8_t>& Addresses, int TimeoutMs, int Parallel = 1,
            const std::vector<TLineFormat>& Formats = {}) {
  ShutdownConnectionFactory();  // every run opens its connections afresh
  TSearchDevicesTask task;
  Plan(task, Protocol, Buses, Addresses, TimeoutMs, Parallel, Formats);

  TRun run;
  Clock::time_point attemptStart;
  // The handlers run on the worker; the results are read after it has been joined.
  task.OnProgressChanged = [&](TSearchDevicesTask*, const TSearchAttempt&) {
    attemptStart = Clock::now();
  };
  task.OnDeviceFound = [&](TSearchDevicesTask*, const TSearchAttempt&, const TDeviceInfo&,
                           const TSearchLog&) {
    run.Attempts.push_back(Ms(Clock::now() - attemptStart));
    ++run.Found;
  };
  task.OnSearchError = [&](TSearchDevicesTask*, const TSearchAttempt&, const Exception&,
                           const TSearchLog&) {
    run.Attempts.push_back(Ms(Clock::now() - attemptStart));
    ++run.Failed;
  };
  const double cpu0 = CpuSeconds();
  const auto t0 = Clock::now();
  task.Start();
  task.WaitFor();
  run.Wall = Seconds(Clock::now() - t0);
  run.Cpu = CpuSeconds() - cpu0;
  run.RunError = task.RunError();
  ShutdownConnectionFactory();
  return run;
}

std::vector<std::uint8_t> Range(int First, int Count) {
  std::vector<std::uint8_t> list;
  for (int i = 0; i < Count; ++i) list.push_back(static_cast<std::uint8_t>(First + i));
  return list;
}

// libmodbus reading registers 1000..1009 of units 1..N over one connection; ms per read, or a
// negative value when a read failed.
double LibmodbusPerRead(modbus_t* Ctx) {
  if (Ctx == nullptr || modbus_connect(Ctx) != 0) return -1;
  std::uint16_t registers[10];
  bool ok = true;
  const auto t0 = Clock::now();
  for (int unit = 1; unit <= AnsweringDevices; ++unit) {
    modbus_set_slave(Ctx, unit);
    ok = modbus_read_registers(Ctx, 1000, 10, registers) == 10 && ok;
  }
  const double perRead = Ms(Clock::now() - t0) / AnsweringDevices;
  modbus_close(Ctx);
  modbus_free(Ctx);
  return ok ? perRead : -1;
}

// Stop during a reply wait of 10 s: ms from Stop to the finished event, per run. The wait is
// entered 30 ms after the attempt's progress event (the serial port's 100 ms opening wait
// included).
std::vector<double> StopLatencies(TDeviceProtocol Protocol, const std::string& Port,
                                  std::uint16_t Server, int Runs) {
  std::vector<double> latencies;
  for (int i = 0; i < Runs; ++i) {
    ShutdownConnectionFactory();
    TSearchDevicesTask task;
    Plan(task, Protocol, OneBus(Port, Server), {1}, 10000);
    std::mutex lock;
    std::condition_variable changed;
    bool started = false, finished = false;
    Clock::time_point finishedAt;
    task.OnProgressChanged = [&](TSearchDevicesTask*, const TSearchAttempt&) {
      std::lock_guard guard(lock);
      started = true;
      changed.notify_all();
    };
    task.OnSearchFinished = [&](TSearchDevicesTask*, bool) {
      const auto now = Clock::now();
      std::lock_guard guard(lock);
      finishedAt = now;
      finished = true;
      changed.notify_all();
    };
    task.Start();
    {
      std::unique_lock wait(lock);
      changed.wait(wait, [&] { return started; });
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(Port.empty() ? 30 : 130));
    const auto stopAt = Clock::now();
    task.Stop();
    std::unique_lock wait(lock);
    changed.wait(wait, [&] { return finished; });
    latencies.push_back(Ms(finishedAt - stopAt));
  }
  ShutdownConnectionFactory();
  return latencies;
}

// SIGINT to probrix-cli during a reply wait of 10 s: ms from the signal to its "finished" line.
std::vector<double> InterruptLatencies(std::uint16_t Server, int Runs) {
  std::vector<double> latencies;
  for (int i = 0; i < Runs; ++i) {
    int out[2];
    if (::pipe(out) != 0) break;
    const pid_t pid = ::fork();
    if (pid == 0) {
      ::dup2(out[1], 1);
      ::close(out[0]);
      const std::string endpoint = "127.0.0.1:" + std::to_string(Server);
      const std::string logs = "/tmp";
      ::execl(PROBRIX_CLI_PATH, PROBRIX_CLI_PATH, "--json", "-t", endpoint.c_str(), "-P",
              "modbustcp", "--modbus-addresses", "1", "--timeout", "10000", "--log-dir",
              logs.c_str(), static_cast<char*>(nullptr));
      std::_Exit(127);
    }
    ::close(out[1]);
    // Started, connected and waiting for the reply well within this.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const auto signalAt = Clock::now();
    ::kill(pid, SIGINT);
    std::string text;
    char buffer[512];
    double latency = -1;
    for (ssize_t n; (n = ::read(out[0], buffer, sizeof buffer)) > 0;) {
      text.append(buffer, static_cast<std::size_t>(n));
      if (latency < 0 && text.find("\"event\":\"finished\"") != std::string::npos)
        latency = Ms(Clock::now() - signalAt);
    }
    ::close(out[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (latency >= 0) latencies.push_back(latency);
  }
  return latencies;
}

struct TSilentFigure {
  std::string Name;
  TDeviceProtocol Protocol;
  bool Serial;
  int Series;  // request series per address (Orvatbus: one per checksum)
  std::vector<double> Ratios, CpuShares;
  std::vector<double> Overshoots;  // ms, actual minus configured, per try
  bool AllTimedOut = true;
  std::string Errors;
};

}  // namespace
}  // namespace probrix

int main(int argc, char** argv) {
  using namespace probrix;
  if (argc == 4 && std::string(argv[1]) == "silent-loop")
    return bench::RunSilentLoop(static_cast<std::uint16_t>(std::atoi(argv[2])), std::atoi(argv[3]));
  const int repeats = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
  if (argc > 2) ReplyTimeoutMs = std::max(10, std::atoi(argv[2]));
  // "peers" as the third argument: only the comparisons with the libmodbus loop; "formats":
  // only the line-format figure.
  const bool peersOnly = argc > 3 && std::string(argv[3]) == "peers";
  const bool formatsOnly = argc > 3 && std::string(argv[3]) == "formats";
  TSimulatorProcess sim;  // before any thread of this process
  const TEndpoints& e = sim.E;
  const bench::TPeerEndpoints peers{e.AnsweringServer, e.SilentServer, e.AnsweringPort, e.PacedPort,
                                    AnsweringDevices};
  if (peersOnly) {
    bench::ComparePeers(peers, repeats);
    return 0;
  }

  // --- a second line format: the same cost per attempt --------------------------------------
  // A silent pseudo terminal searched with 8N1 alone and with 8N1 and 8E1: twice the attempts
  // (a run and a port opening per format), each as close to its timeout as with one format.
  {
    std::vector<double> one, two;
    bool allTimedOut = true;
    const std::vector<std::uint8_t> addresses = Range(0, SilentAddresses);
    const double floor = SilentAddresses * ReplyTimeoutMs / 1000.0;
    for (int r = 0; r < repeats; ++r) {
      const TRun single =
          Search(TDeviceProtocol::dpModbusRtu, OneBus(e.SilentPort, 0), addresses, ReplyTimeoutMs);
      const TRun both = Search(TDeviceProtocol::dpModbusRtu, OneBus(e.SilentPort, 0), addresses,
                               ReplyTimeoutMs, 1, {DefaultLineFormat, *ParseLineFormat("8E1")});
      allTimedOut =
          allTimedOut && single.Failed == SilentAddresses && both.Failed == 2 * SilentAddresses;
      one.push_back(single.Wall / floor);
      two.push_back(both.Wall / (2 * floor));
      std::printf("  line formats: 8N1 %.3f s (floor %.1f s), 8N1+8E1 %.3f s (floor %.1f s)\n",
                  single.Wall, floor, both.Wall, 2 * floor);
      std::fflush(stdout);
    }
    const double ratio = bench::Median(two) / bench::Median(one);
    bench::Result("silent-address efficiency: two line formats (8N1, 8E1) / one, per attempt",
                  Fixed(ratio, 4), "within 2 %", std::abs(ratio - 1) <= 0.02 && allTimedOut,
                  "Modbus RTU, silent pseudo terminal, " + std::to_string(SilentAddresses) +
                      " addresses x " + std::to_string(ReplyTimeoutMs) +
                      " ms per format; per attempt: one format " + Fixed(bench::Median(one), 4) +
                      " x its floor, two formats " + Fixed(bench::Median(two), 4) + ", median of " +
                      std::to_string(repeats) +
                      (allTimedOut ? "" : "; not every address timed out"));
    if (formatsOnly) return 0;
  }

  // --- silent addresses: efficiency, CPU while waiting, timeout precision ----------------
  std::vector<TSilentFigure> silent = {
      {"Modbus TCP, server that never answers",
       TDeviceProtocol::dpModbusTcp,
       false,
       1,
       {},
       {},
       {},
       true,
       {}},
      {"Modbus RTU, silent pseudo terminal",
       TDeviceProtocol::dpModbusRtu,
       true,
       1,
       {},
       {},
       {},
       true,
       {}},
      {"Orvatbus, silent pseudo terminal",
       TDeviceProtocol::dpOrvatbus,
       true,
       2,
       {},
       {},
       {},
       true,
       {}},
  };
  std::string perRunP99;  // the spread between runs shows how much is the machine's load
  for (int r = 0; r < repeats; ++r) {
    for (TSilentFigure& f : silent) {
      const TRun run =
          Search(f.Protocol, OneBus(f.Serial ? e.SilentPort : std::string(), e.SilentServer),
                 Range(f.Protocol == TDeviceProtocol::dpModbusTcp ? 1 : 0, SilentAddresses),
                 ReplyTimeoutMs);
      const double floor = SilentAddresses * f.Series * ReplyTimeoutMs / 1000.0;
      f.Ratios.push_back(run.Wall / floor);
      f.CpuShares.push_back(100.0 * run.Cpu / run.Wall);
      // The first attempt also opens the connection (a serial port's open waits 100 ms).
      for (std::size_t i = 1; i < run.Attempts.size(); ++i)
        f.Overshoots.push_back(run.Attempts[i] / f.Series - ReplyTimeoutMs);
      if (run.Failed != SilentAddresses || !run.RunError.empty()) {
        f.AllTimedOut = false;
        f.Errors = run.RunError;
      }
      std::vector<double> over;
      for (std::size_t i = 1; i < run.Attempts.size(); ++i)
        over.push_back(run.Attempts[i] / f.Series - ReplyTimeoutMs);
      if (f.Series == 1)
        perRunP99 += (perRunP99.empty() ? "" : ", ") + Fixed(bench::Quantile(over, 0.99), 2);
      std::printf(
          "  %s: %.3f s (floor %.1f s), CPU %.3f s, per try over the timeout: min %.2f, "
          "median %.2f, p99 %.2f, max %.2f ms\n",
          f.Name.c_str(), run.Wall, floor, run.Cpu, bench::Quantile(over, 0), bench::Median(over),
          bench::Quantile(over, 0.99), bench::Quantile(over, 1));
      std::fflush(stdout);
    }
  }
  std::vector<double> overshoots;
  for (const TSilentFigure& f : silent) {
    const double ratio = bench::Median(f.Ratios);
    bench::Result(
        "silent-address efficiency: " + f.Name + (f.Series == 2 ? " (2 checksum series)" : ""),
        Fixed(ratio, 4), "<= 1.02", ratio <= 1.02 && f.AllTimedOut,
        std::to_string(SilentAddresses) + " addresses x " + std::to_string(f.Series) + " x " +
            std::to_string(ReplyTimeoutMs) + " ms, median of " + std::to_string(repeats) +
            (f.AllTimedOut ? "" : "; not every address timed out " + f.Errors));
    // One wait per sample: an Orvatbus address makes two tries, timed only together.
    if (f.Series == 1)
      overshoots.insert(overshoots.end(), f.Overshoots.begin(), f.Overshoots.end());
  }
  for (const TSilentFigure& f : silent) {
    const double share = bench::Median(f.CpuShares);
    bench::Result("CPU while waiting: " + f.Name, Fixed(share, 3) + " %", "<= 0.5 %", share <= 0.5,
                  "user+system of the searching process / wall");
  }
  {
    const double median = bench::Median(overshoots), p99 = bench::Quantile(overshoots, 0.99);
    bench::Result("timeout precision: actual - configured (median / p99)",
                  Fixed(median, 2) + " / " + Fixed(p99, 2) + " ms", "p99 <= 2 ms", p99 <= 2.0,
                  std::to_string(overshoots.size()) + " silent tries of " +
                      std::to_string(ReplyTimeoutMs) +
                      " ms, Modbus TCP and Modbus RTU; p99 of each run: " + perRunP99 + " ms");
  }

  // --- answered exchanges against libmodbus --------------------------------------------
  struct TAnswered {
    std::string Name;
    TDeviceProtocol Protocol;
    bool Serial;
    std::vector<double> Steady, Whole, Peer;
    bool AllFound = true;
  };
  std::vector<TAnswered> answered = {
      {"Modbus TCP unit", TDeviceProtocol::dpModbusTcp, false, {}, {}, {}, true},
      {"Modbus RTU device", TDeviceProtocol::dpModbusRtu, true, {}, {}, {}, true},
  };
  for (int r = 0; r < 5; ++r) {
    for (TAnswered& a : answered) {
      const TRun run =
          Search(a.Protocol, OneBus(a.Serial ? e.AnsweringPort : std::string(), e.AnsweringServer),
                 Range(1, AnsweringDevices), ReplyTimeoutMs);
      if (run.Found != AnsweringDevices) a.AllFound = false;
      // The first attempt opens the connection (a serial port's open waits 100 ms by design).
      std::vector<double> steady(run.Attempts.begin() + (run.Attempts.empty() ? 0 : 1),
                                 run.Attempts.end());
      a.Steady.push_back(bench::Median(steady));
      a.Whole.push_back(run.Wall * 1000 / AnsweringDevices);
      modbus_t* ctx = a.Serial ? modbus_new_rtu(e.AnsweringPort.c_str(), 9600, 'N', 8, 1)
                               : modbus_new_tcp("127.0.0.1", e.AnsweringServer);
      const double peer = LibmodbusPerRead(ctx);
      if (peer < 0) a.AllFound = false;
      a.Peer.push_back(peer);
    }
  }
  for (const TAnswered& a : answered) {
    const double ours = bench::Median(a.Steady), whole = bench::Median(a.Whole),
                 peer = bench::Median(a.Peer);
    const double ratio = peer > 0 ? ours / peer : 0;
    bench::Result(
        "answered exchange: per found " + a.Name + " / libmodbus read of 10 registers",
        Fixed(ratio, 2) + " (" + Fixed(ours * 1000, 0) + " µs / " + Fixed(peer * 1000, 0) + " µs)",
        "<= 1.25", a.AllFound && ratio <= 1.25,
        "median per device after the first; whole search incl. opening: " + Fixed(whole * 1000, 0) +
            " µs per device" + (a.AllFound ? "" : "; NOT every device was found"));
  }

  // --- stopping during a long reply wait ------------------------------------------------
  struct TStopFigure {
    std::string Name;
    std::vector<double> Latencies;
  };
  const int stopRuns = repeats * 5;
  std::vector<TStopFigure> stops = {
      {"Stop, Modbus RTU read on a pseudo terminal",
       StopLatencies(TDeviceProtocol::dpModbusRtu, e.SilentPort, 0, stopRuns)},
      {"Stop, Modbus TCP receive",
       StopLatencies(TDeviceProtocol::dpModbusTcp, {}, e.SilentServer, stopRuns)},
      {"SIGINT to probrix-cli, Modbus TCP receive", InterruptLatencies(e.SilentServer, stopRuns)},
  };
  for (const TStopFigure& f : stops) {
    const double median = bench::Median(f.Latencies);
    const bool complete = static_cast<int>(f.Latencies.size()) == stopRuns;
    bench::Result("stop latency: " + f.Name + " (median / max)",
                  Fixed(median, 1) + " / " + Fixed(bench::Quantile(f.Latencies, 1), 1) + " ms",
                  "median <= 50 ms", complete && median <= 50.0,
                  "during a 10 s reply timeout, to the finished event; " +
                      std::to_string(f.Latencies.size()) + " of " + std::to_string(stopRuns) +
                      " runs");
  }

  // --- several silent buses at once ----------------------------------------------------
  // The same search with 1, 2, 4 (and for the servers 16) connections at once, side by side
  // in each repetition, so the machine's load touches every figure alike.
  struct TParallelFigure {
    std::string Name;
    TDeviceProtocol Protocol;
    TBuses Buses;
    int Addresses;
    std::vector<int> Workers;
    std::map<int, std::vector<double>> Walls, CpuPerConnection;
    bool AllTimedOut = true;
  };
  std::vector<TParallelFigure> parallel = {
      {std::to_string(ParallelPorts) + " serial ports x " + std::to_string(ParallelPortAddresses) +
           " silent addresses (Modbus RTU)",
       TDeviceProtocol::dpModbusRtu,
       {e.QuietPorts, {}},
       ParallelPortAddresses,
       {1, 2, 4},
       {},
       {},
       true},
      {std::to_string(ParallelServers) + " TCP endpoints x " +
           std::to_string(ParallelServerAddresses) + " silent addresses (Modbus TCP)",
       TDeviceProtocol::dpModbusTcp,
       {{}, e.QuietServers},
       ParallelServerAddresses,
       {1, 2, 4, 16},
       {},
       {},
       true},
  };
  for (int r = 0; r < repeats; ++r) {
    for (TParallelFigure& f : parallel) {
      const int connections = static_cast<int>(f.Buses.Ports.size() + f.Buses.Servers.size());
      for (const int n : f.Workers) {
        const TRun run = Search(f.Protocol, f.Buses, Range(1, f.Addresses), ParallelTimeoutMs, n);
        f.Walls[n].push_back(run.Wall);
        f.CpuPerConnection[n].push_back(100.0 * run.Cpu / run.Wall / std::min(n, connections));
        if (run.Failed != connections * f.Addresses || !run.RunError.empty()) f.AllTimedOut = false;
        std::printf("  %s, %d at once: %.3f s, CPU %.3f s\n", f.Name.c_str(), n, run.Wall, run.Cpu);
        std::fflush(stdout);
      }
    }
  }
  for (const TParallelFigure& f : parallel) {
    const int connections = static_cast<int>(f.Buses.Ports.size() + f.Buses.Servers.size());
    const double one = bench::Median(f.Walls.at(1)), four = bench::Median(f.Walls.at(4));
    std::string workers, measured, note;
    for (const int n : f.Workers) {
      const double wall = bench::Median(f.Walls.at(n));
      const std::string sep = workers.empty() ? "" : ", ";
      workers += sep + std::to_string(n);
      measured += (measured.empty() ? "" : " / ") + Fixed(wall, 2) + " s";
      // The floor: the timeouts of one connection times the connections each worker has.
      const double floor = (connections + n - 1) / n * f.Addresses * ParallelTimeoutMs / 1000.0;
      note += sep + "N=" + std::to_string(n) + " " + Fixed(wall / floor, 3) + " x its floor";
    }
    bench::Result("parallel search: " + f.Name + ", N = " + workers + " (wall)",
                  measured + " (N=4: " + Fixed(four / one, 3) + " x N=1)", "N=4 <= 0.3 x N=1",
                  f.AllTimedOut && four <= 0.3 * one,
                  std::to_string(ParallelTimeoutMs) + " ms reply timeout, one try, median of " +
                      std::to_string(repeats) + "; " + note +
                      (f.AllTimedOut ? "" : "; NOT every address timed out"));
    const int widest = f.Workers.back();
    const double cpu = bench::Median(f.CpuPerConnection.at(widest));
    bench::Result(
        "CPU while waiting, per connection: " + f.Name + ", N = " + std::to_string(widest),
        Fixed(cpu, 3) + " %", "<= 0.5 %", cpu <= 0.5,
        "user+system of the searching process / wall / connections at once");
  }
  ShutdownConnectionFactory();

  // --- the work per exchange beside a bare libmodbus loop --------------------------------
  bench::ComparePeers(peers, repeats);
  return 0;
}
