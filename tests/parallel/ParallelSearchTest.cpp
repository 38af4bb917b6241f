// Whole searches over simulated serial ports and TCP servers with several connections at once:
// they find what a search one connection after another finds, one device reached by two
// spellings is never used twice at the same time, and a stop ends every connection.

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "connections/ioConnectionFactory.h"
#include "devsim/devsimSimulator.h"
#include "search/uFinderEngine.h"
#include "support/TestSupport.h"

namespace probrix {
namespace {

using devsim::TDeviceConfig;
using devsim::TDeviceKind;
using namespace std::chrono_literals;

constexpr auto dpModbusRtu = TDeviceProtocol::dpModbusRtu;
constexpr auto dpModbusTcp = TDeviceProtocol::dpModbusTcp;

// One event as a line: "<kind> <connection>:<baud or port>,<protocol>,<address>[ <outcome>]".
class TRecordedSearch {
 public:
  TRecordedSearch() : Task(std::make_unique<TSearchDevicesTask>()) {
    auto name = [](const TSearchAttempt& A) {
      return A.ConnectionName + ":" + std::to_string(A.BaudRateOrPort) + "," +
             std::string(DeviceProtocolName(A.Protocol)) + "," + std::to_string(A.Address);
    };
    Task->OnProgressChanged = [this, name](TSearchDevicesTask*, const TSearchAttempt& A) {
      Add("progress " + name(A));
    };
    Task->OnDeviceFound = [this, name](TSearchDevicesTask*, const TSearchAttempt& A,
                                       const TDeviceInfo& Info, const TSearchLog&) {
      Add("found " + name(A) + " serial=" + std::to_string(Info.SerialNumber));
    };
    Task->OnSearchError = [this, name](TSearchDevicesTask*, const TSearchAttempt& A,
                                       const Exception& E, const TSearchLog&) {
      Add("error " + name(A) + " " + E.ClassName());
    };
    Task->OnSearchFinished = [this](TSearchDevicesTask*, bool Aborted) {
      Add(Aborted ? "finished aborted" : "finished normal");
    };
  }
  ~TRecordedSearch() { Task.reset(); }  // the worker ends before the record it writes to

  std::vector<std::string> Run() {
    Task->Start();
    Task->WaitFor();
    return Events();
  }
  bool WaitForEvent(const std::string& Prefix, std::chrono::milliseconds Limit) {
    std::unique_lock lock(Lock_);
    return Changed_.wait_for(lock, Limit, [&] {
      for (const std::string& e : Events_)
        if (e.rfind(Prefix, 0) == 0) return true;
      return false;
    });
  }
  std::vector<std::string> Events() {
    std::lock_guard guard(Lock_);
    return Events_;
  }

  std::unique_ptr<TSearchDevicesTask> Task;

 private:
  void Add(std::string Event) {
    std::lock_guard guard(Lock_);
    Events_.push_back(std::move(Event));
    Changed_.notify_all();
  }
  std::mutex Lock_;
  std::condition_variable Changed_;
  std::vector<std::string> Events_;
};

std::vector<std::string> Matching(const std::vector<std::string>& Events, const std::string& Kind,
                                  const std::string& Connection = {}) {
  std::vector<std::string> result;
  for (const std::string& e : Events)
    if (e.rfind(Kind + " " + Connection, 0) == 0) result.push_back(e);
  return result;
}

TDeviceConfig Modbus(int Address, std::uint32_t Serial, int DelayMs = 0) {
  TDeviceConfig d;
  d.Kind = TDeviceKind::dkModbus;
  d.Address = Address;
  d.DeviceType = 16;
  d.FirmwareVersion = 215;
  d.SerialNumber = Serial;
  d.Behaviour.DelayMs = DelayMs;
  return d;
}

void Plan(TSearchDevicesTask& Task, std::vector<std::uint8_t> Addresses, std::int32_t Timeout) {
  Task.BaudRates = {9600};
  Task.Protocols = {dpModbusRtu, dpModbusTcp};
  Task.SetAddresses(dpModbusRtu, Addresses);
  Task.SetAddresses(dpModbusTcp, Addresses);
  Task.StartOfPacketReadTimeout = Timeout;
  Task.ReadTimeout = 3 * Timeout;
  Task.RequestRetryCount = 1;
}

class ParallelSearch : public ::testing::Test {
 protected:
  void SetUp() override { ShutdownConnectionFactory(); }
  void TearDown() override { ShutdownConnectionFactory(); }

