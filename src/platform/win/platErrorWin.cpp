#include <winsock2.h>

#include "platform/win/platWin.h"

namespace probrix::platform {

std::wstring WideFromUtf8(std::string_view Text) {
  if (Text.empty()) return {};
  const int size = static_cast<int>(Text.size());
  const int length = ::MultiByteToWideChar(CP_UTF8, 0, Text.data(), size, nullptr, 0);
  if (length <= 0) return {};
  std::wstring wide(static_cast<std::size_t>(length), L'\0');
  ::MultiByteToWideChar(CP_UTF8, 0, Text.data(), size, wide.data(), length);
  return wide;
}

std::string Utf8FromWide(std::wstring_view Text) {
  if (Text.empty()) return {};
  const int size = static_cast<int>(Text.size());
  const int length =
      ::WideCharToMultiByte(CP_UTF8, 0, Text.data(), size, nullptr, 0, nullptr, nullptr);
  if (length <= 0) return {};
  std::string bytes(static_cast<std::size_t>(length), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, Text.data(), size, bytes.data(), length, nullptr, nullptr);
  return bytes;
}

std::string SystemErrorText(int Code) {
  wchar_t* buffer = nullptr;
  const DWORD length = ::FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, static_cast<DWORD>(Code), 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  std::wstring text = length > 0 && buffer ? std::wstring(buffer, length) : std::wstring();
  if (buffer) ::LocalFree(buffer);
  // The system ends its texts with a line break.
  while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r' || text.back() == L' '))
    text.pop_back();
  if (text.empty()) return "Unknown error " + std::to_string(Code);
  return Utf8FromWide(text);
}

namespace {

TErrorKind KindOf(DWORD Code, TWinErrorContext Context) {
  switch (Code) {
    case ERROR_SUCCESS:
      return TErrorKind::ekNone;
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_BAD_NETPATH:
    case ERROR_INVALID_NAME:
      return TErrorKind::ekNotFound;
    case ERROR_DEV_NOT_EXIST:
    case ERROR_NO_SUCH_DEVICE:
    case ERROR_DEVICE_REMOVED:
      return Context == TWinErrorContext::ecOpen ? TErrorKind::ekNotFound : TErrorKind::ekGone;
    case ERROR_ACCESS_DENIED:
    case WSAEACCES:
      return TErrorKind::ekAccessDenied;
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_BUSY:
      return TErrorKind::ekBusy;
    case WAIT_TIMEOUT:
    case ERROR_TIMEOUT:
    case ERROR_COUNTER_TIMEOUT:
    case ERROR_SEM_TIMEOUT:
    case WSAETIMEDOUT:
      return TErrorKind::ekTimedOut;
    case ERROR_INVALID_HANDLE:
    case ERROR_BAD_COMMAND:
    case ERROR_DEVICE_NOT_CONNECTED:
    case ERROR_GEN_FAILURE:
    case ERROR_BROKEN_PIPE:
    case WSAECONNRESET:
    case WSAECONNABORTED:
    case WSAENOTCONN:
    case WSAESHUTDOWN:
      return TErrorKind::ekGone;
    case ERROR_OPERATION_ABORTED:
    case ERROR_CANCELLED:
      return TErrorKind::ekCancelled;
    default:
      return TErrorKind::ekOther;
  }
}

}  // namespace

TOsError WinError(DWORD Code, TWinErrorContext Context) {
  if (Code == ERROR_SUCCESS) return {};
  return {KindOf(Code, Context), static_cast<int>(Code), SystemErrorText(static_cast<int>(Code))};
}

TOsError LastWinError(TWinErrorContext Context) { return WinError(::GetLastError(), Context); }

}  // namespace probrix::platform
