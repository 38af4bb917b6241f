#include "platform/platClock.h"
#include "platform/win/platWin.h"

namespace probrix::platform {

TLocalTime LocalTimeNow() {
  SYSTEMTIME T{};
  ::GetLocalTime(&T);
  return {T.wYear, T.wMonth, T.wDay, T.wHour, T.wMinute, T.wSecond, T.wMilliseconds};
}

}  // namespace probrix::platform
