#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>

namespace probrix {

// Packets and message bodies: raw 8-bit bytes, never converted.
using TBytes = std::basic_string<std::uint8_t>;

inline TBytes BytesOf(std::initializer_list<std::uint8_t> Values) { return TBytes(Values); }

}  // namespace probrix
