#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "foundation/appTypes.h"

namespace probrix {

// Each byte becomes two upper-case hexadecimal digits followed by SeparatorWidth blanks.
std::string HexDump(const std::uint8_t* Data, int Count, int SeparatorWidth = 1);
std::string HexDumpText(const TBytes& Bytes, int SeparatorWidth = 1);

}  // namespace probrix
