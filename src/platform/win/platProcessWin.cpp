#include <cwchar>
#include <vector>

#include "platform/platProcess.h"
#include "platform/win/platWin.h"
// After windows.h.
#include <knownfolders.h>
#include <shellapi.h>
#include <shlobj.h>

#include "platform/platFiles.h"

namespace probrix::platform {

namespace {

// The full path of a module's file; empty when it cannot be read.
std::wstring ModuleFileName(HMODULE Module) {
  std::vector<wchar_t> buffer(MAX_PATH);
  for (;;) {
    const DWORD n = ::GetModuleFileNameW(Module, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (n == 0) return {};
    if (n < buffer.size()) return std::wstring(buffer.data(), n);
    if (buffer.size() >= 32768) return {};  // the longest path the system has
    buffer.resize(buffer.size() * 2);
  }
}

std::wstring FileNameOf(const std::wstring& Path) {
  const auto slash = Path.find_last_of(L"\\/");
  return slash == std::wstring::npos ? Path : Path.substr(slash + 1);
}

HMODULE ModuleOfAddress(const void* Address) {
  HMODULE module = nullptr;
  if (!::GetModuleHandleExW(
          GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
          static_cast<LPCWSTR>(Address), &module))
    return nullptr;
  return module;
}

// Whether a frame lies in the C++ runtime (libstdc++, libgcc) or the C runtime.
bool InRuntimeLibrary(const void* Frame) {
  const HMODULE module = ModuleOfAddress(Frame);
  if (!module) return false;
  const std::wstring name = FileNameOf(ModuleFileName(module));
  static const wchar_t* const Prefixes[] = {L"libstdc++", L"libgcc",     L"msvcrt",
                                            L"ucrtbase",  L"KERNELBASE", L"kernelbase"};
  for (const wchar_t* prefix : Prefixes)
    if (::_wcsnicmp(name.c_str(), prefix, std::wcslen(prefix)) == 0) return true;
  return false;
}

}  // namespace

std::string ModuleFilePath() { return Utf8FromWide(ModuleFileName(nullptr)); }

std::uint32_t CurrentThreadId() { return ::GetCurrentThreadId(); }

bool IsFolderWritable(const std::string& Folder) {
  if (Folder.empty()) return false;
  const std::wstring wide = WideFromUtf8(Folder);
  const DWORD attributes = ::GetFileAttributesW(wide.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY))
    return false;
  // Rights on Windows are lists that only an attempt answers: a new file that goes with its
  // handle. (GetTempFileName will not do: Wine's reports a name it could not create.)
  const std::wstring probe = wide + (wide.back() == L'\\' || wide.back() == L'/' ? L"" : L"\\") +
                             L"~probrix-" + std::to_wstring(::GetCurrentProcessId()) + L"-";
  for (DWORD attempt = 0; attempt < 100; ++attempt) {
    const TWinHandle file(::CreateFileW(
        (probe + std::to_wstring(attempt) + L".tmp").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
        FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr));
    if (file.Valid()) return true;
    if (::GetLastError() != ERROR_FILE_EXISTS) return false;
  }
  return false;
}

bool LocateCodeAddress(std::uintptr_t Address, TCodeLocation& Location) {
  if (Address == 0) return false;
  const HMODULE module = ModuleOfAddress(reinterpret_cast<const void*>(Address));
  if (!module) return false;
  const std::wstring path = ModuleFileName(module);
  if (path.empty()) return false;
  Location.ModuleFileName = Utf8FromWide(FileNameOf(path));
  Location.ModuleBase = reinterpret_cast<std::uintptr_t>(module);
  return true;
}

std::uintptr_t FindThrowAddress() {
  // The handler's own frames, then the runtime's (terminate, the throw routine), then the
  // function that threw.
  void* frames[64];
  const int count = ::CaptureStackBackTrace(0, 64, frames, nullptr);
  int i = 0;
  while (i < count && !InRuntimeLibrary(frames[i])) ++i;
  while (i < count && InRuntimeLibrary(frames[i])) ++i;
  if (i >= count) return 0;
  // A return address points past the call; one byte back lies inside the calling statement.
  return reinterpret_cast<std::uintptr_t>(frames[i]) - 1;
}

TUserFolders UserFolders() {
  PWSTR folder = nullptr;
  TUserFolders folders;
  if (SUCCEEDED(::SHGetKnownFolderPath(FOLDERID_LocalAppData, 0, nullptr, &folder)) && folder &&
      *folder) {
    folders.State = Utf8OfPath(std::filesystem::path(folder)) + "/Probrix/";
    folders.Settings = folders.State;
  }
  ::CoTaskMemFree(folder);
  return folders;
}

std::vector<std::string> CommandLineArguments(int Argc, char** Argv) {
  int count = 0;
  LPWSTR* wide = ::CommandLineToArgvW(::GetCommandLineW(), &count);
  if (!wide) return std::vector<std::string>(Argv, Argv + Argc);
  std::vector<std::string> args;
  for (int i = 0; i < count; ++i) args.push_back(Utf8FromWide(wide[i]));
  ::LocalFree(wide);
  return args;
}

std::string EnvironmentVariable(const char* Name) {
  const std::wstring wideName = WideFromUtf8(Name ? Name : "");
  if (wideName.empty()) return {};
  const DWORD size = ::GetEnvironmentVariableW(wideName.c_str(), nullptr, 0);
  if (size == 0) return {};
  std::wstring value(size, L'\0');
  const DWORD n = ::GetEnvironmentVariableW(wideName.c_str(), value.data(), size);
  if (n == 0 || n >= size) return {};
  value.resize(n);
  return Utf8FromWide(value);
}

}  // namespace probrix::platform
