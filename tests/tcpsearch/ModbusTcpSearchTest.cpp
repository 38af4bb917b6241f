// Whole Modbus TCP searches over loopback: the search task, the Modbus TCP searcher, the
// connection factory and the TCP connection against a libmodbus server and a socat echo server.

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <mutex>
#include <string>
#include <vector>

#include "LibmodbusTcpServer.h"
#include "connections/ioConnectionFactory.h"
#include "connections/ioTcpConnection.h"
#include "foundation/ioExceptions.h"
#include "search/uFinderEngine.h"
#include "search/uFinderEngineSearchers.h"
#include "support/TestNetNamespace.h"
#include "support/TestSupport.h"

namespace probrix {
namespace {

// socat as a plain TCP echo server on 127.0.0.1 (a bridge that echoes, with nothing behind it):
// "TCP-LISTEN:0,fork EXEC:cat", its port read from its own log. Port() is 0 without socat.
class TSocatEchoServer {
 public:
  TSocatEchoServer() {
    int err[2];
    if (pipe2(err, O_CLOEXEC) != 0) return;
    Pid_ = fork();
    if (Pid_ == 0) {
      dup2(err[1], 2);
      execlp("socat", "socat", "-d", "-d", "TCP-LISTEN:0,bind=127.0.0.1,reuseaddr,fork", "EXEC:cat",
             static_cast<char*>(nullptr));
      _exit(127);
    }
    close(err[1]);
    Log_ = err[0];
    // "... N listening on AF=2 127.0.0.1:PORT"
    const std::string key = "listening on AF=2 127.0.0.1:";
    std::string text;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (Port_ == 0 && std::chrono::steady_clock::now() < end) {
      pollfd p{Log_, POLLIN, 0};
      if (poll(&p, 1, 100) <= 0) continue;
      char buf[256];
      const ssize_t n = read(Log_, buf, sizeof buf);
      if (n <= 0) break;
      text.append(buf, static_cast<std::size_t>(n));
      const auto at = text.find(key);
      if (at != std::string::npos && text.find('\n', at) != std::string::npos)
        Port_ = static_cast<std::uint16_t>(std::stoi(text.substr(at + key.size())));
    }
  }
  ~TSocatEchoServer() {
    if (Pid_ > 0) {
      kill(Pid_, SIGTERM);
      waitpid(Pid_, nullptr, 0);
    }
    if (Log_ >= 0) close(Log_);
  }
  TSocatEchoServer(const TSocatEchoServer&) = delete;
  TSocatEchoServer& operator=(const TSocatEchoServer&) = delete;
  std::uint16_t Port() const { return Port_; }

 private:
  pid_t Pid_ = -1;
  int Log_ = -1;
  std::uint16_t Port_ = 0;
};

struct TFound {
  std::string ConnectionName;
  std::int32_t Port;
  std::uint8_t Address;
  TDeviceInfo Info;
};

struct TFailed {
  std::string ConnectionName;
  std::int32_t Port;
  std::uint8_t Address;
  std::string ClassName;
  bool OpenError;
  bool Timeout;
  std::string LogText;
};

// Runs one search and records its events.
class TRecordedSearch {
 public:
  explicit TRecordedSearch(TSearchDevicesTask& Task) {
    Task.OnDeviceFound = [this](TSearchDevicesTask*, const TSearchAttempt& A,
                                const TDeviceInfo& Info, const TSearchLog&) {
      std::lock_guard guard(Lock);
      Found.push_back({A.ConnectionName, A.BaudRateOrPort, A.Address, Info});
    };
    Task.OnSearchError = [this](TSearchDevicesTask*, const TSearchAttempt& A,
                                const Exception& Error, const TSearchLog& Log) {
      std::lock_guard guard(Lock);
      Failed.push_back({A.ConnectionName, A.BaudRateOrPort, A.Address, Error.ClassName(),
                        Error.Is<EConnectionOpenError>(), Error.Is<ETimeoutError>(), Log.Text()});
    };
    Task.OnSearchFinished = [this](TSearchDevicesTask*, bool) {
      std::lock_guard guard(Lock);
      ++Finished;
    };
  }
  std::mutex Lock;
  std::vector<TFound> Found;
  std::vector<TFailed> Failed;
  int Finished = 0;
};

class ModbusTcpSearch : public ::testing::Test {
 protected:
  void SetUp() override {
    ShutdownConnectionFactory();
    // Searchers take their TCP connections from the factory.
    Previous_ = SetSearcherConnectionSource(
        {[](const std::string& Name, TConnectionType Type,
            std::int32_t Port) -> std::shared_ptr<IDeviceConnection> {
           if (Type != TConnectionType::ctTcp) throw EConnectionOpenError::Create("TCP only here");
           return GetTcpConnection(Name, static_cast<std::uint16_t>(Port));
         },
         {}});
  }
  void TearDown() override {
    SetSearcherConnectionSource(Previous_);
    ShutdownConnectionFactory();
  }

