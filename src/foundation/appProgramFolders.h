#pragma once

// Where the program lives and where it keeps its files: the program's folder, the folder of the
// logs, the settings file and "Debug.ini", beside the program or, for a copy that cannot write
// beside itself, in the user's own folders. Found once at start-up (InitializeLogging).

#include <functional>
#include <string>

namespace probrix {

// Finds the folders and fixes the values below. Argv0 is the first command-line argument;
// ModuleFile the program file (empty: the running program); IsFolderWritable whether new files
// may be created in a folder (empty: the real check); ChangeCurrentDirectory makes the
// program's folder the current directory. A per-user settings file starts as a copy of one
// beside the program.
void LocateProgramFolders(const std::string& Argv0, const std::string& ModuleFile,
                          const std::function<bool(const std::string&)>& IsFolderWritable,
                          bool ChangeCurrentDirectory);

// Start-up values, fixed by InitializeLogging (empty before it). Folders end with '/'.
const std::string& ModulePath();        // the program file, links resolved
const std::string& ModuleName();        // its file name, "probrix"
const std::string& ModuleFolder();      // its folder
const std::string& ExeFolder();         // the folder of the first argument (the same folder)
const std::string& LogsFolder();        // ExeFolder + "Logs/", or the per-user state folder
const std::string& AppIniFileName();    // the settings file, "probrix.ini" beside the program
                                        // or in the per-user configuration folder
const std::string& DebugIniFileName();  // the "Debug.ini" that was read (or would be)

// The folder part of Path with its trailing '/'; empty for a bare name.
std::string FolderOf(const std::string& Path);

}  // namespace probrix
