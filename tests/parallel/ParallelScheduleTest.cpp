// Several connections searched at once, with scripted searchers: each connection keeps the
// order a search one after another gives it, the handlers are called one at a time, two
// spellings of one device never run together, and the number of workers stays bounded.

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/prctl.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include "foundation/ioExceptions.h"
#include "search/SearchTaskFakes.h"
#include "search/uFinderEngine.h"
#include "support/TestSupport.h"

namespace probrix {
namespace {

using test::TFakeSearcher;
using test::TFakeSearcherFactory;
using test::TSearchScript;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

constexpr auto dpOrvatbus = TDeviceProtocol::dpOrvatbus;
constexpr auto dpModbusRtu = TDeviceProtocol::dpModbusRtu;

// Holds everyone who arrives until Count have, so that a test knows they were in their
// attempts at the same time. Once met, later arrivals pass at once.
class TMeeting {
 public:
  explicit TMeeting(int Count) : Count_(Count) {}
  // False when the others did not come within the deadline.
  bool Arrive() {
    std::unique_lock lock(Lock_);
    if (++Arrived_ >= Count_) Changed_.notify_all();
    return Changed_.wait_for(lock, std::chrono::seconds(20), [this] { return Arrived_ >= Count_; });
  }

 private:
  const int Count_;
  std::mutex Lock_;
  std::condition_variable Changed_;
  int Arrived_ = 0;
};

// Wraps the handlers of Task so that a call made while another is running is counted. Events
// also go to a list without a lock of its own: under ThreadSanitizer two handlers called at
// once are a reported race, whatever the timing.
struct THandlerWatch {
  std::atomic<int> Inside{0};
  std::atomic<int> Overlaps{0};
  std::vector<std::string> Unlocked;

  void Enter(const char* Kind) {
    if (Inside.fetch_add(1) != 0) ++Overlaps;
    Unlocked.emplace_back(Kind);
    std::this_thread::yield();
  }
  void Leave() { Inside.fetch_sub(1); }