  static void Configure(TSearchDevicesTask& Task, std::vector<std::string> Endpoints,
                        std::vector<std::uint8_t> Addresses) {
    Task.TcpEndpoints = std::move(Endpoints);
    Task.Protocols = {TDeviceProtocol::dpModbusTcp};
    Task.SetAddresses(TDeviceProtocol::dpModbusTcp, Addresses);
    Task.ReadTimeout = 60;
    Task.StartOfPacketReadTimeout = 60;
    Task.RequestRetryCount = 2;
  }

  TSearcherConnectionSource Previous_;
};

// Registers 1000..1009 of a unit: type 0x0108 (type byte 8, known to the maker's table, so the
// unit is not asked for its identification, which a libmodbus server cannot frame), firmware
// 0x0203, register 1004 0x5A5A, registers 1007:1008 = 0x0001:0x3039 (serial number 12345).
const std::vector<std::uint16_t> UnitRegisters = {0x0108, 0x0203, 0, 0, 0x5A5A, 0, 0, 1, 0x3039, 0};

TEST_F(ModbusTcpSearch, FindsTheLibmodbusUnitAndReportsSilentAddresses) {
  test::TLibmodbusTcpServer server(17, 1000, UnitRegisters);
  TSearchDevicesTask task;
  Configure(task, {"127.0.0.1:" + std::to_string(server.Port())}, {17, 18});
  TRecordedSearch events(task);
  task.Start();
  task.WaitFor();

  EXPECT_EQ(task.RunError(), "");
  EXPECT_EQ(events.Finished, 1);
  ASSERT_EQ(events.Found.size(), 1u);
  const TFound& found = events.Found[0];
  EXPECT_EQ(found.ConnectionName, "127.0.0.1");
  EXPECT_EQ(found.Port, server.Port());
  EXPECT_EQ(found.Address, 17);
  EXPECT_EQ(found.Info.Address, 17);
  EXPECT_EQ(found.Info.DeviceType, 0x08);
  EXPECT_EQ(found.Info.FirmwareVersion, 0x0203);
  EXPECT_EQ(found.Info.ExtraWord2, 0x5A5A);
  EXPECT_EQ(found.Info.SerialNumber, 12345);

  // Unit 18 does not answer: a timeout after the retries, no open error.
  ASSERT_EQ(events.Failed.size(), 1u);
  const TFailed& failed = events.Failed[0];
  EXPECT_EQ(failed.Address, 18);
  EXPECT_TRUE(failed.Timeout) << failed.ClassName;
  EXPECT_FALSE(failed.OpenError);
  EXPECT_NE(failed.LogText.find("Попытка 2 поиска прибора MODBUS с адресом 18"), std::string::npos)
      << failed.LogText;
  EXPECT_EQ(server.RequestsAnswered(), 1);
  EXPECT_EQ(server.RequestsIgnored(), 2);

  // The searcher closed the pooled connection at the end of its run.
  const auto connection = GetTcpConnection("127.0.0.1", server.Port());
  EXPECT_FALSE(connection->IsOpen());
}

TEST_F(ModbusTcpSearch, RefusedEndpointGivesOneOpenErrorAndTheSearchGoesOn) {
  // A bound socket that does not listen refuses every connection to its port.
  const int refusing = ::socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_GE(refusing, 0);
  sockaddr_in sin{};
  sin.sin_family = AF_INET;
  sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof(sin);
  ASSERT_EQ(::bind(refusing, reinterpret_cast<sockaddr*>(&sin), sizeof(sin)), 0);
  ASSERT_EQ(::getsockname(refusing, reinterpret_cast<sockaddr*>(&sin), &len), 0);
  const std::uint16_t refusedPort = ntohs(sin.sin_port);

  test::TLibmodbusTcpServer server(1, 1000, UnitRegisters);
  TSearchDevicesTask task;
  Configure(
      task,
      {"127.0.0.1:" + std::to_string(refusedPort), "127.0.0.1:" + std::to_string(server.Port())},
      {1, 2, 3});
  task.RequestRetryCount = 1;
  TRecordedSearch events(task);
  task.Start();
  task.WaitFor();

  std::vector<TFailed> refused;
  for (const auto& f : events.Failed)
    if (f.Port == refusedPort) refused.push_back(f);
  ASSERT_EQ(refused.size(), 1u);
  EXPECT_TRUE(refused[0].OpenError) << refused[0].ClassName;
  EXPECT_EQ(refused[0].Address, 1);

  // The next endpoint is still searched.
  ASSERT_EQ(events.Found.size(), 1u);
  EXPECT_EQ(events.Found[0].Port, server.Port());
  EXPECT_EQ(events.Found[0].Info.SerialNumber, 12345);
  EXPECT_EQ(events.Failed.size(), 3u);  // the refused endpoint once, units 2 and 3 silent
  ::close(refusing);
}

// Every request comes back as it was sent: an echo is no reply, so no unit is found and every
// address ends as for silence, the echoes in its log.
TEST_F(ModbusTcpSearch, EchoServerIsNoDevice) {
  TSocatEchoServer echo;
  if (echo.Port() == 0) GTEST_SKIP() << "socat is not installed";
  TSearchDevicesTask task;
  Configure(task, {"127.0.0.1:" + std::to_string(echo.Port())}, {1, 2, 247});
  TRecordedSearch events(task);
  task.Start();
  task.WaitFor();

  EXPECT_EQ(task.RunError(), "");
  EXPECT_TRUE(events.Found.empty());
  ASSERT_EQ(events.Failed.size(), 3u);
  for (const TFailed& f : events.Failed) {
    EXPECT_TRUE(f.Timeout) << f.ClassName;
    EXPECT_NE(f.LogText.find("(эхо запроса пропущено)"), std::string::npos) << f.LogText;
  }
}

}  // namespace
}  // namespace probrix

