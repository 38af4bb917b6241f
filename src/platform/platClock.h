#pragma once

// The local wall clock (the monotonic clock is the standard library's steady_clock).

#include <cstdint>

namespace probrix::platform {

// A moment of the local wall clock, split into its calendar fields.
struct TLocalTime {
  int Year = 0;
  int Month = 0;  // 1 to 12
  int Day = 0;    // 1 to 31
  int Hour = 0;
  int Minute = 0;
  int Second = 0;
  int Millisecond = 0;
};

// The local wall clock now, in the time zone of the process.
TLocalTime LocalTimeNow();

// Seconds east of UTC of the process's time zone at the moment UtcSeconds after 1970.
std::int64_t LocalUtcOffset(std::int64_t UtcSeconds);

}  // namespace probrix::platform
