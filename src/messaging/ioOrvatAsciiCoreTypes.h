#pragma once

// OrvatASCII lines: a device in continuous-transmission mode sends 13-character lines ended by
// CR LF; the first character carries the device address in its low seven bits.

#include <cstdint>

#include "foundation/appTypes.h"

namespace probrix {

class OrvatAsciiUtils {
 public:
  OrvatAsciiUtils() = delete;

  static constexpr int BodyLength = 13;

  // The last line of Text without its line end (CR LF, a lone CR or a lone LF end a line; a zero
  // byte ends the text), or empty when there is no line.
  static TBytes LastLine(const TBytes& Text);
  // Throws ECorruptMessageFrame unless Body is exactly BodyLength characters long.
  static void CheckBody(const TBytes& Body);
  static std::uint8_t DecodeAddress(std::uint8_t Character);
};

}  // namespace probrix
