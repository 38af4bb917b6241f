#include "messaging/ioOrvatAsciiCoreTypes.h"

#include "foundation/ioExceptions.h"

namespace probrix {

TBytes OrvatAsciiUtils::LastLine(const TBytes& Text) {
  std::size_t end = Text.find(std::uint8_t{0});
  if (end == TBytes::npos) end = Text.size();
  TBytes last;
  std::size_t i = 0;
  while (i < end) {
    const std::size_t start = i;
    while (i < end && Text[i] != 0x0D && Text[i] != 0x0A) ++i;
    last.assign(Text, start, i - start);
    if (i < end) {
      // CR LF, a lone CR or a lone LF.
      if (Text[i++] == 0x0D && i < end && Text[i] == 0x0A) ++i;
    }
  }
  return last;
}

void OrvatAsciiUtils::CheckBody(const TBytes& Body) {
  if (Body.size() != static_cast<std::size_t>(BodyLength)) {
    throw ECorruptMessageFrame::CreateFmt(
        "Тело сообщения ORVATBUS ASCII не содержит достаточного количества байт. Кол-во байт в "
        "теле сообщения: %d (ожидаемая длина тела сообщения: %d байт)",
        {Body.size(), BodyLength});
  }
}

std::uint8_t OrvatAsciiUtils::DecodeAddress(std::uint8_t Character) {
  return static_cast<std::uint8_t>(Character & 0x7F);
}

}  // namespace probrix
