// Both halves: raising what a constructor cannot return.

#include <atomic>
#include <system_error>

#include "platform/platError.h"

namespace probrix::platform {

namespace {

std::atomic<TOsErrorRaiser> InstalledRaiser{nullptr};

}  // namespace

void SetOsErrorRaiser(TOsErrorRaiser Raiser) noexcept { InstalledRaiser.store(Raiser); }

void RaiseOsError(const TOsError& Error, const char* Call) {
  if (const TOsErrorRaiser raiser = InstalledRaiser.load()) raiser(Error, Call);
  throw std::system_error(Error.Code, std::system_category(), Call);
}

}  // namespace probrix::platform
