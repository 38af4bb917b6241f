#pragma once

// The threaded logger: producers queue lines and return at once; a worker thread appends them
// to their files (or the application log) in the background, one write per target and batch.

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace probrix {

// Told on the threaded logger's worker that a queued write failed and its lines are lost: the
// target and the reason. The caller that queued the line decides whom to tell.
using TLogWriteFailed = std::function<void(const std::string& Target, const std::string& Reason)>;

// One queued line.
struct TLogData {
  std::string Text;    // possibly several lines joined by CR LF
  std::string Target;  // a file path, or a name of the application log (empty: the unnamed)
  bool IsFile = false;
  TLogWriteFailed OnFailure;  // may be empty
};

// Takes lines from producers without blocking them on file I/O, groups them per target and
// appends each group with one write. A line that comes alone is written at once; while lines
// keep coming, the worker wakes once per batch and lets a batch gather for BatchGatherTime.
class TThreadLogger {
 public:
  // Writes one group: (joined text, target, IsFile); an exception means the group was not
  // written, and its lines' OnFailure handlers hear its message. The default sends file targets
  // to AppendLogFile and names to the application log.
  using TFlushProc =
      std::function<void(const std::string& Text, const std::string& Target, bool IsFile)>;

  explicit TThreadLogger(TFlushProc Flush = {});
  // Writes every line still queued, then ends the worker.
  ~TThreadLogger();
  TThreadLogger(const TThreadLogger&) = delete;
  TThreadLogger& operator=(const TThreadLogger&) = delete;

  // Queues a line (with the "HH:NN:SS.ZZZ " prefix when AddTime) and wakes the worker.
  void Add(const std::string& Text, const std::string& Target, bool IsFile, bool AddTime,
           TLogWriteFailed OnFailure = {});
  // Returns once every line queued before the call has been written (or has failed).
  void Flush();

  // How long a batch may gather while lines keep coming: lines that come within this time of
  // each other go to their files with one write. A flush or the logger's end cuts it short.
  static constexpr std::chrono::milliseconds BatchGatherTime{2};

  // While a search runs its lines come at the pace of its attempts (one every few or tens of
  // milliseconds), too far apart for BatchGatherTime: between BeginPacedBatches and the
  // matching EndPacedBatches the worker writes what gathered every PacedGatherTime, so no line
  // waits longer. A flush, the end of the last paced stretch and the logger's end cut it short.
  static constexpr std::chrono::milliseconds PacedGatherTime{50};
  void BeginPacedBatches();
  void EndPacedBatches();

 private:
  void Execute();
  void WriteBatch(std::vector<std::unique_ptr<TLogData>>& Batch);

  TFlushProc Flush_;
  std::mutex Lock_;
  std::condition_variable DataReadyEvent_;
  std::condition_variable IdleEvent_;  // the worker has written what it took
  bool DataReady_ = false;
  bool Waiting_ = false;  // the worker sleeps until a line comes: only the first one wakes it
  bool Hurry_ = false;    // a flush waits: no gathering
  bool Writing_ = false;
  bool Terminated_ = false;
  int Paced_ = 0;  // paced stretches begun and not yet ended
  std::chrono::steady_clock::time_point LastBatch_;
  std::vector<std::unique_ptr<TLogData>> Queue_;
  std::thread Thread_;
};

// The shared threaded logger, created and started on first use.
TThreadLogger& ThreadLogger();
// Queues Text for the file Path (prefixed with the time of day when AddTime); returns at once
// and never fails. OnFailure, if given, hears on the logger's worker that the write failed.
void WriteThreadLog(const std::string& Text, const std::string& Path, bool AddTime,
                    TLogWriteFailed OnFailure = {}) noexcept;
// Waits until the lines queued so far have been written (nothing to do without a logger). Not
// to be called while FinalizeLogging may run on another thread.
void FlushThreadLog() noexcept;
// A search's stretch of paced batches on the shared logger (TThreadLogger::BeginPacedBatches);
// never fail.
void BeginThreadLogPacing() noexcept;
void EndThreadLogPacing() noexcept;
// Writes what the shared logger still holds and ends it; the next use starts a new one.
// FinalizeLogging calls it while the application log is still there for its last lines.
void StopThreadLog();

}  // namespace probrix
