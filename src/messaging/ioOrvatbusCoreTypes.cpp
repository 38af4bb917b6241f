#include "messaging/ioOrvatbusCoreTypes.h"

#include <array>

#include "foundation/appExceptions.h"
#include "foundation/ioExceptions.h"

namespace probrix {

namespace {

// CRC-8/MAXIM: polynomial 0x31 reflected (0x8C), initial value 0, no final XOR.
constexpr std::array<std::uint8_t, 256> MakeCrc8Table() {
  std::array<std::uint8_t, 256> table{};
  for (int i = 0; i < 256; ++i) {
    std::uint8_t crc = static_cast<std::uint8_t>(i);
    for (int bit = 0; bit < 8; ++bit) {
      crc = (crc & 0x01) ? static_cast<std::uint8_t>((crc >> 1) ^ 0x8C)
                         : static_cast<std::uint8_t>(crc >> 1);
    }
    table[static_cast<std::size_t>(i)] = crc;
  }
  return table;
}

constexpr std::array<std::uint8_t, 256> Crc8Table = MakeCrc8Table();

constexpr const char* SohMessage = "Сообщение ORVATBUS должно начинаться символом SOH (0x%.2x).";
constexpr const char* EtxMessage = "Сообщение ORVATBUS должно заканчиваться символом ETX (0x%.2x).";

void CheckCrcKind(TChecksumKind Kind) {
  const int index = static_cast<int>(Kind);
  if (index >= OrvatbusUtils::CrcKindCount)
    throw EArgumentError::CreateFmt("Неизвестный вид контрольной суммы ORVATBUS: %d", {index});
}

}  // namespace

std::uint8_t OrvatbusUtils::CalcCrc1(const std::uint8_t* Data, int Count) {
  std::uint8_t crc = 0;
  for (int i = 0; i < Count; ++i) crc ^= Data[i];
  return crc;
}

std::uint8_t OrvatbusUtils::CalcCrc8(const std::uint8_t* Data, int Count) {
  std::uint8_t crc = 0;
  for (int i = 0; i < Count; ++i) crc = Crc8Table[crc ^ Data[i]];
  return crc;
}

std::string OrvatbusUtils::CrcKindName(TChecksumKind Kind) {
  CheckCrcKind(Kind);
  return Kind == TChecksumKind::ckCrc1 ? "crc1" : "crc8";
}

TOrvatbusCrcFunction OrvatbusUtils::CrcKindFunction(TChecksumKind Kind) {
  CheckCrcKind(Kind);
  return Kind == TChecksumKind::ckCrc1 ? &CalcCrc1 : &CalcCrc8;
}

TBytes OrvatbusUtils::AddFrame(const TBytes& Body, TOrvatbusCrcFunction CrcFunction) {
  TBytes frame;
  frame.reserve(Body.size() + 3);
  frame.push_back(SOH);
  frame += Body;
  frame.push_back(CrcFunction(frame.data(), static_cast<int>(frame.size())));
  frame.push_back(ETX);
  return frame;
}

TBytes OrvatbusUtils::Escape(const TBytes& Frame) {
  if (Frame.size() <= 2) return Frame;
  TBytes packed;
  packed.reserve(Frame.size() + 8);
  packed.push_back(Frame.front());
  for (std::size_t i = 1; i + 1 < Frame.size(); ++i) {
    const std::uint8_t b = Frame[i];
    if (b == ETX || b == EscapeByte || b == SOH) {
      packed.push_back(EscapeByte);
      packed.push_back(static_cast<std::uint8_t>(~b));
    } else {
      packed.push_back(b);
    }
  }
  packed.push_back(Frame.back());
  return packed;
}

TBytes OrvatbusUtils::Unescape(const TBytes& PackedFrame) {
  TBytes frame;
  frame.reserve(PackedFrame.size());
  for (std::size_t i = 0; i < PackedFrame.size(); ++i) {
    const std::uint8_t b = PackedFrame[i];
    if (b != EscapeByte) {
      frame.push_back(b);
      continue;
    }
    if (i + 1 >= PackedFrame.size()) {
      throw ECorruptMessageFrame::CreateFmt(
          "Незаконченная маскирующая последовательность в сообщении ORVATBUS. Последним символом в "
          "сообщении является маскирующий символ 0x%.2x. Маскирующая последоватльность должна "
          "содержать ровно 2 символа.",
          {EscapeByte});
    }
    const std::uint8_t next = PackedFrame[++i];
    switch (next) {
      case 0x00:
        frame.push_back(SOH);
        break;
      case 0xEF:
        frame.push_back(EscapeByte);
        break;
      case 0xFC:
        frame.push_back(ETX);
        break;
      default:
        throw ECorruptMessageFrame::CreateFmt(
            "Неизвестная маскирующая последовательность в сообщении ORVATBUS: 0x%.2x 0x%.2x",
            {EscapeByte, next});
    }
  }
  return frame;
}

TBytes OrvatbusUtils::Pack(const TBytes& Body, TOrvatbusCrcFunction CrcFunction) {
  return Escape(AddFrame(Body, CrcFunction));
}

TBytes OrvatbusUtils::Unpack(const TBytes& PackedFrame, TOrvatbusCrcFunction CrcFunction) {
  if (PackedFrame.size() < static_cast<std::size_t>(MinFrameLength)) {
    throw ECorruptMessageFrame::CreateFmt(
        "Нераспакованное сообщение ORVATBUS не содержит достаточного количества байт. Кол-во байт "
        "в сообщении: %d (минимальная длина сообщения: %d байт)",
        {PackedFrame.size(), MinFrameLength});
  }
  if (PackedFrame.front() != SOH) throw ECorruptMessageFrame::CreateFmt(SohMessage, {SOH});
  if (PackedFrame.back() != ETX) throw ECorruptMessageFrame::CreateFmt(EtxMessage, {ETX});
  return CheckFrame(Unescape(PackedFrame), CrcFunction);
}

TBytes OrvatbusUtils::CheckFrame(const TBytes& Frame, TOrvatbusCrcFunction CrcFunction) {
  if (Frame.size() < static_cast<std::size_t>(MinFrameLength)) {
    throw ECorruptMessageFrame::CreateFmt(
        "Распакованное сообщение ORVATBUS не содержит достаточного количества байт. Кол-во байт в "
        "сообщении: %d (минимальная длина сообщения: %d байт)",
        {Frame.size(), MinFrameLength});
  }
  if (Frame.front() != SOH) throw ECorruptMessageFrame::CreateFmt(SohMessage, {SOH});
  if (Frame.back() != ETX) throw ECorruptMessageFrame::CreateFmt(EtxMessage, {ETX});
  const int covered = static_cast<int>(Frame.size()) - 2;
  const std::uint8_t expected = CrcFunction(Frame.data(), covered);
  const std::uint8_t received = Frame[static_cast<std::size_t>(covered)];
  if (received != expected) {
    throw EInvalidCRC::CreateFmt(
        "Ошибка CRC в полученном сообщении. CRC в сообщении: 0x%.2x, ожидаемое CRC: 0x%.2x",
        {received, expected});
  }
  return Frame.substr(1, static_cast<std::size_t>(covered - 1));
}

std::uint8_t OrvatbusUtils::EncodeAddress(std::uint8_t Address, bool Flag) {
  return static_cast<std::uint8_t>(Address + 0x20 + (Flag ? 0x80 : 0));
}

std::uint8_t OrvatbusUtils::DecodeAddress(std::uint8_t Byte, bool& Flag) {
  Flag = (Byte & 0x80) != 0;
  return DecodeAddress(Byte);
}

std::uint8_t OrvatbusUtils::DecodeAddress(std::uint8_t Byte) {
  return static_cast<std::uint8_t>((Byte - 0x20) & 0x7F);
}

std::uint8_t OrvatbusUtils::DecodeCommand(std::uint8_t Byte, bool& Flag) {
  Flag = (Byte & 0x80) != 0;
  return DecodeCommand(Byte);
}

std::uint8_t OrvatbusUtils::DecodeCommand(std::uint8_t Byte) {
  return static_cast<std::uint8_t>(Byte & 0x7F);
}

}  // namespace probrix