namespace probrix {
namespace {

// The sweep's events of a search.
struct TRecordedSweep {
  explicit TRecordedSweep(TSearchDevicesTask& Task) {
    Task.OnSweepMiss = [this](TSearchDevicesTask*, const TSweepMiss& Miss) {
      std::lock_guard guard(Lock);
      Misses.push_back(Miss);
    };
    Task.OnSweepProgress = [this](TSearchDevicesTask*, const TSweepProgress& Progress) {
      std::lock_guard guard(Lock);
      Last = Progress;
      ++Events;
    };
  }
  std::mutex Lock;
  std::vector<TSweepMiss> Misses;
  TSweepProgress Last;
  int Events = 0;
};

TEST_F(ModbusTcpSearch, ARangeAndABlockAreSweptAndOnlyTheirListeningHostsSearched) {
  test::TLibmodbusTcpServer five(17, 1000, UnitRegisters, "127.0.0.5");
  test::TLibmodbusTcpServer nine(17, 1000, UnitRegisters, "127.0.0.9", five.Port());
  const std::string port = std::to_string(five.Port());
  struct TCase {
    std::string Range;
    int First, Last;  // last octets of its hosts (a /29 leaves out .8 and .15)
    std::vector<std::string> Found;
    std::int32_t Parallel;
  } const cases[] = {{"127.0.0.2-12:" + port, 2, 12, {"127.0.0.5", "127.0.0.9"}, 1},
                     {"127.0.0.8/29:" + port, 9, 14, {"127.0.0.9"}, 2}};
  for (const TCase& c : cases) {
    TSearchDevicesTask task;
    Configure(task, {c.Range}, {17});
    task.ParallelConnections = c.Parallel;
    TRecordedSearch events(task);
    TRecordedSweep sweep(task);
    task.Start();
    task.WaitFor();

    EXPECT_EQ(task.RunError(), "") << c.Range;
    EXPECT_TRUE(events.Failed.empty()) << c.Range << ": " << events.Failed.front().ConnectionName;
    std::vector<std::string> found;
    for (const TFound& f : events.Found) {
      found.push_back(f.ConnectionName);
      EXPECT_EQ(f.Port, five.Port());
      EXPECT_EQ(f.Info.SerialNumber, 12345);
    }
    EXPECT_EQ(found, c.Found) << c.Range << ": in address order";

    // Every other address: one refusal each, in address order, and nothing probed there.
    std::vector<std::string> missed, expected;
    for (int i = c.First; i <= c.Last; ++i)
      if (i != 5 && i != 9) expected.push_back("127.0.0." + std::to_string(i));
    for (const TSweepMiss& m : sweep.Misses) {
      missed.push_back(m.Host);
      EXPECT_EQ(m.Port, five.Port());
      EXPECT_EQ(m.RangeText, c.Range);
      EXPECT_EQ(m.Outcome, platform::TConnectOutcome::coRefused) << m.Host;
    }
    EXPECT_EQ(missed, expected) << c.Range;
    EXPECT_EQ(sweep.Last.Done, sweep.Last.Total);
    EXPECT_EQ(sweep.Last.Total, expected.size() + c.Found.size());
    EXPECT_EQ(sweep.Last.Accepted, c.Found.size());
  }
  EXPECT_EQ(five.RequestsAnswered() + nine.RequestsAnswered(), 3);
}

TEST_F(ModbusTcpSearch, StopEndsASweepOfSilentHostsAtOnce) {
  const std::string why = test::RunInPrivateNetwork(test::DropSynsTo("127.0.0.0/24"), [] {
    TSearchDevicesTask task;
    Configure(task, {"127.0.0.0/24:502"}, {1});
    TRecordedSearch events(task);
    TRecordedSweep sweep(task);
    task.Start();
    // The connect timeout is seconds long; the stop comes while every connect is in flight.
    ASSERT_TRUE(test::WaitFor([&] {
      std::lock_guard guard(sweep.Lock);
      return sweep.Events > 0;
    }));
    task.Stop();
    task.WaitFor();
    EXPECT_TRUE(task.Aborted());
    EXPECT_EQ(events.Finished, 1);
    EXPECT_TRUE(sweep.Misses.empty()) << "no address was given up before the stop";
    EXPECT_EQ(sweep.Last.Done, 0u);
    EXPECT_EQ(sweep.Last.Total, 254u);
    EXPECT_TRUE(events.Found.empty());
    EXPECT_TRUE(events.Failed.empty());
  });
  if (!why.empty()) GTEST_SKIP() << why;
}

}  // namespace
}  // namespace probrix