  devsim::TSimulator Sim_;
};

TEST_F(ParallelSearch, FindsWhatASearchOneConnectionAfterAnotherFinds) {
  const std::string portA = Sim_.AddSerialPort(), portB = Sim_.AddSerialPort();
  const std::uint16_t server = Sim_.AddTcpServer();
  Sim_.AddDevice(portA, Modbus(1, 101));
  Sim_.AddDevice(portA, Modbus(3, 103));
  Sim_.AddDevice(portB, Modbus(2, 202));
  Sim_.AddDevice(server, Modbus(1, 301));
  Sim_.AddDevice(server, Modbus(2, 302));
  const std::string endpoint = "127.0.0.1:" + std::to_string(server);

  auto search = [&](std::int32_t Parallel) {
    ShutdownConnectionFactory();
    TRecordedSearch s;
    s.Task->SerialPortNames = {portA, portB};
    s.Task->TcpEndpoints = {endpoint};
    Plan(*s.Task, {1, 2, 3}, 50);
    s.Task->ParallelConnections = Parallel;
    return s.Run();
  };
  const std::vector<std::string> sequential = search(1);
  const std::vector<std::string> parallel = search(3);

  const std::vector<std::string> found = Matching(sequential, "found");
  const std::set<std::string> foundBefore(found.begin(), found.end());
  EXPECT_EQ(foundBefore,
            (std::set<std::string>{
                "found " + portA + ":9600,ModbusRTU,1 serial=101",
                "found " + portA + ":9600,ModbusRTU,3 serial=103",
                "found " + portB + ":9600,ModbusRTU,2 serial=202",
                "found 127.0.0.1:" + std::to_string(server) + ",ModbusTCP,1 serial=301",
                "found 127.0.0.1:" + std::to_string(server) + ",ModbusTCP,2 serial=302"}));
  for (const std::string& connection : {portA + ":", portB + ":", std::string("127.0.0.1:")}) {
    SCOPED_TRACE(connection);
    for (const char* kind : {"progress", "found", "error"})
      EXPECT_EQ(Matching(parallel, kind, connection), Matching(sequential, kind, connection));
  }
  EXPECT_EQ(parallel.size(), sequential.size());
  EXPECT_EQ(parallel.back(), "finished normal");
  EXPECT_EQ(Matching(parallel, "finished").size(), 1u);
  // Each connection had one request at a time.
  EXPECT_EQ(Sim_.PeakRequestsInProgress(portA), 1u);
  EXPECT_EQ(Sim_.PeakRequestsInProgress(server), 1u);
}

TEST_F(ParallelSearch, OnePortAndOneServerReachedTwiceAreUsedOneAtATime) {
  const std::string port = Sim_.AddSerialPort();
  const std::uint16_t server = Sim_.AddTcpServer();
  // Replies that take a while: two connections using one device at once would overlap.
  for (int address : {1, 2}) {
    Sim_.AddDevice(port, Modbus(address, 10u + address, 20));
    Sim_.AddDevice(server, Modbus(address, 20u + address, 20));
  }
  test::TTempDir dir;
  const std::filesystem::path alias = dir.Path() / "alias";
  std::filesystem::create_symlink(port, alias);
  const std::string device = std::filesystem::read_symlink(port).string();  // /dev/pts/N

  TRecordedSearch s;
  s.Task->SerialPortNames = {port, alias.string(), device};
  const std::string portText = ":" + std::to_string(server);
  s.Task->TcpEndpoints = {"127.0.0.1" + portText, "localhost" + portText};
  Plan(*s.Task, {1, 2}, 100);
  s.Task->ParallelConnections = 5;
  const std::vector<std::string> events = s.Run();

  for (const std::string& name : {port, alias.string(), device}) {
    SCOPED_TRACE(name);
    EXPECT_EQ(Matching(events, "found", name + ":9600,ModbusRTU").size(), 2u);
    for (const std::string& e : Matching(events, "error", name + ":"))
      EXPECT_EQ(e.find("EConnectionOpenError"), std::string::npos) << e;
  }
  for (const char* host : {"127.0.0.1", "localhost"}) {
    SCOPED_TRACE(host);
    EXPECT_EQ(Matching(events, "found", host + portText + ",ModbusTCP").size(), 2u);
  }
  EXPECT_EQ(Sim_.PeakRequestsInProgress(port), 1u);
  EXPECT_EQ(Sim_.PeakRequestsInProgress(server), 1u);
}

TEST_F(ParallelSearch, StopEndsEveryConnectionAndFinishesOnce) {
  // Three silent buses, each waiting for a reply with a ten-second timeout.
  const std::string portA = Sim_.AddSerialPort(), portB = Sim_.AddSerialPort();
  const std::uint16_t server = Sim_.AddTcpServer();
  TDeviceConfig silent = Modbus(1, 1);
  silent.Kind = TDeviceKind::dkModbusRtu;  // RTU framing on the server too
  silent.Behaviour.Silent = true;
  const int devices[] = {Sim_.AddDevice(portA, silent), Sim_.AddDevice(portB, silent),
                         Sim_.AddDevice(server, silent)};

  TRecordedSearch s;
  s.Task->SerialPortNames = {portA, portB};
  s.Task->TcpEndpoints = {"127.0.0.1:" + std::to_string(server)};
  Plan(*s.Task, {1, 2}, 10000);
  s.Task->Protocols = {dpModbusRtu};
  s.Task->ParallelConnections = 0;
  s.Task->Start();
  ASSERT_TRUE(test::WaitFor([&] {
    for (const int d : devices)
      if (Sim_.RequestCount(d) == 0) return false;
    return true;
  })) << "not every connection got to its reply wait";

  s.Task->Stop();
  ASSERT_TRUE(s.WaitForEvent("finished", 5000ms)) << "the waits were not cut short";
  s.Task->WaitFor();
  const std::vector<std::string> events = s.Events();
  EXPECT_EQ(Matching(events, "progress").size(), 3u);
  EXPECT_TRUE(Matching(events, "error").empty()) << "a cut attempt is no failed attempt";
  EXPECT_TRUE(Matching(events, "found").empty());
  ASSERT_EQ(Matching(events, "finished").size(), 1u);
  EXPECT_EQ(events.back(), "finished aborted");
  EXPECT_TRUE(s.Task->Finished());
  EXPECT_TRUE(s.Task->RunError().empty()) << s.Task->RunError();
  for (const int d : devices) EXPECT_EQ(Sim_.RequestCount(d), 1u);
}

}  // namespace
}  // namespace probrix
