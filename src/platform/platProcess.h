#pragma once

// Process facts the logging facility needs: where the program file is, which thread is
// running, and whether a folder accepts new files.

#include <cstdint>
#include <string>
#include <vector>

namespace probrix::platform {

// Full path of the running program file; empty when it cannot be determined.
std::string ModuleFilePath();

// The kernel's identifier of the calling thread (what tools like top and gdb show).
std::uint32_t CurrentThreadId();

// Whether the calling process may create files in Folder (an existing folder).
bool IsFolderWritable(const std::string& Folder);

// The module (program or shared library) holding a code address: its file name without
// folder and its load address. False when the address lies in no module.
struct TCodeLocation {
  std::string ModuleFileName;
  std::uintptr_t ModuleBase = 0;
};
bool LocateCodeAddress(std::uintptr_t Address, TCodeLocation& Location);

// Inside a terminate handler: the address in the function that threw the exception being
// reported (the frame below the runtime's throw routine), 0 when the stack does not show it.
std::uintptr_t FindThrowAddress();

// A variable of the environment; empty when unset.
std::string EnvironmentVariable(const char* Name);

// The per-user folders of the program for settings and for logs, taken when its own folder
// cannot be written (an installed copy); each ends with '/', empty when the system names none.
// Linux: $XDG_CONFIG_HOME/probrix/ and $XDG_STATE_HOME/probrix/ (by default under ~/.config
// and ~/.local/state). Windows: %LOCALAPPDATA%\Probrix\ for both, from the known-folder API
// (Windows sets no XDG variables, and HOME only where a Unix shell runs).
struct TUserFolders {
  std::string Settings;
  std::string State;
};
TUserFolders UserFolders();

// The program's arguments in UTF-8, the program's own name first: Argv on Linux; on Windows the
// UTF-16 command line (GetCommandLineW, CommandLineToArgvW), since Argv holds what the ANSI code
// page makes of it ("????" for letters outside that page).
std::vector<std::string> CommandLineArguments(int Argc, char** Argv);

}  // namespace probrix::platform
