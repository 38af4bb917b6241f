#include <algorithm>
#include <iterator>

#include "platform/platFiles.h"
#include "platform/win/platWin.h"

namespace probrix::platform {

namespace {

TOsError OpenError() { return LastWinError(TWinErrorContext::ecOpen); }

}  // namespace

TAppendResult AppendToFile(const std::string& Path, std::string_view Bytes, int LockWaitMs) {
  if (Path.empty()) return {TAppendStep::asOpen, WinError(ERROR_FILE_NOT_FOUND)};
  // Other writers and readers share the file; the lock below serialises the writers.
  const TWinHandle File(::CreateFileW(WideFromUtf8(Path).c_str(), GENERIC_READ | GENERIC_WRITE,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!File.Valid()) return {TAppendStep::asOpen, OpenError()};

  const DWORD Lock = LockWholeFile(File.Get(), LockWaitMs);
  if (Lock == ERROR_LOCK_VIOLATION) return {TAppendStep::asOpen, WinError(ERROR_LOCK_VIOLATION)};
  const bool Locked = Lock == 0;  // else a file system without locks: written unserialised

  TAppendResult Result;
  LARGE_INTEGER Start{};
  if (!::SetFilePointerEx(File.Get(), LARGE_INTEGER{}, &Start, FILE_END)) {
    Result = {TAppendStep::asSeek, LastWinError()};
  } else {
    std::size_t Done = 0;
    while (Done < Bytes.size()) {
      const DWORD Chunk = static_cast<DWORD>(std::min<std::size_t>(Bytes.size() - Done, 1 << 30));
      DWORD Written = 0;
      if (!::WriteFile(File.Get(), Bytes.data() + Done, Chunk, &Written, nullptr)) {
        Result = {TAppendStep::asWrite, LastWinError()};
        break;
      }
      if (Written == 0) {
        Result = {TAppendStep::asWrite, WinError(ERROR_WRITE_FAULT)};
        break;
      }
      Done += Written;
    }
    // A write cut short (a full disk) would leave a torn line that the next write continues:
    // the file goes back to its length before this write, still under the lock.
    if (Result.Step != TAppendStep::asNone && Done > 0 &&
        ::SetFilePointerEx(File.Get(), Start, nullptr, FILE_BEGIN))
      ::SetEndOfFile(File.Get());
  }
  if (Locked) UnlockWholeFile(File.Get());
  return Result;
}

DWORD LockWholeFile(HANDLE File, int WaitMs) noexcept {
  for (int Waited = 0;; ++Waited) {
    // The whole file, and anything beyond its end, is the range.
    OVERLAPPED Range{};
    if (::LockFileEx(File, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, MAXDWORD,
                     MAXDWORD, &Range))
      return 0;
    const DWORD Error = ::GetLastError();
    if (Error != ERROR_LOCK_VIOLATION || Waited >= WaitMs) return Error;
    ::Sleep(1);
  }
}

void UnlockWholeFile(HANDLE File) noexcept {
  OVERLAPPED Range{};
  ::UnlockFileEx(File, 0, MAXDWORD, MAXDWORD, &Range);
}

TOsError CheckFileReadable(const std::string& Path) {
  const TWinHandle File(::CreateFileW(WideFromUtf8(Path).c_str(), GENERIC_READ,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  return File.Valid() ? TOsError{} : OpenError();
}

TOsError SetCurrentFolder(const std::string& Folder) {
  return ::SetCurrentDirectoryW(WideFromUtf8(Folder).c_str()) ? TOsError{} : OpenError();
}

void WriteStandardError(std::string_view Text) noexcept {
  const HANDLE Out = ::GetStdHandle(STD_ERROR_HANDLE);
  if (Out == nullptr || Out == INVALID_HANDLE_VALUE) return;
  std::size_t Done = 0;
  while (Done < Text.size()) {
    DWORD Written = 0;
    if (!::WriteFile(Out, Text.data() + Done, static_cast<DWORD>(Text.size() - Done), &Written,
                     nullptr) ||
        Written == 0)
      break;
    Done += Written;
  }
}

void WriteDebuggerOutput(std::string_view Text) noexcept {
  // In pieces through a buffer on the stack: no allocation, as a crash handler may call it.
  wchar_t Wide[512];
  while (!Text.empty()) {
    std::size_t Take = std::min<std::size_t>(Text.size(), 255);
    // A piece ends before a UTF-8 continuation byte, so no character is cut in two.
    while (Take < Text.size() && Take > 1 &&
           (static_cast<unsigned char>(Text[Take]) & 0xC0) == 0x80)
      --Take;
    const int N = ::MultiByteToWideChar(CP_UTF8, 0, Text.data(), static_cast<int>(Take), Wide,
                                        static_cast<int>(std::size(Wide)) - 1);
    if (N <= 0) return;
    Wide[N] = L'\0';
    ::OutputDebugStringW(Wide);
    Text.remove_prefix(Take);
  }
}

}  // namespace probrix::platform
