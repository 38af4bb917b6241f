#pragma once

#include <cstdint>

namespace probrix {

// Ticks of the monotonic high-resolution counter (steady_clock, nanoseconds); one query, no
// allocation.
std::int64_t GetTimestamp();

class TStopwatch {
 public:
  // Counter settings, fixed for the process.
  static constexpr bool IsHighResolution = true;
  static constexpr std::int64_t Frequency = 1000000000;

  TStopwatch() = default;

  void Reset();
  void Start();
  void Stop();
  void Restart();
  static TStopwatch StartNew();

  std::int64_t ElapsedTicks() const;
  std::int64_t ElapsedMilliseconds() const;  // rounded to the nearest, ties to even
  bool IsRunning() const { return IsRunning_; }

 private:
  std::int64_t StartTimestamp_ = 0;  // the counter at the last start
  std::int64_t Elapsed_ = 0;         // over all completed running periods
  bool IsRunning_ = false;
};

}  // namespace probrix
