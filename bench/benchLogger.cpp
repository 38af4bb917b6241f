// The threaded logger: how many lines per second reach one file, what one WriteThreadLog
// call costs the thread that makes it (the window's message handler in the program), and how
// many writes and how much CPU a steady stream of lines (one per found device) costs.

#include <stdlib.h>
#include <sys/resource.h>
#include <time.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "benchReport.h"
#include "foundation/appLogging.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

// A protocol line of the usual length, numbered so that every line differs.
std::string Line(int Index) {
  char text[128];
  std::snprintf(text, sizeof text,
                "12:34:56.789 COM%03d:9600 Modbus RTU адрес %6d: устройство не ответило (таймаут)",
                Index % 1000, Index);
  return text;
}

// Waits until Path holds Bytes bytes (or Seconds have passed); true when it does.
bool WaitForSize(const fs::path& Path, std::uintmax_t Bytes, double Seconds) {
  const auto deadline = Clock::now() + std::chrono::duration<double>(Seconds);
  std::error_code ec;
  while (Clock::now() < deadline) {
    if (fs::file_size(Path, ec) >= Bytes && !ec) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return false;
}

// The bytes a line takes in the file: Windows-1251 (one byte a character) plus CR LF.
std::uintmax_t FileBytes(const std::string& Utf8Line) {
  std::uintmax_t n = 0;
  for (unsigned char c : Utf8Line)
    if ((c & 0xC0) != 0x80) ++n;
  return n + 2;
}

double ProcessCpu() {
  rusage u{};
  ::getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

double ThreadCpu() {
  timespec t{};
  ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

struct TStream {
  double WritesPer100 = 0;  // file writes per 100 lines
  double CpuPerLine = 0;    // µs of the logger (the process less the producer)
};

// Lines queued one every Gap into one file, as a search that finds a device every Gap queues
// its result lines; the producer waits out the gaps on the clock (its own CPU is left out).
TStream SteadyStream(const std::string& Path, const std::vector<std::string>& Texts, int Lines,
                     std::chrono::microseconds Gap) {
  std::atomic<int> writes{0};
  const double cpu0 = ProcessCpu(), own0 = ThreadCpu();
  {
    probrix::TThreadLogger logger([&](const std::string& Text, const std::string& Target, bool) {
      ++writes;
      probrix::WriteLogFile(Text, Target, false);
    });
    auto next = Clock::now();
    for (int i = 0; i < Lines; ++i) {
      logger.Add(Texts[static_cast<std::size_t>(i)], Path, true, false);
      next += Gap;
      while (Clock::now() < next) {
      }
    }
    logger.Flush();
  }
  const double logger = (ProcessCpu() - cpu0) - (ThreadCpu() - own0);
  return {100.0 * writes.load() / Lines, logger * 1e6 / Lines};
}

}  // namespace

int main() {
  using namespace probrix;
  const std::string folder = bench::StartLoggingInTemporaryFolder("probrix-bench-log");
  if (folder.empty()) return 2;

  const int runs = 5;
  const int lines = 200000;
  std::vector<std::string> texts;
  texts.reserve(lines);
  std::uintmax_t bytes = 0;
  for (int i = 0; i < lines; ++i) {
    texts.push_back(Line(i));
    bytes += FileBytes(texts.back());
  }

  // Throughput: a producer that queues as fast as it can; the clock stops when the last line
  // is in the file.
  std::vector<double> rates, meanCalls;
  std::vector<double> callSamples;
  bool complete = true;
  for (int run = 0; run < runs; ++run) {
    const std::string path = (fs::path(folder) / ("run" + std::to_string(run) + ".log")).string();
    const auto start = Clock::now();
    for (const std::string& text : texts) WriteThreadLog(text, path, false);
    const auto queued = Clock::now();
    complete = WaitForSize(path, bytes, 120) && complete;
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    rates.push_back(lines / seconds);
    meanCalls.push_back(std::chrono::duration<double, std::micro>(queued - start).count() / lines);
    fs::remove(path);
  }

  // Cost of single calls at a window's pace: one line now and then, each call timed alone.
  const std::string path = (fs::path(folder) / "paced.log").string();
  for (int i = 0; i < 20000; ++i) {
    const auto t0 = Clock::now();
    WriteThreadLog(texts[static_cast<std::size_t>(i)], path, true);
    const auto t1 = Clock::now();
    callSamples.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
    if (i % 100 == 99) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }

  // A steady stream: a line every 50 µs, 2,000 lines, five times.
  std::vector<double> writesPer100, cpuPerLine;
  for (int run = 0; run < runs; ++run) {
    const std::string streamPath = (fs::path(folder) / "stream.log").string();
    const TStream s = SteadyStream(streamPath, texts, 2000, std::chrono::microseconds(50));
    writesPer100.push_back(s.WritesPer100);
    cpuPerLine.push_back(s.CpuPerLine);
    fs::remove(streamPath);
  }

  FinalizeLogging();
  std::error_code ignored;
  fs::remove_all(folder, ignored);

  const double rate = bench::Median(rates);
  bench::Result("threaded logger: lines/s into one file (median of 5 x 200,000)",
                bench::Fixed(rate, 0), ">= 200,000", complete && rate >= 200000,
                complete ? "" : "not every line reached the file");
  const double flooded = bench::Median(meanCalls);
  const double median = bench::Median(callSamples), p99 = bench::Quantile(callSamples, 0.99);
  bench::Result("threaded logger: WriteThreadLog cost on the caller (median / p99, paced)",
                bench::Fixed(median, 2) + " / " + bench::Fixed(p99, 2) + " µs", "<= 2 µs",
                median <= 2.0,
                "mean under a flood of 200,000 calls: " + bench::Fixed(flooded, 2) + " µs");
  bench::Result(
      "threaded logger: a line every 50 µs, file writes per 100 lines / logger CPU per line",
      bench::Fixed(bench::Median(writesPer100), 1) + " / " +
          bench::Fixed(bench::Median(cpuPerLine), 2) + " µs",
      "report", true,
      "2,000 lines into one file, median of 5; CPU of the process less the producer's");
  return 0;
}
