#pragma once

#include "foundation/appDateTime.h"
#include "foundation/utilityStopwatch.h"

namespace probrix {

// Reads the wall clock once and then advances by a running stopwatch, so consecutive stamps
// are fine-grained and never jump when the system clock is adjusted.
class TSystemTime {
 public:
  TSystemTime();
  TDateTime Now() const;
  // The wall clock when the object was made.
  TDateTime StartDateTime() const { return StartDateTime_; }

 private:
  TDateTime StartDateTime_;
  TStopwatch Stopwatch_;
};

// The process-wide clock that stamps log lines, created on first use.
TSystemTime& SystemTime();

}  // namespace probrix
