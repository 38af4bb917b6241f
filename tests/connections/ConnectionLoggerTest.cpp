#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "connections/ioDeviceConnection.h"
#include "foundation/appExceptions.h"
#include "foundation/utilitySystemTime.h"
#include "support/ScriptedConnection.h"
#include "support/TestSupport.h"

namespace probrix {
namespace {

struct TRecord {
  IDeviceConnection* Connection;
  std::uint8_t Kind;
  std::string Text;
  TDateTime Time;
};

class TRecordingListener final : public IConnectionLogListener {
 public:
  void OnLogLine(IDeviceConnection* Connection, std::uint8_t Kind, std::string_view Text,
                 TDateTime Time) override {
    std::lock_guard<std::mutex> guard(Mutex);
    Records.push_back({Connection, Kind, std::string(Text), Time});
    if (ThrowOnCalls > 0) {
      --ThrowOnCalls;
      throw EInvalidOperation::Create("listener failed");
    }
  }
  std::vector<TRecord> Snapshot() {
    std::lock_guard<std::mutex> guard(Mutex);
    return Records;
  }

  std::mutex Mutex;
  std::vector<TRecord> Records;
  int ThrowOnCalls = 0;
};

TEST(ConnectionLoggerTest, DeliversRecordsToListenersInRegistrationOrder) {
  TConnectionLogger logger;
  auto connection = test::TScriptedConnection::New();
  std::vector<std::string> order;
  struct TOrderListener : IConnectionLogListener {
    TOrderListener(std::vector<std::string>& Order, std::string Name)
        : Order_(Order), Name_(std::move(Name)) {}
    void OnLogLine(IDeviceConnection*, std::uint8_t, std::string_view Text, TDateTime) override {
      Order_.push_back(Name_ + ":" + std::string(Text));
    }
    std::vector<std::string>& Order_;
    std::string Name_;
  } first(order, "1"), second(order, "2");
  TRecordingListener recorder;
  logger.AddListener(&first);
  logger.AddListener(&second);
  logger.AddListener(&recorder);

  const TDateTime before = SystemTime().Now();
  logger.WriteLog(connection.get(), 42, "hello");
  logger.WriteLogFmt(connection.get(), 7, "n=%d %s", {5, "x"});
  const TDateTime after = SystemTime().Now();

  EXPECT_EQ(order, (std::vector<std::string>{"1:hello", "2:hello", "1:n=5 x", "2:n=5 x"}));
  const auto records = recorder.Snapshot();
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].Connection, connection.get());
  EXPECT_EQ(records[0].Kind, 42);
  EXPECT_EQ(records[1].Kind, 7);
  EXPECT_GE(records[0].Time.Value, before.Value);
  EXPECT_LE(records[1].Time.Value, after.Value);

  logger.RemoveListener(&first);
  logger.RemoveListener(&first);  // removing twice is harmless
  logger.WriteLog(connection.get(), 1, "later");
  EXPECT_EQ(order.back(), "2:later");
  EXPECT_EQ(logger.ListenerCount(), 2u);
}

TEST(ConnectionLoggerTest, FormatThatDoesNotFitGivesTheFallbackLine) {
  TConnectionLogger logger;
  auto connection = test::TScriptedConnection::New("COM7");
  connection->SetUniqueName("dev-7");
  TRecordingListener recorder;
  logger.AddListener(&recorder);

  EXPECT_NO_THROW(logger.WriteLogFmt(connection.get(), 13, "%d", {"text"}));
  EXPECT_NO_THROW(logger.WriteLogFmt(connection.get(), 14, "%s %s", {"only one"}));

  const auto records = recorder.Snapshot();
  ASSERT_EQ(records.size(), 2u);
  const std::string prefix =
      "Ошибка форматирования строки лога в \"TConnectionLogger.WriteLog\" "
      "(Connection.UniqueName=dev-7, fmt=%d): [EConvertError] ";
  EXPECT_EQ(records[0].Text.substr(0, prefix.size()), prefix) << records[0].Text;
  EXPECT_GT(records[0].Text.size(), prefix.size());
  EXPECT_EQ(records[0].Kind, 13);
  EXPECT_EQ(records[0].Connection, connection.get());
  EXPECT_NE(records[1].Text.find("fmt=%s %s): [EConvertError]"), std::string::npos);
}

