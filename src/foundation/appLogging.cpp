#include "foundation/appLogging.h"

#include <atomic>
#include <filesystem>
#include <mutex>
#include <system_error>

#include "foundation/appCodePage.h"
#include "foundation/appDateTime.h"
#include "foundation/appExceptions.h"
#include "foundation/appFixedText.h"
#include "platform/platCrashSignals.h"
#include "platform/platFiles.h"
#include "platform/platProcess.h"

namespace probrix {

namespace {

constexpr char LineEnd[] = "\r\n";

struct TFacility {
  TLogClock Clock;
  std::mutex AppLogLock;
  std::shared_ptr<tTimeSeparatedFileLog> AppLog;
};

// What a crash handler needs to write to the application log, copied at start-up into storage
// that is never freed. Start-ups fill the slots in turn, so a handler still reading the
// previous one is not overwritten.
struct TSignalLog {
  char LogsFolder[4096] = {};
  char ModuleName[256] = {};
  TDebugSwitches Switches;
  platform::TLocalTimeTable Clock;
};
TSignalLog SignalLogSlots[4];
std::size_t NextSignalLogSlot = 0;  // start-up and shutdown run on one thread
std::atomic<const TSignalLog*> SignalLog{nullptr};

// Never destroyed: the error hooks may log while the process is being torn down.
TFacility& Facility() {
  static TFacility* facility = new TFacility();
  return *facility;
}

void WriteAppLogImpl(const std::string& Text, const std::string& Name, bool Named,
                     bool WithTime) noexcept {
  try {
    if (const std::shared_ptr<tTimeSeparatedFileLog> log = AppLog()) {
      try {
        if (Named) {
          WithTime ? log->LogNamed(Text, Name) : log->LogNamedRaw(Text, Name);
        } else {
          WithTime ? log->Log(Text) : log->LogRaw(Text);
        }
      } catch (const std::exception& E) {
        ReportLogError(E, Text, Name, WithTime);
      } catch (...) {
        ReportLogError(EForeignException("unknown", ""), Text, Name, WithTime);
      }
    }
    if (DebugSwitches().DebugLog) DebugOutput(Text);
  } catch (...) {
    // Nothing of a failed log write reaches the caller.
  }
}

void PrepareSignalLog() {
  TSignalLog& slot = SignalLogSlots[NextSignalLogSlot];
  NextSignalLogSlot = (NextSignalLogSlot + 1) % std::size(SignalLogSlots);
  // A name that does not fit gives no crash lines rather than lines in a wrong file.
  const std::string& logsFolder = LogsFolder();
  const std::string& moduleName = ModuleName();
  if (logsFolder.size() >= sizeof(slot.LogsFolder) ||
      moduleName.size() >= sizeof(slot.ModuleName)) {
    SignalLog.store(nullptr);
    return;
  }
  logsFolder.copy(slot.LogsFolder, logsFolder.size());
  slot.LogsFolder[logsFolder.size()] = '\0';
  moduleName.copy(slot.ModuleName, moduleName.size());
  slot.ModuleName[moduleName.size()] = '\0';
  slot.Switches = DebugSwitches();
  slot.Clock.Prepare();
  SignalLog.store(&slot);
}

// The pieces of WriteAppLogNamedFromSignal, apart so that its stack holds one line at a time.
constexpr std::size_t SignalLineSize = 2048;

template <std::size_t N>
void AddTimeOfDay(TFixedText<N>& Text, const TDateTimeParts& Time, std::string_view BeforeMs) {
  Text.Decimal(Time.Hour, 2).Add(":").Decimal(Time.Minute, 2).Add(":").Decimal(Time.Second, 2);
  Text.Add(BeforeMs).Decimal(Time.MilliSecond, 3).Add(" ");
}

__attribute__((noinline)) void WriteSignalLine(const TSignalLog& Log, const TDateTimeParts& Now,
                                               std::string_view Text, std::string_view Name) {
  // The application log's file of this hour with "_" + Name before its extension ".log".
  TFixedText<sizeof(Log.LogsFolder) + sizeof(Log.ModuleName) + 64> path;
  path.Add(Log.LogsFolder).Decimal(Now.Year, 4).Add("_").Decimal(Now.Month, 2).Add("_");
  path.Decimal(Now.Day, 2).Add("/").Decimal(Now.Hour, 2).Add("_").Add(Log.ModuleName);
  if (!Name.empty()) path.Add("_").Add(Name);
  path.Add(".log");
  if (!path.Complete()) return;
  TFixedText<SignalLineSize> line;
  AddTimeOfDay(line, Now, ".");
  line.Add(Text).Add(LineEnd);
  char bytes[SignalLineSize];
  const std::size_t size = Utf8ToCp1251(line.View(), bytes, sizeof(bytes));
  platform::SignalSafeAppend(path.CStr(), bytes, size);
}

// The copy for the debugger output, as DebugOutput makes it.
__attribute__((noinline)) void WriteSignalDebugLine(const TSignalLog& Log,
                                                    const TDateTimeParts& Now,
                                                    std::string_view Text) {
  TFixedText<SignalLineSize + sizeof(Log.ModuleName) + 64> line;
  if (Log.Switches.ShowTime) AddTimeOfDay(line, Now, ":");
  if (Log.Switches.ShowModuleName) line.Add("[").Add(Log.ModuleName).Add("] ");
  if (Log.Switches.ShowThreadID) line.Add("[0x").Hex(platform::CurrentThreadId(), 8).Add("] ");
  line.Add(Text).Add(LineEnd);
  platform::WriteDebuggerOutput(line.View());
}

}  // namespace

// --- Start-up and shutdown --------------------------------------------------------------

void InitializeLogging(const char* Argv0) {
  TLoggingOptions options;
  options.Argv0 = Argv0 ? Argv0 : "";
  InitializeLogging(options);
}

void InitializeLogging(const TLoggingOptions& Options) {
  TFacility& f = Facility();
  f.Clock = Options.Clock;
  LocateProgramFolders(Options.Argv0, Options.ModulePathOverride, Options.IsFolderWritable,
                       Options.ChangeCurrentDirectory);
  LoadDebugSwitches(DebugIniFileName());

  SetDefaultLogsFolder(LogsFolder());
  auto log = std::make_shared<tTimeSeparatedFileLog>(
      QuoteFormatLiteral(LogsFolder()) + R"(YYYY"_"MM"_"DD"/"HH)" +
      QuoteFormatLiteral("_" + ModuleName() + ".log"));
  if (f.Clock) log->SetClock(f.Clock);
  PrepareSignalLog();
  std::lock_guard guard(f.AppLogLock);
  f.AppLog = std::move(log);
}

void FinalizeLogging() {
  // The threaded logger goes first: its last lines still have the application log to go to.
  StopThreadLog();
  SignalLog.store(nullptr);
  TFacility& f = Facility();
  std::lock_guard guard(f.AppLogLock);
  f.AppLog.reset();
}

TDateTime AppLogNow() {
  const TFacility& f = Facility();
  return f.Clock ? f.Clock() : NowDateTime();
}

std::shared_ptr<tTimeSeparatedFileLog> AppLog() {
  TFacility& f = Facility();
  std::lock_guard guard(f.AppLogLock);
  return f.AppLog;
}

// --- Application log functions ------------------------------------------------------------

void WriteAppLog(const std::string& Text, bool WithTime) noexcept {
  WriteAppLogImpl(Text, std::string(), false, WithTime);
}

void WriteAppLogNamed(const std::string& Text, const std::string& Name, bool WithTime) noexcept {
  WriteAppLogImpl(Text, Name, true, WithTime);
}

void WriteAppLogFmt(std::string_view Fmt, const std::string& Name, TFormatArgs Args,
                    bool WithTime) noexcept {
  std::string text;
  try {
    text = Format(Fmt, Args);
  } catch (const std::exception& E) {
    // The unformatted text is recorded instead, and nothing else is written.
    try {
      ReportLogError(E, std::string(Fmt), Name, WithTime);
    } catch (...) {
    }
    return;
  } catch (...) {
    return;
  }
  WriteAppLogNamed(text, Name, WithTime);
}

void WriteAppLogNamedFromSignal(std::string_view Text, std::string_view Name) noexcept {
  const TSignalLog* log = SignalLog.load();
  std::int64_t localMs = 0;
  if (!log || !log->Clock.Now(localMs)) return;
  const TDateTimeParts now = DecodeDateTime(
      TDateTime(EncodeDateTime(1970, 1, 1, 0, 0, 0, 0).Value + localMs / MSecsPerDay));
  const std::string_view text = Text.substr(0, SignalLineSize - 32);  // room for prefixes
  WriteSignalLine(*log, now, text, Name);
  if (log->Switches.DebugLog && log->Switches.DebugMode) WriteSignalDebugLine(*log, now, text);
}

void WriteLogFile(const std::string& Text, const std::string& Path, bool WithTime) noexcept {
  (void)AppendLogFile(Text, Path, WithTime);
}

std::string AppendLogFile(const std::string& Text, const std::string& Path,
                          bool WithTime) noexcept {
  try {
    std::string reason = "no application log";
    if (const std::shared_ptr<tTimeSeparatedFileLog> log = AppLog())
      reason = log->AppendToFile(Text, Path, WithTime);
    if (DebugSwitches().DebugLog) DebugOutput(Text);
    return reason;
  } catch (...) {
    return "unknown";
  }
}

void ReportLogError(const std::exception& E, const std::string& LogStr, const std::string& Name,
                    bool WithTime) noexcept {
  try {
    const std::shared_ptr<tTimeSeparatedFileLog> log = AppLog();
    if (!log) return;
    const std::string text =
        Format("Ошибка вывода в лог: ExceptionClass=%s, Message=%s, LogStr: %s",
               {ExceptionClassName(E), std::string_view(E.what()), LogStr});
    const std::string name = Name + "_LogError";
    WithTime ? log->LogNamed(text, name) : log->LogNamedRaw(text, name);
  } catch (...) {
    // No further fall-back: the line is lost.
  }
}

std::string GetAppLogFolder() noexcept {
  try {
    const std::shared_ptr<tTimeSeparatedFileLog> log = AppLog();
    if (!log) return std::string();
    const std::string folder = FolderOf(log->FileName());
    // The day folder is there even when it was removed during the hour.
    std::error_code ignored;
    if (!folder.empty()) std::filesystem::create_directories(platform::PathOfUtf8(folder), ignored);
    return folder;
  } catch (...) {
    return std::string();
  }
}

}  // namespace probrix
