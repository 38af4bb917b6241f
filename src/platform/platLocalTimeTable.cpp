// The crash hook's table of the local time zone's offsets, the same on every system: only its
// clock readings (TLocalTimeTable::Now, LocalUtcOffset) belong to a system's half.

#include <climits>
#include <ctime>

#include "platform/platClock.h"
#include "platform/platCrashSignals.h"

namespace probrix::platform {

void TLocalTimeTable::Prepare() {
  constexpr std::int64_t SecondsPerDay = 24 * 60 * 60;
  constexpr int DaysAhead = 400;
  const std::int64_t now = static_cast<std::int64_t>(std::time(nullptr));
  Count_ = 1;
  From_[0] = LLONG_MIN;
  Offset_[0] = LocalUtcOffset(now);
  // Day by day; where the offset changes, the second it changes at is found by halving.
  std::int64_t before = now;
  for (int day = 1; day <= DaysAhead && Count_ <= MaxChanges; ++day) {
    const std::int64_t after = now + day * SecondsPerDay;
    if (LocalUtcOffset(after) != Offset_[Count_ - 1]) {
      std::int64_t low = before, high = after;
      while (high - low > 1) {
        const std::int64_t middle = low + (high - low) / 2;
        if (LocalUtcOffset(middle) == Offset_[Count_ - 1]) {
          low = middle;
        } else {
          high = middle;
        }
      }
      From_[Count_] = high;
      Offset_[Count_] = LocalUtcOffset(high);
      ++Count_;
    }
    before = after;
  }
}

std::int64_t TLocalTimeTable::UtcOffset(std::int64_t UtcSeconds) const noexcept {
  std::int64_t offset = Offset_[0];
  for (int i = 1; i < Count_; ++i)
    if (UtcSeconds >= From_[i]) offset = Offset_[i];
  return offset;
}

}  // namespace probrix::platform