TEST(ConnectionLoggerTest, NoListenerMeansNoEffect) {
  TConnectionLogger logger;
  auto connection = test::TScriptedConnection::New();
  EXPECT_NO_THROW(logger.WriteLog(connection.get(), 1, "x"));
  EXPECT_NO_THROW(logger.WriteLogFmt(connection.get(), 1, "%d", {"bad"}));
  EXPECT_NO_THROW(logger.WriteLogFmt(nullptr, 1, "%d", {"bad"}));
  EXPECT_EQ(logger.ListenerCount(), 0u);
}

// A line is made only for a listener that keeps lines of its connection: one that keeps
// another connection's lines sees nothing, and a line nobody keeps is not even formatted (the
// fallback line of a bad format never appears).
TEST(ConnectionLoggerTest, LinesNobodyKeepsAreNotMade) {
  TConnectionLogger logger;
  auto mine = test::TScriptedConnection::New("COM1");
  auto other = test::TScriptedConnection::New("COM2");
  struct TChoosyListener : IConnectionLogListener {
    explicit TChoosyListener(const IDeviceConnection* Kept) : Kept_(Kept) {}
    void OnLogLine(IDeviceConnection* Connection, std::uint8_t, std::string_view Text,
                   TDateTime) override {
      Lines.push_back((Connection == Kept_ ? "mine:" : "other:") + std::string(Text));
    }
    bool KeepsLinesOf(const IDeviceConnection* Connection) const override {
      return Connection == Kept_;
    }
    const IDeviceConnection* Kept_;
    std::vector<std::string> Lines;
  } choosy(mine.get());
  logger.AddListener(&choosy);

  EXPECT_TRUE(logger.IsKept(mine.get()));
  EXPECT_FALSE(logger.IsKept(other.get()));
  logger.WriteLog(other.get(), 1, "dropped");
  logger.WriteLogFmt(other.get(), 1, "%d", {"bad"});
  logger.WriteLog(mine.get(), 1, "kept");
  logger.WriteLogFmt(mine.get(), 1, "n=%d", {3});
  EXPECT_EQ(choosy.Lines, (std::vector<std::string>{"mine:kept", "mine:n=3"}));

  // A listener that keeps every line (the default) gets the other connection's lines again,
  // and so does the choosy one, which is only asked whether to make them.
  TRecordingListener recorder;
  logger.AddListener(&recorder);
  EXPECT_TRUE(logger.IsKept(other.get()));
  logger.WriteLog(other.get(), 1, "now kept");
  ASSERT_EQ(recorder.Snapshot().size(), 1u);
  EXPECT_EQ(recorder.Snapshot()[0].Text, "now kept");
  EXPECT_EQ(choosy.Lines.back(), "other:now kept");
  logger.RemoveListener(&recorder);
  logger.RemoveListener(&choosy);
  EXPECT_FALSE(logger.IsKept(mine.get()));
}

TEST(ConnectionLoggerTest, ListenerFailures) {
  TConnectionLogger logger;
  auto connection = test::TScriptedConnection::New();
  TRecordingListener recorder;
  logger.AddListener(&recorder);

  // A plain line: the listener's exception reaches the writer.
  recorder.ThrowOnCalls = 1;
  EXPECT_THROW(logger.WriteLog(connection.get(), 1, "plain"), EInvalidOperation);

  // A formatted line: the failure turns into the fallback line, delivered once.
  recorder.ThrowOnCalls = 1;
  EXPECT_NO_THROW(logger.WriteLogFmt(connection.get(), 2, "v=%d", {3}));
  auto records = recorder.Snapshot();
  ASSERT_EQ(records.size(), 3u);
  EXPECT_EQ(records[1].Text, "v=3");
  EXPECT_NE(records[2].Text.find("fmt=v=%d): [EInvalidOperation] listener failed"),
            std::string::npos)
      << records[2].Text;

  // A listener that always fails: nothing reaches the caller and nothing loops.
  recorder.ThrowOnCalls = 1000;
  EXPECT_NO_THROW(logger.WriteLogFmt(connection.get(), 2, "v=%d", {3}));
  EXPECT_EQ(recorder.Snapshot().size(), 5u);
}

