#pragma once

// The Windows-1251 codec used at every file boundary: in memory all text is UTF-8.

#include <cstddef>
#include <string>
#include <string_view>

namespace probrix {

// A character outside the code page (or a malformed UTF-8 sequence) becomes '?'.
std::string Utf8ToCp1251(std::string_view Utf8);
// The same into Out (at most OutSize bytes, the rest is cut off); returns the bytes written.
// No allocation: usable inside a signal handler.
std::size_t Utf8ToCp1251(std::string_view Utf8, char* Out, std::size_t OutSize) noexcept;
std::string Cp1251ToUtf8(std::string_view Cp1251);

}  // namespace probrix
