#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <tuple>
#include <vector>

#include "LogTestUtils.h"
#include "LoggingFixture.h"
#include "foundation/appLogging.h"

namespace probrix {
namespace {

namespace fs = std::filesystem;
using test::ReadLogLines;
using test::WaitFor;

// Records every group the worker writes; the first group can be held up to let lines pile up
// behind it, so that what forms the next batch is known.
class TRecorder {
 public:
  struct TCall {
    std::string Text, Target;
    bool IsFile;
  };

  TThreadLogger::TFlushProc Proc() {
    return [this](const std::string& Text, const std::string& Target, bool IsFile) {
      std::unique_lock lock(Lock_);
      Calls_.push_back({Text, Target, IsFile});
      Changed_.notify_all();
      Changed_.wait(lock, [this] { return !Holding_; });
    };
  }
  void Hold() {
    std::lock_guard lock(Lock_);
    Holding_ = true;
  }
  void Release() {
    {
      std::lock_guard lock(Lock_);
      Holding_ = false;
    }
    Changed_.notify_all();
  }
  bool WaitForCalls(std::size_t Count) {
    std::unique_lock lock(Lock_);
    return Changed_.wait_for(lock, std::chrono::seconds(10),
                             [&] { return Calls_.size() >= Count; });
  }
  std::vector<TCall> Calls() {
    std::lock_guard lock(Lock_);
    return Calls_;
  }

