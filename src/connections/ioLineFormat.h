#pragma once

// The format of the characters on a serial line: data bits, parity and stop bits, named the
// way field engineers write it ("8N1", "8E1", "8O2"). A search tries each format of its plan
// beside each baud rate; the default, 8N1, is what every port was opened with before.

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platSerialDevice.h"

namespace probrix {

struct TLineFormat {
  std::uint8_t DataBits = 8;
  platform::TParity Parity = platform::TParity::paNone;
  platform::TStopBits StopBits = platform::TStopBits::sbOne;

  friend bool operator==(const TLineFormat&, const TLineFormat&) = default;
};

inline constexpr TLineFormat DefaultLineFormat{};  // 8N1

// The formats a search may try: 8 data bits, no, even or odd parity, one or two stop bits.
inline constexpr std::array<TLineFormat, 6> SearchLineFormats = {{
    {8, platform::TParity::paNone, platform::TStopBits::sbOne},
    {8, platform::TParity::paEven, platform::TStopBits::sbOne},
    {8, platform::TParity::paOdd, platform::TStopBits::sbOne},
    {8, platform::TParity::paNone, platform::TStopBits::sbTwo},
    {8, platform::TParity::paEven, platform::TStopBits::sbTwo},
    {8, platform::TParity::paOdd, platform::TStopBits::sbTwo},
}};

// "8N1", "8E1", "8O2"; any other setting a driver may report is named the same way ("7M1",
// "8S1.5"), so a read-back can be shown whatever it holds.
std::string LineFormatName(const TLineFormat& Format);

// One of SearchLineFormats by its name, letters of either case ("8e1"); none for anything else.
std::optional<TLineFormat> ParseLineFormat(std::string_view Text);

// Bits one character takes on the wire: a start bit, the data bits, the parity bit if any and
// the stop bits (one and a half counted as two).
int BitsPerCharacter(const TLineFormat& Format);

// Whether a plan of these formats is the default search alone (no format, or 8N1 only): the
// connection is then named as it always was, without its format.
bool IsDefaultLineFormatsOnly(const std::vector<TLineFormat>& Formats);

}  // namespace probrix
