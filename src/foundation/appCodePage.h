#pragma once

// Text at the file boundary: in memory all text is UTF-8, every file of the system is
// Windows-1251. One strict UTF-8 decoder serves the codec and the escaping of operator text,
// so that what the escaping lets through as a character is exactly what the codec converts.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace probrix {

// The UTF-8 character at the start of a text. A well-formed one has its code point; anything
// else (a stray continuation byte, an overlong form such as C0 8D, a surrogate, a code point
// above U+10FFFF, a sequence cut short) is ill-formed, and Length is the number of bytes that
// belong to it: the longest start of a sequence that could still have been well-formed, at
// least one byte. An empty text gives Length 0.
struct TUtf8Char {
  std::uint32_t CodePoint = 0;
  std::size_t Length = 0;
  bool WellFormed = false;
};
TUtf8Char DecodeUtf8Char(std::string_view Text) noexcept;

// A character outside the code page becomes '?', and so does each ill-formed part (never the
// character an overlong form spells: C0 8D is not CR).
std::string Utf8ToCp1251(std::string_view Utf8);
// The same into Out (at most OutSize bytes, the rest is cut off); returns the bytes written.
// No allocation: usable inside a signal handler.
std::size_t Utf8ToCp1251(std::string_view Utf8, char* Out, std::size_t OutSize) noexcept;
std::string Cp1251ToUtf8(std::string_view Cp1251);

// Operator or device text made safe for one log line: every control character (C0, DEL, C1),
// the line and paragraph separators U+2028 and U+2029, and every byte of an ill-formed part
// become visible escapes of their bytes ("\x0D", "\xC0\x8D"), so a name can neither break a
// line nor forge another one, in memory or after the conversion to Windows-1251.
std::string SafeLogText(std::string_view Text);
// Whether SafeLogText would change the text.
bool NeedsLogEscapes(std::string_view Text) noexcept;

}  // namespace probrix