  void Attach(TSearchDevicesTask& Task) {
    auto progress = Task.OnProgressChanged;
    Task.OnProgressChanged = [this, progress](const auto&... Args) {
      Enter("progress");
      progress(Args...);
      Leave();
    };
    auto found = Task.OnDeviceFound;
    Task.OnDeviceFound = [this, found](const auto&... Args) {
      Enter("found");
      found(Args...);
      Leave();
    };
    auto error = Task.OnSearchError;
    Task.OnSearchError = [this, error](const auto&... Args) {
      Enter("error");
      error(Args...);
      Leave();
    };
  }
};

// The recorded events (progress, search, found, error, create, close, free) of the
// connection whose names begin with Prefix, in order.
std::vector<std::string> EventsOf(const std::vector<std::string>& Events,
                                  const std::string& Prefix) {
  std::vector<std::string> result;
  for (const std::string& e : Events) {
    const std::size_t blank = e.find(' ');
    if (blank != std::string::npos && e.compare(blank + 1, Prefix.size(), Prefix) == 0)
      result.push_back(e);
  }
  return result;
}

// Index of the first (or last) event that begins with Text.
std::ptrdiff_t IndexOf(const std::vector<std::string>& Events, const std::string& Text,
                       bool Last = false) {
  std::ptrdiff_t found = -1;
  for (std::size_t i = 0; i < Events.size(); ++i) {
    if (Events[i].rfind(Text, 0) != 0) continue;
    found = static_cast<std::ptrdiff_t>(i);
    if (!Last) break;
  }
  return found;
}

void ThreeConnectionPlan(TSearchDevicesTask& Task) {
  Task.SerialPortNames = {"COM1", "COM2"};
  Task.BaudRates = {9600, 19200};
  Task.TcpEndpoints = {"10.0.0.5:502"};
  Task.Protocols = {dpOrvatbus, dpModbusRtu};
  Task.SetAddresses(dpOrvatbus, std::vector<std::uint8_t>{1, 2, 3});
  Task.SetAddresses(dpModbusRtu, std::vector<std::uint8_t>{7});
}

// Address 2 fails, address 7 of COM2 cannot be opened: each connection has found devices,
// failed attempts and, for COM2, the end of the port.
void ScriptOutcomes(TSearchScript& Script, TMeeting* Meeting, std::atomic<int>* Missed) {
  Script.OnSearch = [Meeting, Missed](TFakeSearcher& S, std::uint8_t Address, TDeviceInfo& Info) {
    const bool firstOfConnection =
        Address == 1 && (S.ConnectionType() == TConnectionType::ctTcp ||
                         S.Name().find(":9600,Orvatbus") != std::string::npos);
    if (Meeting && firstOfConnection && !Meeting->Arrive()) ++*Missed;
    if (Address == 2) throw EReadSOHTimeoutError::Create("silent");
    if (Address == 7 && S.Name().rfind("COM2:", 0) == 0)
      throw EConnectionOpenError::Create("[COM2] gone");
    Info.Address = Address;
  };
}

TEST(ParallelSchedule, ConnectionsRunAtOnceAndEachKeepsItsSequentialEvents) {
  TSearchScript sequential;
  {
    TFakeSearcherFactory factory(sequential);
    TSearchDevicesTask task;
    test::RecordEvents(task, sequential);
    ThreeConnectionPlan(task);
    ScriptOutcomes(sequential, nullptr, nullptr);
    task.Start();
    task.WaitFor();
  }

  TSearchScript parallel;
  TMeeting meeting(3);  // the first attempt of each connection waits for the other two
  std::atomic<int> missed{0};
  THandlerWatch watch;
  {
    TFakeSearcherFactory factory(parallel);
    TSearchDevicesTask task;
    test::RecordEvents(task, parallel);
    watch.Attach(task);
    ThreeConnectionPlan(task);
    task.ParallelConnections = 3;
    ScriptOutcomes(parallel, &meeting, &missed);
    task.Start();
    task.WaitFor();
    EXPECT_EQ(task.RunError(), "");
  }

  EXPECT_EQ(missed.load(), 0) << "the three connections were not searched at the same time";
  EXPECT_EQ(watch.Overlaps.load(), 0) << "a handler was called while another ran";
  const std::vector<std::string> before = sequential.Snapshot();
  const std::vector<std::string> after = parallel.Snapshot();
  for (const std::string prefix : {"COM1:", "COM2:", "10.0.0.5:"}) {
    SCOPED_TRACE(prefix);
    EXPECT_FALSE(EventsOf(before, prefix).empty());
    EXPECT_EQ(EventsOf(after, prefix), EventsOf(before, prefix));
  }
  // COM2 ended at its open error: no attempt at 19200 baud.
  EXPECT_EQ(IndexOf(after, "progress COM2:19200"), -1);
  EXPECT_EQ(after.size(), before.size());
  EXPECT_EQ(after.back(), "finished normal");
  EXPECT_EQ(parallel.Filter("finished").size(), 1u);
  EXPECT_EQ(watch.Unlocked.size(), parallel.Filter("progress").size() +
                                       parallel.Filter("found").size() +
                                       parallel.Filter("error").size());
}

TEST(ParallelSchedule, TwoSpellingsOfOneDeviceAreNeverSearchedAtOnce) {
  test::TTempDir dir;
  const std::filesystem::path port = dir.Path() / "ttyX";
  std::ofstream(port).put('\n');
  const std::filesystem::path alias = dir.Path() / "alias";
  std::filesystem::create_symlink(port, alias);

  TSearchScript script;
  TFakeSearcherFactory factory(script);
  // One connection of each device is in its first attempt at the same time as the others:
  // COM7 and com7 are two Linux paths, so two devices.
  TMeeting meeting(6);
  std::atomic<int> missed{0};
  script.OnSearch = [&](TFakeSearcher&, std::uint8_t Address, TDeviceInfo& Info) {
    if (Address == 1 && !meeting.Arrive()) ++missed;
    Info.Address = Address;
  };
  TSearchDevicesTask task;
  test::RecordEvents(task, script);
  task.SerialPortNames = {port.string(), "COM7", alias.string(), "com7", "COM8"};
  task.BaudRates = {9600};
  task.TcpEndpoints = {"localhost:1502", "127.0.0.1:1502", "127.0.0.2:1502",
                       "[::ffff:127.0.0.1]:1502"};
  task.Protocols = {dpModbusRtu};
  task.SetAddresses(dpModbusRtu, std::vector<std::uint8_t>{1, 2, 3});
  task.ParallelConnections = 9;
  task.Start();
  task.WaitFor();

  EXPECT_EQ(missed.load(), 0) << "different devices were not searched at the same time";
  const std::vector<std::string> events = script.Snapshot();
  const std::vector<std::pair<std::string, std::string>> sameDevice = {
      {port.string() + ":", alias.string() + ":"},
      {"localhost:", "127.0.0.1:"},
      {"127.0.0.1:", "::ffff:127.0.0.1:"}};
  for (const auto& [a, b] : sameDevice) {
    SCOPED_TRACE(a + " and " + b);
    const auto startA = IndexOf(events, "create " + a), endA = IndexOf(events, "free " + a, true);
    const auto startB = IndexOf(events, "create " + b), endB = IndexOf(events, "free " + b, true);
    ASSERT_TRUE(startA >= 0 && endA >= 0 && startB >= 0 && endB >= 0);
    EXPECT_TRUE(endA < startB || endB < startA) << "the two searches overlapped";
  }
  EXPECT_EQ(script.Filter("found").size(), 9u * 3u);
  EXPECT_THAT(script.Filter("finished"), ElementsAre("finished normal"));
}

TEST(ParallelSchedule, ZeroMeansOneWorkerPerConnectionUpToTheLimit) {
  TSearchScript script;
  TFakeSearcherFactory factory(script);
  TMeeting meeting(MaxParallelConnections);
  std::atomic<int> missed{0}, inside{0}, peak{0};
  script.OnSearch = [&](TFakeSearcher&, std::uint8_t Address, TDeviceInfo& Info) {
    const int now = ++inside;
    for (int seen = peak.load(); now > seen && !peak.compare_exchange_weak(seen, now);) {
    }
    if (!meeting.Arrive()) ++missed;
    --inside;
    Info.Address = Address;
  };
  TSearchDevicesTask task;
  test::RecordEvents(task, script);
  for (int i = 1; i <= 40; ++i) task.TcpEndpoints.push_back("10.0.1." + std::to_string(i) + ":502");
  task.Protocols = {dpModbusRtu};
  task.SetAddresses(dpModbusRtu, std::vector<std::uint8_t>{1});
  task.ParallelConnections = 0;
  task.Start();
  task.WaitFor();

  EXPECT_EQ(missed.load(), 0) << "fewer than the limit ran at once";
  EXPECT_EQ(peak.load(), MaxParallelConnections);
  EXPECT_EQ(script.Filter("found").size(), 40u);
}

// Every worker of a search asks for precise timed waits where it starts, whatever the thread
// that started the search had.
TEST(ParallelSchedule, EveryWorkerWaitsWithoutTimerSlack) {
  for (const std::int32_t workers : {1, 3}) {
    SCOPED_TRACE(workers);
    TSearchScript script;
    TFakeSearcherFactory factory(script);
    std::mutex lock;
    std::set<long> slacks;
    script.OnSearch = [&](TFakeSearcher&, std::uint8_t Address, TDeviceInfo& Info) {
      const std::lock_guard guard(lock);
      slacks.insert(::prctl(PR_GET_TIMERSLACK));
      Info.Address = Address;
    };
    long starterSlack = -1;
    std::thread([&] {
      // The task's first worker is started by this thread and would inherit its slack.
      ::prctl(PR_SET_TIMERSLACK, 50000UL);
      starterSlack = ::prctl(PR_GET_TIMERSLACK);
      TSearchDevicesTask task;
      task.SerialPortNames = {"COM1", "COM2", "COM3"};
      task.BaudRates = {9600};
      task.Protocols = {dpModbusRtu};
      task.SetAddresses(dpModbusRtu, std::vector<std::uint8_t>{1, 2});
      task.ParallelConnections = workers;
      task.Start();
      task.WaitFor();
    }).join();
    EXPECT_EQ(starterSlack, 50000);
    EXPECT_EQ(slacks, std::set<long>{1});
    EXPECT_EQ(script.Filter("search ").size(), 6u);
  }
}

TEST(ParallelSchedule, AnErrorThatEndsTheRunStopsTheOtherConnections) {
  TSearchScript script;
  TFakeSearcherFactory factory(script);
  constexpr std::size_t AddressCount = 20000;
  // COM1 fails once COM2 is under way; COM2 has many more attempts to go by then.
  script.OnCreate = [&script](const std::string& Name) {
    if (Name != "COM1:9600,Orvatbus") return;
    test::WaitFor([&] { return !script.Filter("search COM2").empty(); });
    throw EConnectionCloseError::Create("[COM1] cannot close");
  };
  TSearchDevicesTask task;
  test::RecordEvents(task, script);
  task.SerialPortNames = {"COM1", "COM2"};
  task.BaudRates = {9600};
  task.Protocols = {dpOrvatbus};
  task.SetAddresses(dpOrvatbus, std::vector<std::uint8_t>(AddressCount, 1));
  task.ParallelConnections = 2;
  task.Start();
  task.WaitFor();

  EXPECT_THAT(task.RunError(), HasSubstr("cannot close"));
  EXPECT_FALSE(task.Aborted());
  EXPECT_THAT(script.Filter("finished"), ElementsAre("finished normal"));
  EXPECT_LT(script.Filter("found COM2").size(), AddressCount);
  // The connection that was stopped still closed and freed its searcher.
  EXPECT_EQ(script.Filter("free COM2").size(), 1u);
}

}  // namespace
}  // namespace probrix
