#include "platform/platClock.h"
#include "platform/win/platWin.h"

namespace probrix::platform {

TLocalTime LocalTimeNow() {
  SYSTEMTIME T{};
  ::GetLocalTime(&T);
  return {T.wYear, T.wMonth, T.wDay, T.wHour, T.wMinute, T.wSecond, T.wMilliseconds};
}

std::int64_t LocalUtcOffset(std::int64_t UtcSeconds) {
  // Seconds since 1601, the system's file time, and since 1970.
  constexpr std::int64_t EpochDifference = 11644473600LL;
  const std::uint64_t Ticks = static_cast<std::uint64_t>(UtcSeconds + EpochDifference) * 10000000;
  const FILETIME Utc{static_cast<DWORD>(Ticks), static_cast<DWORD>(Ticks >> 32)};
  SYSTEMTIME UtcTime{}, LocalTime{};
  FILETIME Local{};
  if (!::FileTimeToSystemTime(&Utc, &UtcTime) ||
      !::SystemTimeToTzSpecificLocalTime(nullptr, &UtcTime, &LocalTime) ||
      !::SystemTimeToFileTime(&LocalTime, &Local))
    return 0;
  const std::uint64_t LocalTicks =
      (static_cast<std::uint64_t>(Local.dwHighDateTime) << 32) | Local.dwLowDateTime;
  return static_cast<std::int64_t>(LocalTicks / 10000000) - EpochDifference - UtcSeconds;
}

}  // namespace probrix::platform
