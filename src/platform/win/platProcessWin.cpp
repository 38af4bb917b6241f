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
  std::vector<wchar_t> Buffer(MAX_PATH);
  for (;;) {
    const DWORD N = ::GetModuleFileNameW(Module, Buffer.data(), static_cast<DWORD>(Buffer.size()));
    if (N == 0) return {};
    if (N < Buffer.size()) return std::wstring(Buffer.data(), N);
    if (Buffer.size() >= 32768) return {};  // the longest path the system has
    Buffer.resize(Buffer.size() * 2);
  }
}

std::wstring FileNameOf(const std::wstring& Path) {
  const auto Slash = Path.find_last_of(L"\\/");
  return Slash == std::wstring::npos ? Path : Path.substr(Slash + 1);
}

HMODULE ModuleOfAddress(const void* Address) {
  HMODULE Module = nullptr;
  if (!::GetModuleHandleExW(
          GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
          static_cast<LPCWSTR>(Address), &Module))
    return nullptr;
  return Module;
}

// Whether a frame lies in the C++ runtime (libstdc++, libgcc) or the C runtime.
bool InRuntimeLibrary(const void* Frame) {
  const HMODULE Module = ModuleOfAddress(Frame);
  if (!Module) return false;
  const std::wstring Name = FileNameOf(ModuleFileName(Module));
  static const wchar_t* const Prefixes[] = {L"libstdc++", L"libgcc",     L"msvcrt",
                                            L"ucrtbase",  L"KERNELBASE", L"kernelbase"};
  for (const wchar_t* Prefix : Prefixes)
    if (::_wcsnicmp(Name.c_str(), Prefix, std::wcslen(Prefix)) == 0) return true;
  return false;
}

}  // namespace

std::string ModuleFilePath() { return Utf8FromWide(ModuleFileName(nullptr)); }

std::uint32_t CurrentThreadId() { return ::GetCurrentThreadId(); }

bool IsFolderWritable(const std::string& Folder) {
  if (Folder.empty()) return false;
  const std::wstring Wide = WideFromUtf8(Folder);
  const DWORD Attributes = ::GetFileAttributesW(Wide.c_str());
  if (Attributes == INVALID_FILE_ATTRIBUTES || !(Attributes & FILE_ATTRIBUTE_DIRECTORY))
    return false;
  // Rights on Windows are lists that only an attempt answers: a new file that goes with its
  // handle. (GetTempFileName will not do: Wine's reports a name it could not create.)
  const std::wstring Probe = Wide + (Wide.back() == L'\\' || Wide.back() == L'/' ? L"" : L"\\") +
                             L"~probrix-" + std::to_wstring(::GetCurrentProcessId()) + L"-";
  for (DWORD Attempt = 0; Attempt < 100; ++Attempt) {
    const TWinHandle File(::CreateFileW(
        (Probe + std::to_wstring(Attempt) + L".tmp").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
        FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr));
    if (File.Valid()) return true;
    if (::GetLastError() != ERROR_FILE_EXISTS) return false;
  }
  return false;
}

bool LocateCodeAddress(std::uintptr_t Address, TCodeLocation& Location) {
  if (Address == 0) return false;
  const HMODULE Module = ModuleOfAddress(reinterpret_cast<const void*>(Address));
  if (!Module) return false;
  const std::wstring Path = ModuleFileName(Module);
  if (Path.empty()) return false;
  Location.ModuleFileName = Utf8FromWide(FileNameOf(Path));
  Location.ModuleBase = reinterpret_cast<std::uintptr_t>(Module);
  return true;
}

std::uintptr_t FindThrowAddress() {
  // The handler's own frames, then the runtime's (terminate, the throw routine), then the
  // function that threw.
  void* Frames[64];
  const int Count = ::CaptureStackBackTrace(0, 64, Frames, nullptr);
  int I = 0;
  while (I < Count && !InRuntimeLibrary(Frames[I])) ++I;
  while (I < Count && InRuntimeLibrary(Frames[I])) ++I;
  if (I >= Count) return 0;
  // A return address points past the call; one byte back lies inside the calling statement.
  return reinterpret_cast<std::uintptr_t>(Frames[I]) - 1;
}

TUserFolders UserFolders() {
  PWSTR Folder = nullptr;
  TUserFolders Folders;
  if (SUCCEEDED(::SHGetKnownFolderPath(FOLDERID_LocalAppData, 0, nullptr, &Folder)) && Folder &&
      *Folder) {
    Folders.State = Utf8OfPath(std::filesystem::path(Folder)) + "/Probrix/";
    Folders.Settings = Folders.State;
  }
  ::CoTaskMemFree(Folder);
  return Folders;
}

std::vector<std::string> CommandLineArguments(int Argc, char** Argv) {
  int Count = 0;
  LPWSTR* Wide = ::CommandLineToArgvW(::GetCommandLineW(), &Count);
  if (!Wide) return std::vector<std::string>(Argv, Argv + Argc);
  std::vector<std::string> Args;
  for (int I = 0; I < Count; ++I) Args.push_back(Utf8FromWide(Wide[I]));
  ::LocalFree(Wide);
  return Args;
}

std::string EnvironmentVariable(const char* Name) {
  const std::wstring WideName = WideFromUtf8(Name ? Name : "");
  if (WideName.empty()) return {};
  const DWORD Size = ::GetEnvironmentVariableW(WideName.c_str(), nullptr, 0);
  if (Size == 0) return {};
  std::wstring Value(Size, L'\0');
  const DWORD N = ::GetEnvironmentVariableW(WideName.c_str(), Value.data(), Size);
  if (N == 0 || N >= Size) return {};
  Value.resize(N);
  return Utf8FromWide(Value);
}

}  // namespace probrix::platform
