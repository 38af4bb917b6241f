#include "foundation/utilityStopwatch.h"

#include <chrono>
#include <cmath>
#include <ratio>

namespace probrix {

using TCounter = std::chrono::steady_clock;
static_assert(TStopwatch::Frequency == TCounter::period::den && TCounter::period::num == 1);

std::int64_t GetTimestamp() {
  return static_cast<std::int64_t>(TCounter::now().time_since_epoch().count());
}

void TStopwatch::Reset() {
  Elapsed_ = 0;
  StartTimestamp_ = 0;
  IsRunning_ = false;
}

void TStopwatch::Start() {
  if (IsRunning_) return;
  StartTimestamp_ = GetTimestamp();
  IsRunning_ = true;
}

void TStopwatch::Stop() {
  if (!IsRunning_) return;
  Elapsed_ += GetTimestamp() - StartTimestamp_;
  IsRunning_ = false;
  if (Elapsed_ < 0) Elapsed_ = 0;
}

void TStopwatch::Restart() {
  Reset();
  Start();
}

TStopwatch TStopwatch::StartNew() {
  TStopwatch sw;
  sw.Start();
  return sw;
}

std::int64_t TStopwatch::ElapsedTicks() const {
  return IsRunning_ ? Elapsed_ + (GetTimestamp() - StartTimestamp_) : Elapsed_;
}

std::int64_t TStopwatch::ElapsedMilliseconds() const {
  const double ms = static_cast<double>(ElapsedTicks()) / static_cast<double>(Frequency) * 1000.0;
  return static_cast<std::int64_t>(std::nearbyint(ms));
}

}  // namespace probrix
