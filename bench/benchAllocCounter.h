#pragma once

// Counts calls of the global operator new, so a benchmark can show how many allocations one
// call makes (and that the count does not grow with the input's length).

#include <cstdint>

namespace probrix::bench {

std::uint64_t AllocationCount();

}  // namespace probrix::bench
