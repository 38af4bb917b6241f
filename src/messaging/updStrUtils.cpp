#include "messaging/updStrUtils.h"

namespace probrix {

std::string HexDump(const std::uint8_t* Data, int Count, int SeparatorWidth) {
  if (Count <= 0 || Data == nullptr) return {};
  if (SeparatorWidth < 0) SeparatorWidth = 0;
  static constexpr char HexDigits[] = "0123456789ABCDEF";
  const std::size_t cell = static_cast<std::size_t>(SeparatorWidth) + 2;
  std::string result(static_cast<std::size_t>(Count) * cell, ' ');
  for (int i = 0; i < Count; ++i) {
    const std::size_t at = static_cast<std::size_t>(i) * cell;
    result[at] = HexDigits[Data[i] >> 4];
    result[at + 1] = HexDigits[Data[i] & 0x0F];
  }
  return result;
}

std::string HexDumpText(const TBytes& Bytes, int SeparatorWidth) {
  return HexDump(Bytes.data(), static_cast<int>(Bytes.size()), SeparatorWidth);
}

}  // namespace probrix