 private:
  std::mutex Lock_;
  std::condition_variable Changed_;
  bool Holding_ = false;
  std::vector<TCall> Calls_;
};

std::string JoinLines(const std::vector<std::string>& Lines) {
  std::string out;
  for (const auto& l : Lines) out += (out.empty() ? "" : "\r\n") + l;
  return out;
}

TEST(ThreadLoggerTest, TenLinesForOnePathAreOneWriteInOrder) {
  TRecorder recorder;
  recorder.Hold();
  TThreadLogger logger(recorder.Proc());
  logger.Add("blocker", "other.log", true, false);
  ASSERT_TRUE(recorder.WaitForCalls(1));
  std::vector<std::string> lines;
  for (int i = 0; i < 10; ++i) {
    lines.push_back("line " + std::to_string(i));
    logger.Add(lines.back(), "result.log", true, false);
  }
  recorder.Release();
  ASSERT_TRUE(recorder.WaitForCalls(2));
  const auto calls = recorder.Calls();
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[1].Target, "result.log");
  EXPECT_TRUE(calls[1].IsFile);
  EXPECT_EQ(calls[1].Text, JoinLines(lines));
}

TEST(ThreadLoggerTest, GroupsPerTargetInAscendingOrderWithTrailingBlanksRemoved) {
  TRecorder recorder;
  recorder.Hold();
  TThreadLogger logger(recorder.Proc());
  logger.Add("blocker", "0", true, false);
  ASSERT_TRUE(recorder.WaitForCalls(1));
  logger.Add("b1", "b.log", true, false);
  logger.Add("a1", "a.log", true, false);
  logger.Add("named", "search", false, false);
  logger.Add("b2  \r\n", "b.log", true, false);
  logger.Add("a2\r\n\r\n", "a.log", true, false);
  logger.Add("unnamed", "", false, false);
  recorder.Release();
  ASSERT_TRUE(recorder.WaitForCalls(5));
  const auto calls = recorder.Calls();
  ASSERT_EQ(calls.size(), 5u);
  EXPECT_EQ(calls[1].Target, "");
  EXPECT_EQ(calls[1].Text, "unnamed");
  EXPECT_FALSE(calls[1].IsFile);
  EXPECT_EQ(calls[2].Target, "a.log");
  EXPECT_EQ(calls[2].Text, "a1\r\na2");
  EXPECT_EQ(calls[3].Target, "b.log");
  EXPECT_EQ(calls[3].Text, "b1\r\nb2");
  EXPECT_EQ(calls[4].Target, "search");
  EXPECT_FALSE(calls[4].IsFile);
}

TEST(ThreadLoggerTest, ConcurrentProducersLoseNothingAndKeepTheirOrder) {
  TRecorder recorder;
  constexpr int ProducerCount = 4;
  constexpr int LineCount = 300;
  {
    TThreadLogger logger(recorder.Proc());
    std::vector<std::thread> producers;
    for (int p = 0; p < ProducerCount; ++p)
      producers.emplace_back([&, p] {
        for (int i = 0; i < LineCount; ++i)
          logger.Add(std::to_string(i), "p" + std::to_string(p), true, false);
      });
    for (auto& t : producers) t.join();
  }  // destruction writes whatever is still queued
  std::vector<std::vector<std::string>> received(ProducerCount);
  for (const auto& call : recorder.Calls()) {
    const int p = call.Target[1] - '0';
    std::size_t start = 0;
    for (;;) {
      const std::size_t end = call.Text.find("\r\n", start);
      received[p].push_back(call.Text.substr(start, end - start));
      if (end == std::string::npos) break;
      start = end + 2;
    }
  }
  for (int p = 0; p < ProducerCount; ++p) {
    ASSERT_EQ(received[p].size(), static_cast<std::size_t>(LineCount));
    for (int i = 0; i < LineCount; ++i) EXPECT_EQ(received[p][i], std::to_string(i));
  }
}

// While lines keep coming the worker lets them gather into batches; a flush in the middle of
// that still returns only once everything queued before it is written, and the end of the
// logger still writes every line.
TEST(ThreadLoggerTest, FlushAndEndWriteEveryLineOfAStream) {
  TRecorder recorder;
  std::atomic<int> queued{0};
  const auto written = [&] {
    std::size_t lines = 0;
    for (const auto& call : recorder.Calls()) {
      for (std::size_t at = 0; (at = call.Text.find("\r\n", at)) != std::string::npos; at += 2)
        ++lines;
      ++lines;
    }
    return lines;
  };
  constexpr int LineCount = 3000;
  {
    TThreadLogger logger(recorder.Proc());
    std::thread producer([&] {
      for (int i = 0; i < LineCount; ++i) {
        logger.Add(std::to_string(i), "stream.log", true, false);
        ++queued;
      }
    });
    for (int flushes = 0; flushes < 20; ++flushes) {
      const int before = queued.load();
      logger.Flush();
      ASSERT_GE(written(), static_cast<std::size_t>(before)) << "flush " << flushes;
    }
    producer.join();
  }
  EXPECT_EQ(written(), static_cast<std::size_t>(LineCount));
  std::string all;
  for (const auto& call : recorder.Calls()) all += (all.empty() ? "" : "\r\n") + call.Text;
  std::vector<std::string> expected;
  for (int i = 0; i < LineCount; ++i) expected.push_back(std::to_string(i));
  EXPECT_EQ(all, JoinLines(expected));
}

// While a search runs, lines that come a few milliseconds apart go out together; a flush, the
// end of the search and the logger's end each write what gathers, every line in its order.
TEST(ThreadLoggerTest, PacedBatchesKeepEveryLineInOrder) {
  TRecorder recorder;
  std::vector<std::string> expected;
  const auto all = [&] {
    std::string text;
    for (const auto& call : recorder.Calls()) text += (text.empty() ? "" : "\r\n") + call.Text;
    return text;
  };
  const auto add = [&](TThreadLogger& Logger, int Count) {
    for (int i = 0; i < Count; ++i) {
      expected.push_back(std::to_string(expected.size()));
      Logger.Add(expected.back(), "result.log", true, false);
      std::this_thread::sleep_for(std::chrono::milliseconds(3));
    }
  };
  {
    TThreadLogger logger(recorder.Proc());
    logger.BeginPacedBatches();
    add(logger, 6);
    logger.Flush();
    EXPECT_EQ(all(), JoinLines(expected));
    // Lines 3 ms apart: fewer writes than lines, though each alone would be a write.
    EXPECT_LT(recorder.Calls().size(), expected.size());
    add(logger, 4);
    const std::size_t before = recorder.Calls().size();
    logger.EndPacedBatches();
    ASSERT_TRUE(recorder.WaitForCalls(before + 1));
    EXPECT_EQ(all(), JoinLines(expected));
    logger.BeginPacedBatches();
    add(logger, 3);
  }  // the end writes what still gathers
  EXPECT_EQ(all(), JoinLines(expected));
}

class ThreadLogTest : public test::LoggingFixture {};

TEST_F(ThreadLogTest, LinesForTwoPathsReachTheirFiles) {
  Start();
  const std::string folder = GetAppLogFolder();
  const std::string result = folder + "173045_219__результаты_поиска.log";
  const std::string attempt = folder + "173045_220_COM1_9600_Orvatbus_1.log";
  for (int i = 0; i < 10; ++i) WriteThreadLog("Найдено " + std::to_string(i), result, false);
  WriteThreadLog("попытка", attempt, false);
  ASSERT_TRUE(WaitFor([&] { return ReadLogLines(result).size() == 10; }));
  ASSERT_TRUE(WaitFor([&] { return ReadLogLines(attempt).size() == 1; }));
  const auto lines = ReadLogLines(result);
  for (int i = 0; i < 10; ++i) EXPECT_EQ(lines[i], "Найдено " + std::to_string(i));
  EXPECT_EQ(ReadLogLines(attempt), std::vector<std::string>{"попытка"});
}

TEST_F(ThreadLogTest, AddTimePrefixesTheTimeOfDay) {
  Start();
  const std::string path = (Temp.Path() / "t.log").string();
  Clock.Set(2026, 12, 7, 9, 8, 7, 6);
  WriteThreadLog("stamped", path, true);
  ThreadLogger().Add("named stamped", "search", false, true);
  FinalizeLogging();
  EXPECT_EQ(ReadLogLines(path), std::vector<std::string>{"09:08:07.006 stamped"});
  EXPECT_EQ(ReadLogLines(BinDir() / "Logs" / "2026_12_07" / "09_tool_search.log"),
            std::vector<std::string>{"09:08:07.006 named stamped"});
}

TEST_F(ThreadLogTest, NoLineIsLostAtShutdown) {
  Start();
  const std::string path = GetAppLogFolder() + "last.log";
  constexpr int LineCount = 2000;
  for (int i = 0; i < LineCount; ++i) WriteThreadLog(std::to_string(i), path, false);
  ThreadLogger().Add("last application line", "", false, false);
  FinalizeLogging();  // at once: the queue is drained before the application log goes
  const auto lines = ReadLogLines(path);
  ASSERT_EQ(lines.size(), static_cast<std::size_t>(LineCount));
  for (int i = 0; i < LineCount; ++i) ASSERT_EQ(lines[i], std::to_string(i));
  EXPECT_EQ(ReadLogLines(DayDir() / "14_tool.log"),
            std::vector<std::string>{"last application line"});
}

TEST_F(ThreadLogTest, ConcurrentWritersLeaveWholeLinesInTheirOrder) {
  Start();
  const std::string folder = GetAppLogFolder();
  const std::string shared = folder + "shared.log";
  constexpr int WriterCount = 6;
  constexpr int LineCount = 400;
  // Long lines in the code page's own letters, as search results are: one torn or mixed
  // line shows.
  auto text = [](int Writer, int Line) {
    return "писатель " + std::to_string(Writer) + " строка " + std::to_string(Line) + " " +
           std::string(200, static_cast<char>('a' + Writer));
  };
  {
    std::vector<std::thread> writers;
    for (int w = 0; w < WriterCount; ++w)
      writers.emplace_back([&, w] {
        const std::string own = folder + "own" + std::to_string(w) + ".log";
        for (int i = 0; i < LineCount; ++i) {
          WriteThreadLog(text(w, i), shared, false);
          WriteThreadLog(text(w, i), own, false);
        }
      });
    for (auto& t : writers) t.join();
  }
  FinalizeLogging();  // drains the queue
  std::vector<int> next(WriterCount, 0);
  const auto lines = ReadLogLines(shared);
  ASSERT_EQ(lines.size(), static_cast<std::size_t>(WriterCount * LineCount));
  for (const std::string& line : lines) {
    const int w = line.empty() ? -1 : line.back() - 'a';
    ASSERT_TRUE(w >= 0 && w < WriterCount) << line;
    ASSERT_EQ(line, text(w, next[w])) << "torn, mixed or out of order";
    ++next[w];
  }
  for (int w = 0; w < WriterCount; ++w) {
    const auto own = ReadLogLines(folder + "own" + std::to_string(w) + ".log");
    ASSERT_EQ(own.size(), static_cast<std::size_t>(LineCount));
    for (int i = 0; i < LineCount; ++i) ASSERT_EQ(own[i], text(w, i));
  }
}

TEST_F(ThreadLogTest, FileWriteFailuresAreSilent) {
  Start();
  { std::ofstream blocker(Temp.Path() / "blocker"); }
  WriteThreadLog("x", (Temp.Path() / "blocker" / "a.log").string(), false);
  WriteThreadLog("", "", false);
  const std::string ok = (Temp.Path() / "ok.log").string();
  WriteThreadLog("after", ok, false);
  ASSERT_TRUE(WaitFor([&] { return ReadLogLines(ok).size() == 1; }));
  EXPECT_FALSE(fs::exists(Temp.Path() / "blocker" / "a.log"));
}

// The caller that asks is told which file failed and why; after a flush every line queued
// before it is on disk, so the caller knows whether its log is whole.
TEST_F(ThreadLogTest, FailuresReachTheirCallerAndFlushWaitsForTheQueue) {
  Start();
  { std::ofstream blocker(Temp.Path() / "blocker"); }
  const std::string bad = (Temp.Path() / "blocker" / "a.log").string();
  const std::string good = (Temp.Path() / "good.log").string();
  std::mutex lock;
  std::vector<std::pair<std::string, std::string>> told;
  const TLogWriteFailed tell = [&](const std::string& Path, const std::string& Reason) {
    std::lock_guard guard(lock);
    told.emplace_back(Path, Reason);
  };
  for (int i = 0; i < 500; ++i) WriteThreadLog(std::to_string(i), good, false, tell);
  WriteThreadLog("lost", bad, false, tell);
  FlushThreadLog();
  EXPECT_EQ(ReadLogLines(good).size(), 500u);
  std::lock_guard guard(lock);
  ASSERT_FALSE(told.empty());
  for (const auto& [path, reason] : told) {
    EXPECT_EQ(path, bad);
    EXPECT_NE(reason.find("CreateDirectory"), std::string::npos) << reason;
  }
}

}  // namespace
}  // namespace probrix
