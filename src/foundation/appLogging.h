#pragma once

// The process-wide logging facility: its start-up and shutdown and the application log
// (Logs/YYYY_MM_DD/HH_<program>.log beside the program). Where the program lives, the debug
// switches of "Debug.ini" and the threaded logger that appends queued lines in the background
// have headers of their own, included here for the facility's callers. No function here lets a
// logging failure reach its caller.

#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "foundation/appDebugSwitches.h"
#include "foundation/appFileLogs.h"
#include "foundation/appProgramFolders.h"
#include "foundation/appSysUtils.h"
#include "foundation/appThreadLog.h"

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

// The application log's clock: the one start-up was given, else the local time of day.
TDateTime AppLogNow();

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

}  // namespace probrix
