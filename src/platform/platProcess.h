#pragma once

// Process facts the logging facility needs: where the program file is, which thread is
// running, and whether a folder accepts new files.

#include <cstdint>
#include <string>

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

}  // namespace probrix::platform
