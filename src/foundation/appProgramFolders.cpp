#include "foundation/appProgramFolders.h"

#include <filesystem>
#include <system_error>

#include "platform/platFiles.h"
#include "platform/platProcess.h"

namespace probrix {

namespace {

namespace fs = std::filesystem;

struct TProgramFolders {
  std::string ModulePath, ModuleName, ModuleFolder, ExeFolder, LogsFolder, AppIniFileName,
      DebugIniFileName;
};

// Never destroyed: the error hooks may log while the process is being torn down.
TProgramFolders& Folders() {
  static TProgramFolders* folders = new TProgramFolders();
  return *folders;
}

// The absolute form of Path with links and "." / ".." resolved as far as it exists.
std::string LongPathName(const std::string& Path) {
  if (Path.empty()) return Path;
  std::error_code ec;
  fs::path p = fs::weakly_canonical(fs::absolute(platform::PathOfUtf8(Path), ec), ec);
  return ec ? Path : platform::Utf8OfPath(p);
}

// A name of the program (UTF-8) as a path: a plain std::string would be read in the system's
// narrow code page, which on Windows is not UTF-8.
fs::path PathOf(const std::string& Name) { return platform::PathOfUtf8(Name); }

}  // namespace

std::string FolderOf(const std::string& Path) {
  const std::size_t slash = Path.find_last_of('/');
  return slash == std::string::npos ? std::string() : Path.substr(0, slash + 1);
}

void LocateProgramFolders(const std::string& Argv0, const std::string& ModuleFile,
                          const std::function<bool(const std::string&)>& IsFolderWritable,
                          bool ChangeCurrentDirectory) {
  TProgramFolders& f = Folders();
  const auto writable = IsFolderWritable
                            ? IsFolderWritable
                            : std::function<bool(const std::string&)>(platform::IsFolderWritable);

  // The program file and its folder.
  f.ModulePath = LongPathName(ModuleFile.empty() ? platform::ModuleFilePath() : ModuleFile);
  f.ModuleFolder = FolderOf(f.ModulePath);
  f.ModuleName = f.ModulePath.substr(f.ModuleFolder.size());

  // The folder of the first argument; a bare name was found on PATH, so it says nothing.
  f.ExeFolder.clear();
  if (Argv0.find('/') != std::string::npos) {
    std::error_code ec;
    const std::string argv0 = LongPathName(Argv0);
    if (fs::is_regular_file(PathOf(argv0), ec)) f.ExeFolder = FolderOf(argv0);
  }
  if (f.ExeFolder.empty()) f.ExeFolder = f.ModuleFolder;

  if (ChangeCurrentDirectory && !f.ExeFolder.empty()) {
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
}

const std::string& ModulePath() { return Folders().ModulePath; }
const std::string& ModuleName() { return Folders().ModuleName; }
const std::string& ModuleFolder() { return Folders().ModuleFolder; }
const std::string& ExeFolder() { return Folders().ExeFolder; }
const std::string& LogsFolder() { return Folders().LogsFolder; }
const std::string& AppIniFileName() { return Folders().AppIniFileName; }
const std::string& DebugIniFileName() { return Folders().DebugIniFileName; }

}  // namespace probrix
