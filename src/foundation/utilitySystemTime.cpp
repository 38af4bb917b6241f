#include "foundation/utilitySystemTime.h"

#include <mutex>

namespace probrix {

TSystemTime::TSystemTime() : StartDateTime(NowDateTime()) { Stopwatch.Restart(); }

TDateTime TSystemTime::Now() const {
  return TDateTime(StartDateTime.Value +
                   static_cast<double>(Stopwatch.ElapsedMilliseconds()) / MSecsPerDay);
}

TSystemTime& SystemTime() {
  // Created once, on first use, from whichever thread asks first; lives until process end.
  static TSystemTime* instance = new TSystemTime();
  return *instance;
}

}  // namespace probrix
