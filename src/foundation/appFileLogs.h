#pragma once

// Text logs appended to files. Every write opens the file, appends and closes it again, so
// other programs may read, move or delete a log between two writes. Lines are UTF-8 in memory
// and Windows-1251 with CR LF on disk.

#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "foundation/appDateTime.h"

namespace probrix {

// The wall clock a log reads for its time stamps and time-dependent file names.
using TLogClock = std::function<TDateTime()>;

// Replaces each of " ' * / : < > ? \ | by Replacement; every other character stays.
std::string MakeSafeFileName(std::string_view Text, char Replacement);

// Throws EOSError for a system error code: "System Error.  Code: <code>.\r\n<text>
// (funcName=<FuncName>)", or for code 0 "A call to an OS function failed (funcName=<FuncName>)";
// the code is the ErrorCode.
[[noreturn]] void RaiseFileLogError(std::string_view FuncName, int ErrorCode);

// The logs folder used by LogToDayFolder for a blank folder; the logging facility sets it.
void SetDefaultLogsFolder(std::string Folder);
std::string DefaultLogsFolder();

class tCustomLog {
 public:
  tCustomLog() = default;
  tCustomLog(const tCustomLog&) = delete;
  tCustomLog& operator=(const tCustomLog&) = delete;
  virtual ~tCustomLog() = default;

  // Appends a time-stamped line. True on success; throws EOSError on failure.
  virtual bool Log(const std::string& Text) = 0;

 protected:
  // Held for one whole write, from the file name to the close. Recursive so that a write may
  // ask for the (time-dependent) file name while holding it.
  std::recursive_mutex Lock_;
};

class tFileLog : public tCustomLog {
 public:
  explicit tFileLog(std::string AFileName);

  // Log, LogRaw, LogNamed and LogNamedRaw throw EOSError when the file cannot be opened,
  // positioned or written.
  bool Log(const std::string& Text) override;
  virtual std::string FileName();
  virtual bool LogRaw(const std::string& Text);
  // Writes to the file with "_" + MakeSafeFileName(Name) before its extension; an empty name
  // is the unnamed file.
  virtual bool LogNamed(const std::string& Text, const std::string& Name);
  virtual bool LogNamedRaw(const std::string& Text, const std::string& Name);
  // Folder/YYYY_MM_DD/MakeSafeFileName(Name); a blank Folder is the default logs folder.
  // These and LogToFile, LogToFileRaw report failures by returning false and never throw.
  virtual bool LogToDayFolder(const std::string& Text, const std::string& Folder,
                              const std::string& Name);
  virtual bool LogToDayFolderRaw(const std::string& Text, const std::string& Folder,
                                 const std::string& Name);
  // Any path (a blank one fails); missing folders are created.
  virtual bool LogToFile(const std::string& Text, const std::string& Path);
  virtual bool LogToFileRaw(const std::string& Text, const std::string& Path);
  // The write of LogToFile (WithTime) or LogToFileRaw that says why it failed: empty on
  // success, else the failed step and the system's text ("WriteFile: No space left on
  // device"). A write cut short leaves the file as it was. Never throws.
  std::string AppendToFile(const std::string& Text, const std::string& Path, bool WithTime);
  // A header line written first into every file the log creates for Name, and an extension
  // (".txt") replacing the file's own; blank values leave the earlier ones.
  virtual void SetFileOptions(const std::string& Name, const std::string& Header,
                              const std::string& Extension);
  virtual void RemoveFileOptions(const std::string& Name);

  // Tests replace the wall clock; the default is the local time of day.
  void SetClock(TLogClock Clock);
  TDateTime Now() const;

 protected:
  using TNameValueList = std::vector<std::pair<std::string, std::string>>;

  TNameValueList Extensions_;
  TNameValueList Headers_;
  std::string FileName_;
  // The log makes the folder of its own file (FileName makes it when the name changes; a
  // write that finds it gone makes it again). A plain file log does not.
  bool MakesItsFolder_ = false;

 private:
  bool WriteNamed(const std::string& Text, const std::string& Name, bool WithTime);
  bool WriteToDayFolder(const std::string& Text, const std::string& Folder, const std::string& Name,
                        bool WithTime);
  bool WriteToFile(const std::string& Text, const std::string& Path, bool WithTime);

  TLogClock Clock_;
};

class tTimeSeparatedFileLog : public tFileLog {
 public:
  // Pattern: a date-time format (text in double quotes is literal; YYYY MM DD HH replaced).
  explicit tTimeSeparatedFileLog(std::string AFileNamePattern);

  // The pattern filled with the current time; its folder is created (when the name changes:
  // a new hour or day), and a failure to create it yields the empty name.
  std::string FileName() override;

  const std::string& FileNamePattern() const { return FileNamePattern_; }

 private:
  std::string FileNamePattern_;
};

// Quotes Text as a literal for a date-time format, whatever quotes it holds.
std::string QuoteFormatLiteral(std::string_view Text);

}  // namespace probrix
