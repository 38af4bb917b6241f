#include "search/uSearchRecorder.h"

#include <mutex>
#include <set>
#include <utility>

#include "platform/platFiles.h"

namespace probrix {

namespace {

std::string PathIn(const std::string& Folder, const std::string& Name) {
  return platform::Utf8OfPath(platform::PathOfUtf8(Folder) / platform::PathOfUtf8(Name));
}

}  // namespace

// What the logger's worker shares with the recorder, under one lock.
struct TSearchRecorder::TShared {
  std::mutex Lock;
  TUnwritableLogEvent OnUnwritable;  // empty once the recorder is gone
  std::set<std::string> Unwritable;  // files told about already
  std::string ResultLog;             // of the current search
  bool ResultLogIncomplete = false;
};

TSearchRecorder::TSearchRecorder(TUnwritableLogEvent OnUnwritable)
    : Shared_(std::make_shared<TShared>()) {
  Shared_->OnUnwritable = std::move(OnUnwritable);
}

TSearchRecorder::~TSearchRecorder() {
  EndSearch();
  const std::lock_guard guard(Shared_->Lock);
  Shared_->OnUnwritable = nullptr;
}

void TSearchRecorder::BeginSearch(TDateTime Time, const std::string& Folder) {
  EndSearch();
  Folder_ = Folder;
  BeginThreadLogPacing();
  Paced_ = true;
  ResultLogPath_ = PathIn(Folder.empty() ? GetAppLogFolder() : Folder, ResultLogFileName(Time));
  const std::lock_guard guard(Shared_->Lock);
  Shared_->ResultLog = ResultLogPath_;
  Shared_->ResultLogIncomplete = false;
}

void TSearchRecorder::EndSearch() {
  if (!Paced_) return;
  Paced_ = false;
  EndThreadLogPacing();
}

std::string TSearchRecorder::DeviceFound(TDateTime Time, const TSearchAttempt& Attempt,
                                         const TDeviceInfo& Device, const std::string& AttemptLog) {
  std::string line = DeviceFoundLine(Time, Attempt, Device);
  Record({line}, Time, Attempt, AttemptLog);
  return line;
}

std::string TSearchRecorder::DeviceFound(TDateTime Time, const TSearchAttempt& Attempt,
                                         const TDeviceInfo& Device, const TSearchLog& Log) {
  return DeviceFound(Time, Attempt, Device, KeptText(Log));
}

std::vector<std::string> TSearchRecorder::SearchError(TDateTime Time, const TSearchAttempt& Attempt,
                                                      std::string_view ErrorText,
                                                      std::string_view Reason,
                                                      const TSearchLog& Log) {
  return SearchError(Time, Attempt, ErrorText, Reason, KeptText(Log));
}

std::vector<std::string> TSearchRecorder::SearchError(TDateTime Time, const TSearchAttempt& Attempt,
                                                      std::string_view ErrorText,
                                                      std::string_view Reason,
                                                      const std::string& AttemptLog) {
  std::vector<std::string> lines = SearchErrorLines(Time, Attempt, ErrorText, Reason);
  Record(lines, Time, Attempt, AttemptLog);
  return lines;
}

std::string TSearchRecorder::SweepMiss(TDateTime Time, const TSweepMiss& Miss) {
  return ToResultLog(SweepMissLine(Time, Miss));
}

std::string TSearchRecorder::RunError(TDateTime Time, std::string_view Error) {
  return ToResultLog(RunErrorLine(Time, Error));
}

std::string TSearchRecorder::ToResultLog(std::string Line) {
  WriteThreadLog(Line, ResultLogPath_, false, FailureHandler());
  return Line;
}

std::string TSearchRecorder::KeptText(const TSearchLog& Log) const {
  return SaveAttemptLogs_ ? Log.Text() : std::string();
}

void TSearchRecorder::Flush() { FlushThreadLog(); }

bool TSearchRecorder::ResultLogIncomplete() const {
  const std::lock_guard guard(Shared_->Lock);
  return Shared_->ResultLogIncomplete;
}

void TSearchRecorder::Record(const std::vector<std::string>& Lines, TDateTime Time,
                             const TSearchAttempt& Attempt, const std::string& AttemptLog) {
  const TLogWriteFailed failed = FailureHandler();
  for (const std::string& line : Lines) WriteThreadLog(line, ResultLogPath_, false, failed);
  if (!SaveAttemptLogs_ || AttemptLog.empty()) return;
  const std::string folder = Folder_.empty() ? GetAppLogFolder() : Folder_;
  WriteThreadLog(AttemptLog, PathIn(folder, AttemptLogNames_.Next(Time, Attempt)), false, failed);
}

TLogWriteFailed TSearchRecorder::FailureHandler() const {
  return [shared = Shared_](const std::string& Path, const std::string& Reason) {
    const std::lock_guard guard(shared->Lock);
    if (Path == shared->ResultLog) shared->ResultLogIncomplete = true;
    // Once per file: the search goes on, and the operator knows the file is incomplete.
    if (!shared->Unwritable.insert(Path).second || !shared->OnUnwritable) return;
    shared->OnUnwritable(Path, Reason);
  };
}

}  // namespace probrix
