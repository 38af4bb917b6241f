// Read Device Identification (function 0x2B, MEI type 0x0E) of ModbusUtils: the request body,
// the reply decoder and the RTU length of a reply.

#include "foundation/ioExceptions.h"
#include "messaging/ioModbusCoreTypes.h"

namespace probrix {

namespace {

constexpr std::int32_t CrcLength = 2;
constexpr std::size_t MoreFollowsOffset = 5;
constexpr std::size_t ObjectCountOffset = 7;

}  // namespace

TBytes ModbusUtils::BuildReadDeviceIdRequest(std::uint8_t Address, std::uint8_t ReadDeviceIdCode,
                                             std::uint8_t ObjectId) {
  return TBytes{Address, EncapsulatedInterfaceTransport, MeiReadDeviceId, ReadDeviceIdCode,
                ObjectId};
}

TModbusDeviceIdReply ModbusUtils::ParseReadDeviceIdReply(const TBytes& Body) {
  CheckBody(Body);
  if (Body[1] != EncapsulatedInterfaceTransport) {
    throw EUnexpectedCommandCode::CreateFmt(
        "В сообщении обнаружен неожиданный код команды. Ожидаемый код команды: 0x%.2x, код в "
        "сообщении: 0x%.2x",
        {EncapsulatedInterfaceTransport, DecodeFunctionCode(Body[1]).Code});
  }
  if (Body.size() < static_cast<std::size_t>(DeviceIdReplyFixedLength)) {
    throw ECorruptMessageFrame::CreateFmt(
        "Ответ на запрос идентификации MODBUS не содержит достаточного количества байт. Кол-во "
        "байт в теле сообщения: %d (требуемая минимальная длина: %d байт)",
        {Body.size(), DeviceIdReplyFixedLength});
  }
  if (Body[2] != MeiReadDeviceId) {
    throw EUnexpectedMessage::CreateFmt(
        "В ответе на запрос идентификации MODBUS неожиданный тип MEI: 0x%.2x (ожидаемый тип: "
        "0x%.2x)",
        {Body[2], MeiReadDeviceId});
  }
  const std::uint8_t moreFollows = Body[MoreFollowsOffset];
  if (moreFollows != 0x00 && moreFollows != 0xFF) {
    throw ECorruptMessageFrame::CreateFmt(
        "Недопустимое значение поля MoreFollows в ответе на запрос идентификации MODBUS: 0x%.2x",
        {moreFollows});
  }
  TModbusDeviceIdReply reply;
  reply.ReadDeviceIdCode = Body[3];
  reply.ConformityLevel = Body[4];
  reply.MoreFollows = moreFollows == 0xFF;
  reply.NextObjectId = Body[6];
  const int count = Body[ObjectCountOffset];
  std::size_t pos = DeviceIdReplyFixedLength;
  for (int i = 0; i < count; ++i) {
    if (pos + 2 > Body.size() || pos + 2 + Body[pos + 1] > Body.size()) {
      throw ECorruptMessageFrame::CreateFmt(
          "Список объектов в ответе на запрос идентификации MODBUS обрывается на объекте %d из %d",
          {i + 1, count});
    }
    const std::size_t length = Body[pos + 1];
    reply.Objects.push_back({Body[pos], Body.substr(pos + 2, length)});
    pos += 2 + length;
  }
  if (pos != Body.size()) {
    throw ECorruptMessageFrame::CreateFmt(
        "В ответе на запрос идентификации MODBUS после списка объектов лишние байты: %d",
        {Body.size() - pos});
  }
  return reply;
}

std::uint16_t ModbusUtils::GetRtuDeviceIdReplyLength(const std::uint8_t* Data, std::int32_t Count) {
  if (Data[2] != MeiReadDeviceId) {
    // Another encapsulated interface: its layout, and so its length, is unknown.
    throw EUnknownCommandCode::CreateFmt("Получен ответ MODBUS с неизвестным типом MEI: \"0x%.2x\"",
                                         {Data[2]});
  }
  std::int32_t length = DeviceIdReplyFixedLength + CrcLength;
  if (Count >= DeviceIdReplyFixedLength) {
    std::int32_t pos = DeviceIdReplyFixedLength;
    const int objects = Data[ObjectCountOffset];
    for (int i = 0; i < objects && length <= MaxRtuFrameLength; ++i) {
      if (pos + 2 > Count) {
        length = pos + 2 + CrcLength;  // this object's id and length byte are still to come
        break;
      }
      pos += 2 + Data[pos + 1];
      length = pos + CrcLength;
    }
  }
  if (length > MaxRtuFrameLength) {
    throw ECorruptMessageFrame::CreateFmt(
        "Недопустимая длина ответа MODBUS RTU на запрос идентификации: не менее %d байт "
        "(максимальная длина: %d байт)",
        {length, MaxRtuFrameLength});
  }
  return static_cast<std::uint16_t>(length);
}

}  // namespace probrix