// The connection base logs through the process-wide logger with itself as the connection, the
// same pointer its owners hold.
TEST(DeviceConnectionBaseTest, LogsThroughProcessLoggerWithItsOwnIdentity) {
  auto connection = test::TScriptedConnection::New("COM9");
  std::shared_ptr<IDeviceConnection> asInterface = connection;
  TRecordingListener recorder;
  ConnectionLogger().AddListener(&recorder);
  asInterface->WriteLog(5, "a");
  asInterface->WriteLogFmt(6, "b%d", {1});
  asInterface->WriteLogFmt(6, "%d", {"x"});
  ConnectionLogger().RemoveListener(&recorder);
  asInterface->WriteLog(5, "not delivered");

  const auto records = recorder.Snapshot();
  ASSERT_EQ(records.size(), 3u);
  for (const TRecord& r : records) EXPECT_EQ(r.Connection, asInterface.get());
  EXPECT_EQ(records[1].Text, "b1");
  EXPECT_NE(records[2].Text.find("Connection.UniqueName=COM9"), std::string::npos);
}

TEST(DeviceConnectionBaseTest, NamesAndUniqueNameOverride) {
  auto connection = test::TScriptedConnection::New("COM4");
  EXPECT_EQ(connection->UniqueName(), "COM4");
  EXPECT_EQ(connection->DisplayName(), "COM4:9600");
  connection->SetUniqueName("probe");
  EXPECT_EQ(connection->UniqueName(), "probe");
  connection->SetUniqueName("");
  EXPECT_EQ(connection->UniqueName(), "COM4");
}

TEST(DeviceConnectionBaseTest, LockIsReentrantAndExcludesOtherThreads) {
  auto connection = test::TScriptedConnection::New();
  connection->Lock();
  connection->Lock();
  std::atomic<bool> released{false};
  std::atomic<int> seenReleased{-1};
  std::thread other([&] {
    TDeviceConnectionLock guard(*connection);
    seenReleased = released.load() ? 1 : 0;
  });
  connection->Unlock();  // still held once by this thread
  released = true;
  connection->Unlock();
  EXPECT_TRUE(test::WaitFor([&] { return seenReleased.load() != -1; }));
  other.join();
  // The other thread got the lock only after the last Unlock.
  EXPECT_EQ(seenReleased.load(), 1);
}

// Writers on several threads while listeners come and go: every delivery happens under the
// list's lock, so a removed listener is never called afterwards (checked by TSan/ASan runs).
TEST(ConnectionLoggerTest, ConcurrentWritersAndListenerChanges) {
  TConnectionLogger logger;
  auto connection = test::TScriptedConnection::New();
  TRecordingListener stable;
  logger.AddListener(&stable);
  std::atomic<bool> stop{false};
  std::vector<std::thread> writers;
  for (int t = 0; t < 3; ++t) {
    writers.emplace_back([&, t] {
      for (int i = 0; i < 300; ++i) logger.WriteLogFmt(connection.get(), 1, "%d-%d", {t, i});
    });
  }
  std::thread churn([&] {
    while (!stop) {
      auto temporary = std::make_unique<TRecordingListener>();
      logger.AddListener(temporary.get());
      logger.RemoveListener(temporary.get());
    }
  });
  for (auto& w : writers) w.join();
  stop = true;
  churn.join();
  EXPECT_EQ(stable.Snapshot().size(), 900u);
  EXPECT_EQ(logger.ListenerCount(), 1u);
}

}  // namespace
}  // namespace probrix
