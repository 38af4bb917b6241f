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
  const TWinHandle file(::CreateFileW(WideFromUtf8(Path).c_str(), GENERIC_READ | GENERIC_WRITE,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.Valid()) return {TAppendStep::asOpen, OpenError()};

  const DWORD lock = LockWholeFile(file.Get(), LockWaitMs);
  if (lock == ERROR_LOCK_VIOLATION) return {TAppendStep::asOpen, WinError(ERROR_LOCK_VIOLATION)};
  const bool locked = lock == 0;  // else a file system without locks: written unserialised

  TAppendResult result;
  LARGE_INTEGER start{};
  if (!::SetFilePointerEx(file.Get(), LARGE_INTEGER{}, &start, FILE_END)) {
    result = {TAppendStep::asSeek, LastWinError()};
  } else {
    std::size_t done = 0;
    while (done < Bytes.size()) {
      const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(Bytes.size() - done, 1 << 30));
      DWORD written = 0;
      if (!::WriteFile(file.Get(), Bytes.data() + done, chunk, &written, nullptr)) {
        result = {TAppendStep::asWrite, LastWinError()};
        break;
      }
      if (written == 0) {
        result = {TAppendStep::asWrite, WinError(ERROR_WRITE_FAULT)};
        break;
      }
      done += written;
    }
    // A write cut short (a full disk) would leave a torn line that the next write continues:
    // the file goes back to its length before this write, still under the lock.
    if (result.Step != TAppendStep::asNone && done > 0 &&
        ::SetFilePointerEx(file.Get(), start, nullptr, FILE_BEGIN))
      ::SetEndOfFile(file.Get());
  }
  if (locked) UnlockWholeFile(file.Get());
  return result;
}

DWORD LockWholeFile(HANDLE File, int WaitMs) noexcept {
  for (int waited = 0;; ++waited) {
    // The whole file, and anything beyond its end, is the range.
    OVERLAPPED range{};
    if (::LockFileEx(File, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, MAXDWORD,
                     MAXDWORD, &range))
      return 0;
    const DWORD error = ::GetLastError();
    if (error != ERROR_LOCK_VIOLATION || waited >= WaitMs) return error;
    ::Sleep(1);
  }
}

void UnlockWholeFile(HANDLE File) noexcept {
  OVERLAPPED range{};
  ::UnlockFileEx(File, 0, MAXDWORD, MAXDWORD, &range);
}

TOsError CheckFileReadable(const std::string& Path) {
  const TWinHandle file(::CreateFileW(WideFromUtf8(Path).c_str(), GENERIC_READ,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  return file.Valid() ? TOsError{} : OpenError();
}

TOsError SetCurrentFolder(const std::string& Folder) {
  return ::SetCurrentDirectoryW(WideFromUtf8(Folder).c_str()) ? TOsError{} : OpenError();
}

void WriteStandardError(std::string_view Text) noexcept {
  const HANDLE out = ::GetStdHandle(STD_ERROR_HANDLE);
  if (out == nullptr || out == INVALID_HANDLE_VALUE) return;
  std::size_t done = 0;
  while (done < Text.size()) {
    DWORD written = 0;
    if (!::WriteFile(out, Text.data() + done, static_cast<DWORD>(Text.size() - done), &written,
                     nullptr) ||
        written == 0)
      break;
    done += written;
  }
}

void WriteDebuggerOutput(std::string_view Text) noexcept {
  // In pieces through a buffer on the stack: no allocation, as a crash handler may call it.
  wchar_t wide[512];
  while (!Text.empty()) {
    std::size_t take = std::min<std::size_t>(Text.size(), 255);
    // A piece ends before a UTF-8 continuation byte, so no character is cut in two.
    while (take < Text.size() && take > 1 &&
           (static_cast<unsigned char>(Text[take]) & 0xC0) == 0x80)
      --take;
    const int n = ::MultiByteToWideChar(CP_UTF8, 0, Text.data(), static_cast<int>(take), wide,
                                        static_cast<int>(std::size(wide)) - 1);
    if (n <= 0) return;
    wide[n] = L'\0';
    ::OutputDebugStringW(wide);
    Text.remove_prefix(take);
  }
}

}  // namespace probrix::platform
