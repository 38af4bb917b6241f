// The size of a plan in attempts and a running search's progress, checked against what the task
// really does; the in-memory store of the latest attempts' traffic.

#include <gtest/gtest.h>

#include <mutex>

#include "SearchTaskFakes.h"
#include "foundation/ioExceptions.h"
#include "search/uAttemptTraffic.h"
#include "search/uSearchProgress.h"

namespace probrix {
namespace {

using test::TFakeSearcher;
using test::TFakeSearcherFactory;
using test::TSearchScript;

constexpr auto dpOrvatbus = TDeviceProtocol::dpOrvatbus;
constexpr auto dpModbusRtu = TDeviceProtocol::dpModbusRtu;
constexpr auto dpModbusTcp = TDeviceProtocol::dpModbusTcp;
constexpr auto dpOrvatAscii = TDeviceProtocol::dpOrvatAscii;

struct TPlanCase {
  const char* Name;
  std::vector<std::string> Ports;
  std::vector<std::int32_t> Bauds;
  std::vector<std::string> Endpoints;
  std::vector<TDeviceProtocol> Protocols;
  std::int32_t Parallel;
  std::vector<std::string> Unopenable;  // run names whose searcher fails to open
};

// Runs the plan with fake searchers and feeds every event to a progress tracker as the window
// does; returns the number of progress events.
std::int64_t RunWithProgress(TSearchDevicesTask& Task, TSearchProgress& Progress,
                             std::int64_t& Peak) {
  std::mutex lock;
  std::int64_t begun = 0;
  Task.OnProgressChanged = [&](TSearchDevicesTask*, const TSearchAttempt& A) {
    std::lock_guard guard(lock);
    ++begun;
    Progress.AttemptBegun(A);
    Peak = std::max<std::int64_t>(Peak, static_cast<std::int64_t>(Progress.Running().size()));
  };
  Task.OnDeviceFound = [&](TSearchDevicesTask*, const TSearchAttempt& A, const TDeviceInfo&,
                           const TSearchLog&) {
    std::lock_guard guard(lock);
    Progress.AttemptEnded(A);
  };
  Task.OnSearchError = [&](TSearchDevicesTask*, const TSearchAttempt& A, const Exception& E,
                           const TSearchLog&) {
    std::lock_guard guard(lock);
    if (E.Is<EConnectionOpenError>()) {
      Progress.ConnectionEnded(A);
    } else {
      Progress.AttemptEnded(A);
    }
  };
  Task.Start();
  Task.WaitFor();
  Progress.Finished();
  return begun;
}

TEST(SearchProgress, PlanCountsEqualTheAttemptsTheTaskMakes) {
  const std::vector<TPlanCase> cases = {
      {"ports and endpoints",
       {"COM1", "COM2"},
       {9600, 19200},
       {"10.0.0.5:502"},
       {dpOrvatAscii, dpOrvatbus, dpModbusRtu},
       1,
       {}},
      {"OrvatASCII listens once", {"COM1"}, {9600, 115200}, {"h:1"}, {dpOrvatAscii}, 1, {}},
      {"connections at once",
       {"COM1", "COM2", "COM3"},
       {9600},
       {"a:1", "b:2"},
       {dpOrvatbus, dpModbusTcp},
       3,
       {}},
      {"one worker per connection", {"COM1"}, {9600, 19200}, {"a:1"}, {dpModbusRtu}, 0, {}},
      {"a port that cannot be opened",
       {"COM1", "COM2"},
       {9600, 19200},
       {"a:1"},
       {dpOrvatbus, dpModbusRtu},
       2,
       {"COM2:19200,Orvatbus"}},
  };
  for (const TPlanCase& c : cases) {
    SCOPED_TRACE(c.Name);
    TSearchScript script;
    TFakeSearcherFactory factory(script);
    script.OnSearch = [&c](TFakeSearcher& S, std::uint8_t Address, TDeviceInfo& Info) {
      for (const std::string& name : c.Unopenable)
        if (S.Name() == name) throw EConnectionOpenError::Create("busy");
      if (Address % 2 == 0) throw EReadSOHTimeoutError::Create("silent");
      Info.Address = Address;
    };
    TSearchDevicesTask task;
    task.SerialPortNames = c.Ports;
    task.BaudRates = c.Bauds;
    task.TcpEndpoints = c.Endpoints;
    task.Protocols = c.Protocols;
    task.ParallelConnections = c.Parallel;
    task.SetAddresses(dpOrvatbus, std::vector<std::uint8_t>{1, 2, 3});
    task.SetAddresses(dpModbusRtu, std::vector<std::uint8_t>{4, 5});
    task.SetAddresses(dpModbusTcp, std::vector<std::uint8_t>{7});
    task.SetAddresses(dpOrvatAscii, std::vector<std::uint8_t>{95, 96, 97});

    const TPlanAttempts plan = CountPlanAttempts(task);
    TSearchProgress progress(plan);
    std::int64_t peak = 0;
    const std::int64_t begun = RunWithProgress(task, progress, peak);
    if (c.Unopenable.empty()) EXPECT_EQ(plan.Total, begun);
    EXPECT_EQ(progress.Total(), begun);
    EXPECT_EQ(progress.Done(), begun);
    EXPECT_TRUE(progress.Running().empty());
    EXPECT_LE(peak, std::max(1, c.Parallel == 0 ? 32 : c.Parallel));
  }
}

TEST(SearchProgress, PlanSizeAndWorstCase) {
  TSearchDevicesTask task;
  task.SerialPortNames = {"COM1", "COM2"};
  task.BaudRates = {9600, 19200};
  task.TcpEndpoints = {"10.0.0.1-4:502"};  // four hosts
  task.Protocols = {dpOrvatAscii, dpOrvatbus, dpModbusRtu};
  task.SetAddresses(dpOrvatbus, std::vector<std::uint8_t>{1, 2});
  task.SetAddresses(dpModbusRtu, std::vector<std::uint8_t>{1, 2, 3});
  task.SetAddresses(dpOrvatAscii, std::vector<std::uint8_t>{95});
  task.RequestRetryCount = 2;
  task.StartOfPacketReadTimeout = 100;
  TPlanAttempts plan = CountPlanAttempts(task);
  EXPECT_EQ(plan.PerEndpoint, 1 + 2 + 3);
  EXPECT_EQ(plan.PerSerialPort, 2 * 6);
  EXPECT_EQ(plan.Endpoints, 4);
  EXPECT_EQ(plan.Total, 2 * 12 + 4 * 6);
  // One baud rate of silence: Orvatbus 2 x 2 checksums x 2 tries x 100, Modbus 3 x 2 x 100, and
  // OrvatASCII's whole listening time.
  const std::int64_t perBaud = 800 + 600 + OrvatAsciiReadTimeout;
  EXPECT_EQ(plan.WorstCaseMs, 2 * 2 * perBaud + 4 * perBaud);
  // Three workers share it, never below the longest connection.
  task.ParallelConnections = 3;
  EXPECT_EQ(CountPlanAttempts(task).WorstCaseMs, (8 * perBaud + 2) / 3);
  task.ParallelConnections = 0;
  EXPECT_EQ(CountPlanAttempts(task).WorstCaseMs, 2 * perBaud);

  // A sweep's miss takes an endpoint's attempts off; the estimate follows the pace, never
  // beyond the worst case of what is left.
  TSearchProgress progress(plan);
  progress.SweepMissed();
  EXPECT_EQ(progress.Total(), plan.Total - 6);
  EXPECT_EQ(progress.EstimateLeftMs(0), plan.WorstCaseMs * progress.Total() / plan.Total);
  const TSearchAttempt a{"COM1", 9600, dpModbusRtu, TConnectionType::ctSerialPort, 1};
  progress.AttemptBegun(a);
  progress.AttemptEnded(a);
  progress.AttemptEnded(a);  // a second event of the same attempt
  EXPECT_EQ(progress.Done(), 1);
  EXPECT_EQ(progress.EstimateLeftMs(10), 10 * (progress.Total() - 1));
  EXPECT_EQ(progress.EstimateLeftMs(1000000),
            plan.WorstCaseMs * (progress.Total() - 1) / plan.Total);
}

TEST(SearchProgress, RunningConnectionsAndTheirTexts) {
  const TSearchAttempt com{"COM5", 9600, dpOrvatbus, TConnectionType::ctSerialPort, 2};
  const TSearchAttempt ascii{"COM6", 9600, dpOrvatAscii, TConnectionType::ctSerialPort, 95};
  const TSearchAttempt tcp{"10.0.0.5", 502, dpModbusTcp, TConnectionType::ctTcp, 17};
  EXPECT_EQ(RunningConnectionsText({com}), "COM5:9600\r\nПротокол: Orvatbus\r\nАдрес: 2");
  EXPECT_EQ(RunningConnectionsText({ascii}), "COM6:9600\r\nПротокол: OrvatASCII\r\nПрослушивание");
  EXPECT_EQ(RunningConnectionsText({com, ascii, tcp}),
            "COM5:9600 Orvatbus, адрес 2\r\nCOM6:9600 OrvatASCII, прослушивание\r\n"
            "10.0.0.5:502 ModbusTCP, адрес 17");

  TPlanAttempts plan;
  plan.PerSerialPort = 2;
  plan.PerEndpoint = 1;
  plan.Total = 5;
  TSearchProgress progress(plan);
  progress.AttemptBegun(com);
  progress.AttemptBegun(tcp);
  progress.AttemptEnded(com);  // COM5 has one attempt to come: still shown
  progress.AttemptEnded(tcp);  // the endpoint's only attempt: gone
  progress.AttemptBegun(ascii);
  std::vector<TSearchAttempt> running = progress.Running();
  ASSERT_EQ(running.size(), 2u);
  EXPECT_EQ(running[0], com);
  EXPECT_EQ(running[1], ascii);
  progress.ConnectionEnded(ascii);  // its second attempt will never be made
  EXPECT_EQ(progress.Total(), 4);
  EXPECT_EQ(progress.Running().size(), 1u);

  EXPECT_EQ(DurationText(45'999), "0:45");
  EXPECT_EQ(DurationText(3'723'000), "1:02:03");
  EXPECT_EQ(ElapsedAndLeftText(65'000, 600'000), "прошло 1:05, осталось ~10:00");
  EXPECT_EQ(WorstCaseMinutes(600'001), 11);
  EXPECT_EQ(WorstCaseMinutes(600'000), 10);
}

TEST(AttemptTrafficStore, KeepsTheLatestAttemptsWithinBothBounds) {
  const auto attempt = [](int Address) {
    return TSearchAttempt{"COM1", 9600, dpModbusRtu, TConnectionType::ctSerialPort,
                          static_cast<std::uint8_t>(Address)};
  };
  TAttemptTrafficStore byCount(3, 1 << 20);
  std::vector<std::uint64_t> ids;
  for (int i = 0; i < 5; ++i) ids.push_back(byCount.Add(attempt(i), "log " + std::to_string(i)));
  EXPECT_EQ(byCount.Count(), 3u);
  EXPECT_EQ(byCount.Find(ids[0]), nullptr);
  EXPECT_EQ(byCount.Find(ids[1]), nullptr);
  ASSERT_NE(byCount.Find(ids[2]), nullptr);
  EXPECT_EQ(byCount.Find(ids[2])->Text, "log 2");
  EXPECT_EQ(byCount.Find(ids[4])->Attempt, attempt(4));
  EXPECT_EQ(byCount.Find(0), nullptr);
  EXPECT_EQ(byCount.FindRecent(attempt(3)), ids[3]);
  EXPECT_EQ(byCount.FindRecent(attempt(0)), 0u);

  // Bytes: a large log pushes out as many old ones as it needs.
  TAttemptTrafficStore byBytes(100, 4096);
  const std::uint64_t first = byBytes.Add(attempt(1), std::string(1500, 'a'));
  const std::uint64_t second = byBytes.Add(attempt(2), std::string(1500, 'b'));
  EXPECT_NE(byBytes.Find(first), nullptr);
  const std::uint64_t third = byBytes.Add(attempt(3), std::string(2500, 'c'));
  EXPECT_EQ(byBytes.Find(first), nullptr);
  EXPECT_EQ(byBytes.Find(second), nullptr);
  ASSERT_NE(byBytes.Find(third), nullptr);
  EXPECT_LE(byBytes.Bytes(), 4096u);

  // Cleared for a new search, ids go on: an old id never names a new attempt.
  byBytes.Clear();
  EXPECT_EQ(byBytes.Count(), 0u);
  EXPECT_EQ(byBytes.Find(third), nullptr);
  EXPECT_GT(byBytes.Add(attempt(4), "x"), third);
}

}  // namespace
}  // namespace probrix
