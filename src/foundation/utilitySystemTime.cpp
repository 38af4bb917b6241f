#include "foundation/utilitySystemTime.h"

#include <mutex>

namespace probrix {

TSystemTime::TSystemTime() : StartDateTime_(NowDateTime()) { Stopwatch_.Restart(); }

TDateTime TSystemTime::Now() const {
  return TDateTime(StartDateTime_.Value +
                   static_cast<double>(Stopwatch_.ElapsedMilliseconds()) / MSecsPerDay);
}

TSystemTime& SystemTime() {
  // Created once, on first use, from whichever thread asks first; lives until process end.
  static TSystemTime* instance = new TSystemTime();
  return *instance;
}

}  // namespace probrix
