// The threaded logger: how many lines per second reach one file, and what one WriteThreadLog
// call costs the thread that makes it (the window's message handler in the program).

#include <stdlib.h>

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
  return 0;
}
