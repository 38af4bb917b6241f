#include "connections/ioLineFormat.h"

namespace probrix {

using platform::TParity;
using platform::TStopBits;

std::string LineFormatName(const TLineFormat& Format) {
  static constexpr char ParityLetters[] = {'N', 'O', 'E', 'M', 'S'};
  const auto parity = static_cast<std::size_t>(Format.Parity);
  std::string name = std::to_string(Format.DataBits);
  name.push_back(parity < sizeof ParityLetters ? ParityLetters[parity] : '?');
  switch (Format.StopBits) {
    case TStopBits::sbOne:
      name += "1";
      break;
    case TStopBits::sbOneAndHalf:
      name += "1.5";
      break;
    case TStopBits::sbTwo:
      name += "2";
      break;
    default:
      name += "?";
      break;
  }
  return name;
}

std::optional<TLineFormat> ParseLineFormat(std::string_view Text) {
  for (const TLineFormat& format : SearchLineFormats) {
    const std::string name = LineFormatName(format);
    if (Text.size() != name.size()) continue;
    bool same = true;
    for (std::size_t i = 0; i < name.size() && same; ++i) {
      const char c =
          Text[i] >= 'a' && Text[i] <= 'z' ? static_cast<char>(Text[i] - 'a' + 'A') : Text[i];
      same = c == name[i];
    }
    if (same) return format;
  }
  return std::nullopt;
}

int BitsPerCharacter(const TLineFormat& Format) {
  return 1 + Format.DataBits + (Format.Parity == TParity::paNone ? 0 : 1) +
         (Format.StopBits == TStopBits::sbOne ? 1 : 2);
}

bool IsDefaultLineFormatsOnly(const std::vector<TLineFormat>& Formats) {
  return Formats.empty() || (Formats.size() == 1 && Formats.front() == DefaultLineFormat);
}

}  // namespace probrix
