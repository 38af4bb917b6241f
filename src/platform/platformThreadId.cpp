#include "platform/platformThreadId.h"

#include <unistd.h>

namespace probrix::platform {

std::uint32_t CurrentOsThreadId() { return static_cast<std::uint32_t>(::gettid()); }

}  // namespace probrix::platform
