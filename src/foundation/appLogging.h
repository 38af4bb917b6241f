#pragma once

// The process-wide logging facility: where the program lives, the debug switches of
// "Debug.ini", the application log (Logs/YYYY_MM_DD/HH_<program>.log beside the program) and
// the threaded logger that appends queued lines in the background. No function here lets a
// logging failure reach its caller.

#include <chrono>
#include <condition_variable>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "foundation/appFileLogs.h"
#include "foundation/appSysUtils.h"

namespace probrix {

struct TLoggingOptions {
  // The first command-line argument; the program's folder is taken from it.
  std::string Argv0;
  // The program file; empty: the running program (/proc/self/exe). Tests point it into a
  // temporary folder.
  std::string ModulePathOverride;
  // The wall clock for the application log; empty: the local time of day.
  TLogClock Clock;
  // Whether new files may be created in a folder; empty: the real check. Tests force the
  // per-user fall-back with it.
  std::function<bool(const std::string&)> IsFolderWritable;
  // Make the program's folder the current directory (relative names resolve there).
  bool ChangeCurrentDirectory = true;
};

// Start-up: the program's location, the current directory, the folders, "Debug.ini" and the
// application log. Call once after InstallErrorHooks and before any window or search exists.
void InitializeLogging(const char* Argv0);
void InitializeLogging(const TLoggingOptions& Options);
// Shutdown: drains and stops the threaded logger first (so the last queued lines reach their
// files), then destroys the application log. Call before RemoveErrorHooks.
void FinalizeLogging();

// Start-up values, fixed by InitializeLogging (empty before it). Folders end with '/'.
const std::string& ModulePath();        // the program file, links resolved
const std::string& ModuleName();        // its file name, "probrix"
const std::string& ModuleFolder();      // its folder
const std::string& ExeFolder();         // the folder of the first argument (the same folder)
const std::string& LogsFolder();        // ExeFolder + "Logs/", or the per-user state folder
const std::string& AppIniFileName();    // the settings file, "probrix.ini" beside the program
                                        // or in the per-user configuration folder
const std::string& DebugIniFileName();  // the "Debug.ini" that was read (or would be)

// The switches of "Debug.ini", section "Debug"; all false without the file.
struct TDebugSwitches {
  bool DebugMode = false;
  bool ShowTime = false;
  bool ShowModuleName = false;
  bool ShowThreadID = false;
  bool DebugLog = false;
};
const TDebugSwitches& DebugSwitches();

// Application log functions; every one returns normally whatever happens in the log.
void WriteAppLog(const std::string& Text, bool WithTime = true) noexcept;
void WriteAppLogNamed(const std::string& Text, const std::string& Name,
                      bool WithTime = true) noexcept;
void WriteAppLogFmt(std::string_view Fmt, const std::string& Name, TFormatArgs Args,
                    bool WithTime = true) noexcept;
// WriteAppLogNamed(Text, Name, true) for a crash signal's handler: only async-signal-safe
// calls, no allocation and no lock, with the folder, the program's name, the switches and the
// time zone as start-up found them (a test clock does not apply). Name must be a safe file name.
// Does nothing without an application log; a line that cannot be written is lost.
void WriteAppLogNamedFromSignal(std::string_view Text, std::string_view Name) noexcept;
// Appends to any file (folders created as needed); failures are silent.
void WriteLogFile(const std::string& Text, const std::string& Path, bool WithTime = true) noexcept;
// The same write, saying why it failed: empty on success, else the reason (the failed step and
// the system's text; "no application log" before start-up and after shutdown).
std::string AppendLogFile(const std::string& Text, const std::string& Path, bool WithTime) noexcept;
// Records a failed log write in the "<Name>_LogError" variant of the current hour's file.
void ReportLogError(const std::exception& E, const std::string& LogStr, const std::string& Name,
                    bool WithTime) noexcept;
// Sends a line to standard error when DebugMode is on, prefixed as the Show switches select.
void DebugOutput(const std::string& Text) noexcept;
// The folder of the application log's current file (the day folder, created), with a
// trailing '/'; empty without an application log.
std::string GetAppLogFolder() noexcept;
// The application log itself (none before start-up and after shutdown).
std::shared_ptr<tTimeSeparatedFileLog> AppLog();

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

}  // namespace probrix
