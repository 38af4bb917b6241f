#include "foundation/appLogging.h"

#include <atomic>
#include <filesystem>
#include <map>
#include <system_error>

#include "foundation/appCodePage.h"
#include "foundation/appDateTime.h"
#include "foundation/appExceptions.h"
#include "foundation/appFixedText.h"
#include "foundation/appIniFiles.h"
#include "platform/platCrashSignals.h"
#include "platform/platFiles.h"
#include "platform/platProcess.h"

namespace probrix {

namespace {

namespace fs = std::filesystem;

constexpr char kLineEnd[] = "\r\n";

struct TFacility {
  std::string ModulePath, ModuleName, ModuleFolder, ExeFolder, LogsFolder, AppIniFileName,
      DebugIniFileName;
  TDebugSwitches Switches;
  TLogClock Clock;

  std::mutex AppLogLock;
  std::shared_ptr<tTimeSeparatedFileLog> AppLog;

  std::mutex ThreadLoggerLock;
  std::unique_ptr<TThreadLogger> ThreadLogger;
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

TDateTime LogNow() {
  const TFacility& f = Facility();
  return f.Clock ? f.Clock() : NowDateTime();
}

// The absolute form of Path with links and "." / ".." resolved as far as it exists.
std::string LongPathName(const std::string& Path) {
  if (Path.empty()) return Path;
  std::error_code ec;
  fs::path p = fs::weakly_canonical(fs::absolute(platform::PathOfUtf8(Path), ec), ec);
  return ec ? Path : platform::Utf8OfPath(p);
}

std::string FolderOf(const std::string& Path) {
  const std::size_t slash = Path.find_last_of('/');
  return slash == std::string::npos ? std::string() : Path.substr(0, slash + 1);
}

// A name of the program (UTF-8) as a path: a plain std::string would be read in the system's
// narrow code page, which on Windows is not UTF-8.
fs::path PathOf(const std::string& Name) { return platform::PathOfUtf8(Name); }

std::string TrimRightBlanks(std::string Text) {
  while (!Text.empty() && static_cast<unsigned char>(Text.back()) <= ' ') Text.pop_back();
  return Text;
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
    if (Facility().Switches.DebugLog) DebugOutput(Text);
  } catch (...) {
    // Nothing of a failed log write reaches the caller.
  }
}

void PrepareSignalLog(const TFacility& F) {
  TSignalLog& slot = SignalLogSlots[NextSignalLogSlot];
  NextSignalLogSlot = (NextSignalLogSlot + 1) % std::size(SignalLogSlots);
  // A name that does not fit gives no crash lines rather than lines in a wrong file.
  if (F.LogsFolder.size() >= sizeof(slot.LogsFolder) ||
      F.ModuleName.size() >= sizeof(slot.ModuleName)) {
    SignalLog.store(nullptr);
    return;
  }
  F.LogsFolder.copy(slot.LogsFolder, F.LogsFolder.size());
  slot.LogsFolder[F.LogsFolder.size()] = '\0';
  F.ModuleName.copy(slot.ModuleName, F.ModuleName.size());
  slot.ModuleName[F.ModuleName.size()] = '\0';
  slot.Switches = F.Switches;
  slot.Clock.Prepare();
  SignalLog.store(&slot);
}

// The pieces of WriteAppLogNamedFromSignal, apart so that its stack holds one line at a time.
constexpr std::size_t kSignalLineSize = 2048;

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
  TFixedText<kSignalLineSize> line;
  AddTimeOfDay(line, Now, ".");
  line.Add(Text).Add(kLineEnd);
  char bytes[kSignalLineSize];
  const std::size_t size = Utf8ToCp1251(line.View(), bytes, sizeof(bytes));
  platform::SignalSafeAppend(path.CStr(), bytes, size);
}

// The copy for the debugger output, as DebugOutput makes it.
__attribute__((noinline)) void WriteSignalDebugLine(const TSignalLog& Log,
                                                    const TDateTimeParts& Now,
                                                    std::string_view Text) {
  TFixedText<kSignalLineSize + sizeof(Log.ModuleName) + 64> line;
  if (Log.Switches.ShowTime) AddTimeOfDay(line, Now, ":");
  if (Log.Switches.ShowModuleName) line.Add("[").Add(Log.ModuleName).Add("] ");
  if (Log.Switches.ShowThreadID) line.Add("[0x").Hex(platform::CurrentThreadId(), 8).Add("] ");
  line.Add(Text).Add(kLineEnd);
  platform::WriteDebuggerOutput(line.View());
}

void DefaultFlush(const std::string& Text, const std::string& Target, bool IsFile) {
  if (IsFile) {
    if (std::string reason = AppendLogFile(Text, Target, false); !reason.empty())
      throw EInOutError(std::move(reason));
  } else if (!Target.empty()) {
    WriteAppLogNamed(Text, Target, false);
  } else {
    WriteAppLog(Text, false);
  }
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
  const auto writable = Options.IsFolderWritable
                            ? Options.IsFolderWritable
                            : std::function<bool(const std::string&)>(platform::IsFolderWritable);
  f.Clock = Options.Clock;

  // The program file and its folder.
  f.ModulePath = LongPathName(Options.ModulePathOverride.empty() ? platform::ModuleFilePath()
                                                                 : Options.ModulePathOverride);
  f.ModuleFolder = FolderOf(f.ModulePath);
  f.ModuleName = f.ModulePath.substr(f.ModuleFolder.size());

  // The folder of the first argument; a bare name was found on PATH, so it says nothing.
  f.ExeFolder.clear();
  if (Options.Argv0.find('/') != std::string::npos) {
    std::error_code ec;
    const std::string argv0 = LongPathName(Options.Argv0);
    if (fs::is_regular_file(PathOf(argv0), ec)) f.ExeFolder = FolderOf(argv0);
  }
  if (f.ExeFolder.empty()) f.ExeFolder = f.ModuleFolder;

  if (Options.ChangeCurrentDirectory && !f.ExeFolder.empty()) {
    if (platform::SetCurrentFolder(f.ExeFolder)) {
      // The folder stays where it was; relative names then resolve there.
    }
  }

  // An installed copy cannot write beside itself: settings and logs go to the user's folders.
  const bool programFolderWritable = !f.ExeFolder.empty() && writable(f.ExeFolder);
  const platform::TUserFolders userFolders = platform::UserFolders();
  const std::string& userConfig = userFolders.Settings;
  std::error_code ec;

  const std::string localLogs = f.ExeFolder + "Logs/";
  const bool localLogsUsable =
      fs::is_directory(PathOf(localLogs), ec) ? writable(localLogs) : programFolderWritable;
  f.LogsFolder =
      localLogsUsable || userFolders.State.empty() ? localLogs : userFolders.State + "Logs/";

  const std::string iniName =
      f.ModuleName.empty()
          ? std::string()
          : platform::Utf8OfPath(platform::PathOfUtf8(f.ModuleName).replace_extension(".ini"));
  const std::string localIni = f.ModulePath.empty() ? std::string() : f.ModuleFolder + iniName;
  const bool moduleFolderWritable = !f.ModuleFolder.empty() && writable(f.ModuleFolder);
  if (moduleFolderWritable || userConfig.empty() || localIni.empty()) {
    f.AppIniFileName = localIni;
  } else {
    f.AppIniFileName = userConfig + iniName;
    fs::create_directories(PathOf(userConfig), ec);
    // Settings an administrator placed beside the program are the user's starting point.
    if (!fs::exists(PathOf(f.AppIniFileName), ec) && fs::is_regular_file(PathOf(localIni), ec))
      fs::copy_file(PathOf(localIni), PathOf(f.AppIniFileName), ec);
  }

  const std::string localDebugIni = f.ModuleFolder + "Debug.ini";
  const std::string userDebugIni = userConfig.empty() ? std::string() : userConfig + "Debug.ini";
  if (fs::exists(PathOf(localDebugIni), ec) || userDebugIni.empty()) {
    f.DebugIniFileName = localDebugIni;
  } else if (fs::exists(PathOf(userDebugIni), ec) || !moduleFolderWritable) {
    f.DebugIniFileName = userDebugIni;
  } else {
    f.DebugIniFileName = localDebugIni;
  }

  f.Switches = TDebugSwitches();
  try {
    const TIniFile ini(f.DebugIniFileName);
    auto flag = [&](const char* Key) { return ini.ReadInteger("Debug", Key, 0) != 0; };
    f.Switches.DebugMode = flag("DebugMode");
    f.Switches.ShowTime = flag("ShowTime");
    f.Switches.ShowModuleName = flag("ShowModuleName");
    f.Switches.ShowThreadID = flag("ShowThreadID");
    f.Switches.DebugLog = flag("DebugLog");
  } catch (...) {
    f.Switches = TDebugSwitches();
  }

  SetDefaultLogsFolder(f.LogsFolder);
  auto log = std::make_shared<tTimeSeparatedFileLog>(
      QuoteFormatLiteral(f.LogsFolder) + R"(YYYY"_"MM"_"DD"/"HH)" +
      QuoteFormatLiteral("_" + f.ModuleName + ".log"));
  if (f.Clock) log->SetClock(f.Clock);
  PrepareSignalLog(f);
  std::lock_guard guard(f.AppLogLock);
  f.AppLog = std::move(log);
}

void FinalizeLogging() {
  TFacility& f = Facility();
  // The threaded logger goes first: its last lines still have the application log to go to.
  std::unique_ptr<TThreadLogger> logger;
  {
    std::lock_guard guard(f.ThreadLoggerLock);
    logger = std::move(f.ThreadLogger);
  }
  logger.reset();
  SignalLog.store(nullptr);
  std::lock_guard guard(f.AppLogLock);
  f.AppLog.reset();
}

const std::string& ModulePath() { return Facility().ModulePath; }
const std::string& ModuleName() { return Facility().ModuleName; }
const std::string& ModuleFolder() { return Facility().ModuleFolder; }
const std::string& ExeFolder() { return Facility().ExeFolder; }
const std::string& LogsFolder() { return Facility().LogsFolder; }
const std::string& AppIniFileName() { return Facility().AppIniFileName; }
const std::string& DebugIniFileName() { return Facility().DebugIniFileName; }
const TDebugSwitches& DebugSwitches() { return Facility().Switches; }

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
  const std::string_view text = Text.substr(0, kSignalLineSize - 32);  // room for prefixes
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
    if (Facility().Switches.DebugLog) DebugOutput(Text);
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

void DebugOutput(const std::string& Text) noexcept {
  try {
    const TFacility& f = Facility();
    if (!f.Switches.DebugMode) return;
    std::string line;
    if (f.Switches.ShowTime) line += FormatDateTime("hh:nn:ss:zzz ", LogNow());
    if (f.Switches.ShowModuleName) line += "[" + f.ModuleName + "] ";
    if (f.Switches.ShowThreadID) line += Format("[0x%.8x] ", {platform::CurrentThreadId()});
    line += Text;
    line += kLineEnd;
    platform::WriteDebuggerOutput(line);
  } catch (...) {
  }
}

std::string GetAppLogFolder() noexcept {
  try {
    const std::shared_ptr<tTimeSeparatedFileLog> log = AppLog();
    if (!log) return std::string();
    const std::string folder = FolderOf(log->FileName());
    // The day folder is there even when it was removed during the hour.
    std::error_code ignored;
    if (!folder.empty()) std::filesystem::create_directories(PathOf(folder), ignored);
    return folder;
  } catch (...) {
    return std::string();
  }
}

// --- Threaded logger ------------------------------------------------------------------------

TThreadLogger::TThreadLogger(TFlushProc Flush)
    : Flush_(Flush ? std::move(Flush) : TFlushProc(DefaultFlush)) {
  Thread_ = std::thread(platform::WithSignalStack([this] { Execute(); }));
}

TThreadLogger::~TThreadLogger() {
  {
    std::lock_guard guard(Lock_);
    Terminated_ = true;
  }
  DataReadyEvent_.notify_all();
  if (Thread_.joinable()) Thread_.join();
  // Lines queued after the worker's last look are written here rather than dropped.
  std::vector<std::unique_ptr<TLogData>> rest;
  {
    std::lock_guard guard(Lock_);
    rest.swap(Queue_);
  }
  WriteBatch(rest);
}

void TThreadLogger::Add(const std::string& Text, const std::string& Target, bool IsFile,
                        bool AddTime, TLogWriteFailed OnFailure) {
  auto data = std::make_unique<TLogData>();
  data->Text = AddTime ? FormatDateTime("hh:nn:ss.zzz ", LogNow()) + Text : Text;
  data->Target = Target;
  data->IsFile = IsFile;
  data->OnFailure = std::move(OnFailure);
  bool wake = false;
  {
    std::lock_guard guard(Lock_);
    Queue_.push_back(std::move(data));
    // One wake-up per batch: a worker that is writing or gathering takes this line with the
    // others.
    wake = Waiting_ && !DataReady_;
    DataReady_ = true;
  }
  if (wake) DataReadyEvent_.notify_one();
}

void TThreadLogger::Execute() {
  for (;;) {
    std::vector<std::unique_ptr<TLogData>> batch;
    {
      std::unique_lock lock(Lock_);
      if (!DataReady_) {
        if (Terminated_) return;
        // The periodic wake-up keeps the termination check alive even without a signal.
        Waiting_ = true;
        DataReadyEvent_.wait_for(lock, std::chrono::milliseconds(100),
                                 [this] { return DataReady_ || Terminated_; });
        Waiting_ = false;
        if (!DataReady_) continue;
        // Lines keep coming (the last batch was a moment ago): the ones that follow this one
        // join its batch.
        if (std::chrono::steady_clock::now() - LastBatch_ < 2 * BatchGatherTime)
          DataReadyEvent_.wait_for(lock, BatchGatherTime, [this] { return Hurry_ || Terminated_; });
      }
      batch.swap(Queue_);
      DataReady_ = false;
      Hurry_ = false;
      Writing_ = true;
      LastBatch_ = std::chrono::steady_clock::now();
    }
    WriteBatch(batch);
    {
      std::lock_guard lock(Lock_);
      Writing_ = false;
    }
    IdleEvent_.notify_all();
  }
}

void TThreadLogger::Flush() {
  std::unique_lock lock(Lock_);
  if (!Queue_.empty()) {
    Hurry_ = true;
    DataReadyEvent_.notify_all();
  }
  IdleEvent_.wait(lock, [this] { return Queue_.empty() && !Writing_; });
}

void TThreadLogger::WriteBatch(std::vector<std::unique_ptr<TLogData>>& Batch) {
  try {
    // Targets in ascending order, each with the flag of the first entry naming it and its
    // lines in arrival order.
    struct TGroup {
      bool IsFile = false;
      std::string Text;
      bool Any = false;
      std::vector<const TLogWriteFailed*> OnFailure;
    };
    std::map<std::string, TGroup> groups;
    for (const auto& data : Batch) {
      auto [it, inserted] = groups.try_emplace(data->Target);
      TGroup& g = it->second;
      if (inserted) g.IsFile = data->IsFile;
      if (g.Any) g.Text += kLineEnd;
      g.Text += data->Text;
      g.Any = true;
      if (data->OnFailure) g.OnFailure.push_back(&data->OnFailure);
    }
    for (auto& [target, group] : groups) {
      // One failing target does not cost the others their lines.
      std::string reason;
      try {
        Flush_(TrimRightBlanks(std::move(group.Text)), target, group.IsFile);
        continue;
      } catch (const std::exception& E) {
        reason = E.what();
      } catch (...) {
        reason = "unknown";
      }
      for (const TLogWriteFailed* told : group.OnFailure) {
        try {
          (*told)(target, reason);
        } catch (...) {
        }
      }
    }
  } catch (...) {
  }
  Batch.clear();
}

TThreadLogger& ThreadLogger() {
  TFacility& f = Facility();
  std::lock_guard guard(f.ThreadLoggerLock);
  if (!f.ThreadLogger) f.ThreadLogger = std::make_unique<TThreadLogger>();
  return *f.ThreadLogger;
}

void WriteThreadLog(const std::string& Text, const std::string& Path, bool AddTime,
                    TLogWriteFailed OnFailure) noexcept {
  std::string line;
  try {
    line = AddTime ? FormatDateTime("hh:nn:ss.zzz ", LogNow()) + Text : Text;
    TFacility& f = Facility();
    std::lock_guard guard(f.ThreadLoggerLock);
    if (!f.ThreadLogger) f.ThreadLogger = std::make_unique<TThreadLogger>();
    f.ThreadLogger->Add(line, Path, true, false, OnFailure);
  } catch (...) {
    // Without a worker (no thread could be started) the line is written here.
    const std::string reason = AppendLogFile(line, Path, false);
    try {
      if (!reason.empty() && OnFailure) OnFailure(Path, reason);
    } catch (...) {
    }
  }
}

void FlushThreadLog() noexcept {
  try {
    TFacility& f = Facility();
    TThreadLogger* logger = nullptr;
    {
      // Not held while waiting: a failure handler on the worker may queue a line itself.
      std::lock_guard guard(f.ThreadLoggerLock);
      logger = f.ThreadLogger.get();
    }
    if (logger != nullptr) logger->Flush();
  } catch (...) {
  }
}

}  // namespace probrix
