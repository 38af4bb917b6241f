#include "foundation/utilityStopwatch.h"

#include <time.h>

#include <cmath>

namespace probrix {

std::int64_t GetTimestamp() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::int64_t>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

void TStopwatch::Reset() {
  Elapsed = 0;
  StartTimestamp = 0;
  IsRunning_ = false;
}

void TStopwatch::Start() {
  if (IsRunning_) return;
  StartTimestamp = GetTimestamp();
  IsRunning_ = true;
}

void TStopwatch::Stop() {
  if (!IsRunning_) return;
  Elapsed += GetTimestamp() - StartTimestamp;
  IsRunning_ = false;
  if (Elapsed < 0) Elapsed = 0;
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
  return IsRunning_ ? Elapsed + (GetTimestamp() - StartTimestamp) : Elapsed;
}

std::int64_t TStopwatch::ElapsedMilliseconds() const {
  const double ms = static_cast<double>(ElapsedTicks()) / static_cast<double>(Frequency) * 1000.0;
  return static_cast<std::int64_t>(std::nearbyint(ms));
}

}  // namespace probrix
