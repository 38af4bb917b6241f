#include "platform/platClock.h"

#include <time.h>

namespace probrix::platform {

TLocalTime LocalTimeNow() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  tm local{};
  localtime_r(&ts.tv_sec, &local);
  return {local.tm_year + 1900,
          local.tm_mon + 1,
          local.tm_mday,
          local.tm_hour,
          local.tm_min,
          local.tm_sec,
          static_cast<int>(ts.tv_nsec / 1000000)};
}

std::int64_t LocalUtcOffset(std::int64_t UtcSeconds) {
  const time_t seconds = static_cast<time_t>(UtcSeconds);
  tm local{};
  return ::localtime_r(&seconds, &local) ? local.tm_gmtoff : 0;
}

}  // namespace probrix::platform
