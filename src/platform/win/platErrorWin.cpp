#include <winsock2.h>

#include "platform/win/platWin.h"

namespace probrix::platform {

std::wstring WideFromUtf8(std::string_view Text) {
  if (Text.empty()) return {};
  const int Size = static_cast<int>(Text.size());
  const int Length = ::MultiByteToWideChar(CP_UTF8, 0, Text.data(), Size, nullptr, 0);
  if (Length <= 0) return {};
  std::wstring Wide(static_cast<std::size_t>(Length), L'\0');
  ::MultiByteToWideChar(CP_UTF8, 0, Text.data(), Size, Wide.data(), Length);
  return Wide;
}

std::string Utf8FromWide(std::wstring_view Text) {
  if (Text.empty()) return {};
  const int Size = static_cast<int>(Text.size());
  const int Length =
      ::WideCharToMultiByte(CP_UTF8, 0, Text.data(), Size, nullptr, 0, nullptr, nullptr);
  if (Length <= 0) return {};
  std::string Bytes(static_cast<std::size_t>(Length), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, Text.data(), Size, Bytes.data(), Length, nullptr, nullptr);
  return Bytes;
}

std::string SystemErrorText(int Code) {
  wchar_t* Buffer = nullptr;
  const DWORD Length = ::FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, static_cast<DWORD>(Code), 0, reinterpret_cast<wchar_t*>(&Buffer), 0, nullptr);
  std::wstring Text = Length > 0 && Buffer ? std::wstring(Buffer, Length) : std::wstring();
  if (Buffer) ::LocalFree(Buffer);
  // The system ends its texts with a line break.
  while (!Text.empty() && (Text.back() == L'\n' || Text.back() == L'\r' || Text.back() == L' '))
    Text.pop_back();
  if (Text.empty()) return "Unknown error " + std::to_string(Code);
  return Utf8FromWide(Text);
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
