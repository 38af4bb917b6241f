#include "foundation/appFileLogs.h"

#include <cstring>
#include <filesystem>
#include <system_error>

#include "foundation/appCodePage.h"
#include "foundation/appExceptions.h"
#include "foundation/appSysUtils.h"
#include "platform/platFiles.h"

namespace probrix {

namespace {

constexpr char LineEnd[] = "\r\n";
constexpr char TimeStampFormat[] = "hh:nn:ss.zzz ";

// A writer in another process (or another log object) holds a file only for one append; wait
// this many milliseconds for it before the open counts as failed.
constexpr int LockWaitMs = 100;

std::mutex DefaultLogsFolderLock;
std::string DefaultLogsFolderValue;

std::size_t FileNameStart(const std::string& Path) {
  const std::size_t slash = Path.find_last_of('/');
  return slash == std::string::npos ? 0 : slash + 1;
}

// Position of the extension's point in the file name part, or npos.
std::size_t ExtensionPos(const std::string& Path) {
  const std::size_t dot = Path.find_last_of('.');
  if (dot == std::string::npos || dot < FileNameStart(Path)) return std::string::npos;
  return dot;
}

std::string InsertBeforeExtension(const std::string& Path, const std::string& Text) {
  const std::size_t dot = ExtensionPos(Path);
  std::string out = Path;
  out.insert(dot == std::string::npos ? out.size() : dot, Text);
  return out;
}

std::string ChangeFileExt(const std::string& Path, const std::string& Extension) {
  const std::size_t dot = ExtensionPos(Path);
  return (dot == std::string::npos ? Path : Path.substr(0, dot)) + Extension;
}

const std::string* FindValue(const std::vector<std::pair<std::string, std::string>>& List,
                             const std::string& Name) {
  for (const auto& [name, value] : List)
    if (SameTextAscii(name, Name)) return &value;
  return nullptr;
}

void SetValue(std::vector<std::pair<std::string, std::string>>& List, const std::string& Name,
              const std::string& Value) {
  for (auto& [name, value] : List)
    if (SameTextAscii(name, Name)) {
      value = Value;
      return;
    }
  List.emplace_back(Name, Value);
}

void RemoveValues(std::vector<std::pair<std::string, std::string>>& List, const std::string& Name) {
  std::erase_if(List, [&](const auto& Item) { return SameTextAscii(Item.first, Name); });
}

bool IsBlank(const std::string& Text) { return Trim(Text).empty(); }

// The name of the failed step as the messages give it.
const char* StepName(platform::TAppendStep Step) {
  switch (Step) {
    case platform::TAppendStep::asOpen:
      return "CreateFile";
    case platform::TAppendStep::asSeek:
      return "SetFilePointer";
    case platform::TAppendStep::asWrite:
      return "WriteFile";
    default:
      return nullptr;
  }
}

// Appends Bytes under the advisory lock that serialises writers. Never throws.
platform::TAppendResult AppendBytes(const std::string& Path, const std::string& Bytes) {
  return platform::AppendToFile(Path, Bytes, LockWaitMs);
}

// Creates the folder of Path and its missing parents; false when that fails, with the reason
// in Error.
bool ForceFolderOf(const std::string& Path, std::error_code& Error) {
  const std::filesystem::path folder = platform::PathOfUtf8(Path).parent_path();
  Error.clear();
  if (folder.empty()) return true;
  std::filesystem::create_directories(folder, Error);
  if (!Error) return true;
  std::error_code ignored;
  return std::filesystem::is_directory(folder, ignored);
}

bool ForceFolderOf(const std::string& Path) {
  std::error_code ignored;
  return ForceFolderOf(Path, ignored);
}

// Appends; when the open finds no folder for the file, makes the folder chain and tries once
// more. The folder is looked at only when it is missing, not with every write. FolderError:
// why the folder could not be made (the open's failure is the result then).
platform::TAppendResult AppendMakingFolder(const std::string& Path, const std::string& Bytes,
                                           std::error_code& FolderError) {
  FolderError.clear();
  const platform::TAppendResult result = AppendBytes(Path, Bytes);
  if (Path.empty() || result.Step != platform::TAppendStep::asOpen ||
      result.Error.Kind != platform::TErrorKind::ekNotFound || !ForceFolderOf(Path, FolderError))
    return result;
  return AppendBytes(Path, Bytes);
}

}  // namespace

std::string MakeSafeFileName(std::string_view Text, char Replacement) {
  std::string out(Text);
  for (char& c : out)
    if (std::strchr("\"'*/:<>?\\|", c) != nullptr && c != '\0') c = Replacement;
  return out;
}

void RaiseFileLogError(std::string_view FuncName, int ErrorCode) {
  std::string message;
  if (ErrorCode != 0) {
    message =
        Format("System Error.  Code: %d.\r\n%s", {ErrorCode, platform::SystemErrorText(ErrorCode)});
  } else {
    message = "A call to an OS function failed";
  }
  message += Format(" (funcName=%s)", {FuncName});
  EOSError e(std::move(message));
  e.ErrorCode = ErrorCode;
  throw e;
}

void SetDefaultLogsFolder(std::string Folder) {
  std::lock_guard guard(DefaultLogsFolderLock);
  DefaultLogsFolderValue = std::move(Folder);
}

std::string DefaultLogsFolder() {
  std::lock_guard guard(DefaultLogsFolderLock);
  return DefaultLogsFolderValue;
}

std::string QuoteFormatLiteral(std::string_view Text) {
  // A double quote cannot appear inside double quotes: it goes between single quotes.
  std::string out;
  std::size_t i = 0;
  while (i < Text.size()) {
    if (Text[i] == '"') {
      out += "'\"'";
      ++i;
      continue;
    }
    const std::size_t end = std::min(Text.find('"', i), Text.size());
    out += '"';
    out.append(Text.substr(i, end - i));
    out += '"';
    i = end;
  }
  return out;
}

// --- tFileLog ---------------------------------------------------------------------------

tFileLog::tFileLog(std::string AFileName) : FileName_(std::move(AFileName)) {}

void tFileLog::SetClock(TLogClock Clock) {
  std::lock_guard guard(Lock_);
  Clock_ = std::move(Clock);
}

TDateTime tFileLog::Now() const { return Clock_ ? Clock_() : NowDateTime(); }

std::string tFileLog::FileName() {
  std::lock_guard guard(Lock_);
  return FileName_;
}

bool tFileLog::Log(const std::string& Text) { return WriteNamed(Text, std::string(), true); }

bool tFileLog::LogRaw(const std::string& Text) { return WriteNamed(Text, std::string(), false); }

bool tFileLog::LogNamed(const std::string& Text, const std::string& Name) {
  return WriteNamed(Text, Name, true);
}

bool tFileLog::LogNamedRaw(const std::string& Text, const std::string& Name) {
  return WriteNamed(Text, Name, false);
}

bool tFileLog::WriteNamed(const std::string& Text, const std::string& Name, bool WithTime) {
  std::lock_guard guard(Lock_);
  const std::string safe = MakeSafeFileName(Name, '_');
  std::string path = FileName();
  if (!safe.empty() && !path.empty()) path = InsertBeforeExtension(path, "_" + safe);
  if (const std::string* ext = FindValue(Extensions_, safe); ext && !path.empty())
    path = ChangeFileExt(path, *ext);

  const std::string* header = FindValue(Headers_, safe);
  std::error_code ec;
  const bool needHeader =
      header && !path.empty() && !std::filesystem::exists(platform::PathOfUtf8(path), ec);

  const std::string stamp = WithTime ? FormatDateTime(TimeStampFormat, Now()) : std::string();
  std::string content;
  if (needHeader) content += stamp + *header + LineEnd;
  content += stamp + Text + LineEnd;

  std::error_code folderError;
  const platform::TAppendResult result =
      MakesItsFolder_ ? AppendMakingFolder(path, Utf8ToCp1251(content), folderError)
                      : AppendBytes(path, Utf8ToCp1251(content));
  if (result.Error) RaiseFileLogError(StepName(result.Step), result.Error.Code);
  return true;
}

bool tFileLog::LogToDayFolder(const std::string& Text, const std::string& Folder,
                              const std::string& Name) {
  return WriteToDayFolder(Text, Folder, Name, true);
}

bool tFileLog::LogToDayFolderRaw(const std::string& Text, const std::string& Folder,
                                 const std::string& Name) {
  return WriteToDayFolder(Text, Folder, Name, false);
}

bool tFileLog::WriteToDayFolder(const std::string& Text, const std::string& Folder,
                                const std::string& Name, bool WithTime) {
  try {
    std::lock_guard guard(Lock_);
    std::string folder = IsBlank(Folder) ? DefaultLogsFolder() : Folder;
    // With no folder at all the day folder is relative to the current (program) folder.
    if (!folder.empty() && folder.back() != '/') folder += '/';
    const TDateTime now = Now();
    const std::string path =
        folder + FormatDateTime("yyyy_mm_dd", now) + "/" + MakeSafeFileName(Name, '_');
    const std::string stamp = WithTime ? FormatDateTime(TimeStampFormat, now) : std::string();
    std::error_code folderError;
    return !AppendMakingFolder(path, Utf8ToCp1251(stamp + Text + LineEnd), folderError).Error;
  } catch (...) {
    return false;
  }
}

bool tFileLog::LogToFile(const std::string& Text, const std::string& Path) {
  return WriteToFile(Text, Path, true);
}

bool tFileLog::LogToFileRaw(const std::string& Text, const std::string& Path) {
  return WriteToFile(Text, Path, false);
}

bool tFileLog::WriteToFile(const std::string& Text, const std::string& Path, bool WithTime) {
  return AppendToFile(Text, Path, WithTime).empty();
}

std::string tFileLog::AppendToFile(const std::string& Text, const std::string& Path,
                                   bool WithTime) {
  try {
    std::lock_guard guard(Lock_);
    if (IsBlank(Path)) return "CreateFile: empty path";
    const std::string stamp = WithTime ? FormatDateTime(TimeStampFormat, Now()) : std::string();
    std::error_code folderError;
    const platform::TAppendResult result =
        AppendMakingFolder(Path, Utf8ToCp1251(stamp + Text + LineEnd), folderError);
    if (folderError) return "CreateDirectory: " + folderError.message();
    return result.Error ? std::string(StepName(result.Step)) + ": " + result.Error.Text
                        : std::string();
  } catch (const std::exception& e) {
    return e.what()[0] != '\0' ? e.what() : "unknown";
  } catch (...) {
    return "unknown";
  }
}

void tFileLog::SetFileOptions(const std::string& Name, const std::string& Header,
                              const std::string& Extension) {
  // Guarded although the options are normally set before the first write.
  std::lock_guard guard(Lock_);
  const std::string safe = MakeSafeFileName(Name, '_');
  if (!IsBlank(Header)) SetValue(Headers_, safe, Header);
  if (!IsBlank(Extension)) SetValue(Extensions_, safe, Extension);
}

void tFileLog::RemoveFileOptions(const std::string& Name) {
  std::lock_guard guard(Lock_);
  const std::string safe = MakeSafeFileName(Name, '_');
  RemoveValues(Headers_, safe);
  RemoveValues(Extensions_, safe);
}

// --- tTimeSeparatedFileLog ---------------------------------------------------------------

tTimeSeparatedFileLog::tTimeSeparatedFileLog(std::string AFileNamePattern)
    : tFileLog(std::string()), FileNamePattern_(std::move(AFileNamePattern)) {
  MakesItsFolder_ = true;
}

std::string tTimeSeparatedFileLog::FileName() {
  std::lock_guard guard(Lock_);
  std::string name;
  try {
    name = FormatDateTime(FileNamePattern_, Now());
  } catch (...) {
    name.clear();
  }
  // The folder is made when the name changes (a new hour or day), not with every write; a
  // write that finds it gone makes it again.
  if (name.empty() || name != FileName_)
    FileName_ = !name.empty() && ForceFolderOf(name) ? name : std::string();
  return FileName_;
}

}  // namespace probrix
