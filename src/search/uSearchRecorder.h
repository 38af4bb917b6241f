#pragma once

// What a search leaves in files, decided once for both front ends: every protocol line of an
// attempt goes to the search's result log, and so does the error that ended a run early; each
// attempt's own log goes to a file of its own when attempt logs are kept (a device found after
// the error line of its own attempt brings none: that line carried it); a log that cannot be
// written is told once per file while the search goes on. The front ends show the lines the
// recorder returns and the warnings it gives, nothing more.

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/appDateTime.h"
#include "foundation/appLogging.h"
#include "search/uFinderEngineTypes.h"
#include "search/uSearchLog.h"
#include "search/uSearchReport.h"

namespace probrix {

// Told on the threaded logger's worker, once per file, that a log cannot be written (the lines
// are lost; the search goes on): the file and the reason.
using TUnwritableLogEvent = std::function<void(const std::string& Path, const std::string& Reason)>;

// The records of the searches of one front end. The record calls come one at a time (from the
// window's thread, or from the task's handlers, which it calls one at a time).
class TSearchRecorder {
 public:
  explicit TSearchRecorder(TUnwritableLogEvent OnUnwritable = {});
  // No warning is told after it (one being told is waited for); lines already queued are still
  // written.
  ~TSearchRecorder();
  TSearchRecorder(const TSearchRecorder&) = delete;
  TSearchRecorder& operator=(const TSearchRecorder&) = delete;

  // Begins the records of a search started at Time: its result log and its attempt logs go to
  // Folder. An empty Folder is the application log's day folder, looked up again for each
  // attempt log.
  // While the search runs its lines reach their files in batches of PacedGatherTime.
  void BeginSearch(TDateTime Time, const std::string& Folder = {});
  // The search has ended: the lines still gathering go out now, later ones at once.
  void EndSearch();
  // Whether each attempt's log is written to a file of its own (off at first); it may change
  // while a search runs.
  void SetSaveAttemptLogs(bool Value) { SaveAttemptLogs_ = Value; }
  bool SaveAttemptLogs() const { return SaveAttemptLogs_; }
  // The result log of the current (or last) search; empty before the first.
  const std::string& ResultLogPath() const { return ResultLogPath_; }

  // A found device: its protocol line to the result log and AttemptLog (the attempt's log as
  // TSearchLog::Text gives it; empty for a device found after its error line) to a file of its
  // own. Returns the line.
  std::string DeviceFound(TDateTime Time, const TSearchAttempt& Attempt, const TDeviceInfo& Device,
                          const std::string& AttemptLog);
  // The same with the attempt's log itself, whose text is made only when it is kept (so for
  // SearchError).
  std::string DeviceFound(TDateTime Time, const TSearchAttempt& Attempt, const TDeviceInfo& Device,
                          const TSearchLog& Log);
  // A failed attempt: its protocol lines (SearchErrorLines) to the result log, AttemptLog to a
  // file of its own. Returns the lines.
  std::vector<std::string> SearchError(TDateTime Time, const TSearchAttempt& Attempt,
                                       std::string_view ErrorText, std::string_view Reason,
                                       const std::string& AttemptLog);
  std::vector<std::string> SearchError(TDateTime Time, const TSearchAttempt& Attempt,
                                       std::string_view ErrorText, std::string_view Reason,
                                       const TSearchLog& Log);
  // An address of a range that accepted no connection: its line to the result log, no attempt
  // log. Returns the line.
  std::string SweepMiss(TDateTime Time, const TSweepMiss& Miss);
  // The error that ended a run early, to the result log. Returns its line.
  std::string RunError(TDateTime Time, std::string_view Error);

  // Returns once every line recorded so far has been written (or has failed).
  void Flush();
  // Whether a line of the current search's result log could not be written.
  bool ResultLogIncomplete() const;

 private:
  struct TShared;

  void Record(const std::vector<std::string>& Lines, TDateTime Time, const TSearchAttempt& Attempt,
              const std::string& AttemptLog);
  // A line of the result log alone; returns it.
  std::string ToResultLog(std::string Line);
  // The attempt log's text when attempt logs are kept, else nothing.
  std::string KeptText(const TSearchLog& Log) const;
  // Goes with every queued line: it outlives the recorder in the logger's queue.
  TLogWriteFailed FailureHandler() const;

  std::shared_ptr<TShared> Shared_;
  std::string Folder_;
  std::string ResultLogPath_;
  std::atomic<bool> SaveAttemptLogs_{false};
  bool Paced_ = false;
  TAttemptLogNames AttemptLogNames_;
};

}  // namespace probrix
