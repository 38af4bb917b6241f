#pragma once

#include <cstdint>

namespace probrix::platform {

// The operating system's identifier of the calling thread (gettid on Linux).
std::uint32_t CurrentOsThreadId();

}  // namespace probrix::platform
