#include "platform/platClock.h"
#include "platform/win/platWin.h"

namespace probrix::platform {

TLocalTime LocalTimeNow() {
  SYSTEMTIME t{};
  ::GetLocalTime(&t);
  return {t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond, t.wMilliseconds};
}

std::int64_t LocalUtcOffset(std::int64_t UtcSeconds) {
  // Seconds since 1601, the system's file time, and since 1970.
  constexpr std::int64_t EpochDifference = 11644473600LL;
  const std::uint64_t ticks = static_cast<std::uint64_t>(UtcSeconds + EpochDifference) * 10000000;
  const FILETIME utc{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
  SYSTEMTIME utcTime{}, localTime{};
  FILETIME local{};
  if (!::FileTimeToSystemTime(&utc, &utcTime) ||
      !::SystemTimeToTzSpecificLocalTime(nullptr, &utcTime, &localTime) ||
      !::SystemTimeToFileTime(&localTime, &local))
    return 0;
  const std::uint64_t localTicks =
      (static_cast<std::uint64_t>(local.dwHighDateTime) << 32) | local.dwLowDateTime;
  return static_cast<std::int64_t>(localTicks / 10000000) - EpochDifference - UtcSeconds;
}

}  // namespace probrix::platform
