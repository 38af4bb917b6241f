#include "messaging/ioModbusCoreTypes.h"

#include <array>

#include "foundation/ioExceptions.h"

namespace probrix {

namespace {

constexpr std::array<std::uint16_t, 256> MakeCrcTable() {
  std::array<std::uint16_t, 256> table{};
  for (unsigned i = 0; i < 256; ++i) {
    std::uint16_t crc = static_cast<std::uint16_t>(i);
    for (int bit = 0; bit < 8; ++bit) {
      crc = (crc & 1) ? static_cast<std::uint16_t>((crc >> 1) ^ 0xA001)
                      : static_cast<std::uint16_t>(crc >> 1);
    }
    table[i] = crc;
  }
  return table;
}

constexpr std::array<std::uint16_t, 256> CrcTable = MakeCrcTable();

const char* ExceptionCodeText(std::uint8_t Code) {
  switch (Code) {
    case 1:
      return "Ведомое устройство не может выполнить запрос, т.к. получен запрос с неизвестным "
             "кодом функции. Код ошибки: 0x%.2x.";
    case 2:
      return "Адрес данных, указанный в запросе, недоступен. Код ошибки: 0x%.2x.";
    case 3:
      return "Значение, содержащееся в поле данных запроса, является недопустимой величиной. Код "
             "ошибки: 0x%.2x.";
    case 4:
      return "Невосстанавливаемая ошибка имела место, пока ведомое устройство пыталось выполнить "
             "запрос. Код ошибки: 0x%.2x.";
    case 5:
      return "Ведомое устройство приняло запрос и обрабатывает его, но это требует много "
             "времени. Этот ответ предохраняет ведущее устройство от генерации ошибки тайм-аута. "
             "Код ошибки: 0x%.2x.";
    case 6:
      return "Ведомое устройство занято обработкой команды. Код ошибки: 0x%.2x.";
    case 7:
      return "Ведомое устройство не может выполнить программную функцию, заданную в запросе. Код "
             "ошибки: 0x%.2x.";
    default:
      return "Получен неизвестный код ошибки. Код ошибки: 0x%.2x.";
  }
}

}  // namespace

std::uint16_t ModbusUtils::CalcCrc16(const std::uint8_t* Data, int Count) {
  std::uint16_t crc = 0xFFFF;
  for (int i = 0; i < Count; ++i) {
    crc = static_cast<std::uint16_t>((crc >> 8) ^ CrcTable[(crc ^ Data[i]) & 0xFF]);
  }
  return crc;
}

TBytes ModbusUtils::BuildRtuFrame(const TBytes& Body) {
  const std::uint16_t crc = CalcCrc16(Body.data(), static_cast<int>(Body.size()));
  TBytes frame = Body;
  frame.push_back(static_cast<std::uint8_t>(crc & 0xFF));
  frame.push_back(static_cast<std::uint8_t>(crc >> 8));
  return frame;
}

TBytes ModbusUtils::BuildTcpFrame(const TBytes& Body, std::uint16_t TransactionId) {
  if (Body.size() > 0xFFFF) {
    throw EArgumentError::CreateFmt(
        "Тело сообщения MODBUS TCP слишком велико: %d байт (максимальная длина: %d байт)",
        {Body.size(), 0xFFFF});
  }
  const auto length = static_cast<std::uint16_t>(Body.size());
  TBytes frame;
  frame.reserve(TcpHeaderLength + Body.size());
  frame.push_back(static_cast<std::uint8_t>(TransactionId >> 8));
  frame.push_back(static_cast<std::uint8_t>(TransactionId & 0xFF));
  frame.push_back(0);
  frame.push_back(0);
  frame.push_back(static_cast<std::uint8_t>(length >> 8));
  frame.push_back(static_cast<std::uint8_t>(length & 0xFF));
  frame += Body;
  return frame;
}

TBytes ModbusUtils::ParseRtuFrame(const TBytes& Frame) {
  if (Frame.size() < static_cast<std::size_t>(MinRtuFrameLength)) {
    throw ECorruptMessageFrame::CreateFmt(
        "Сообщение MODBUS RTU не содержит достаточного количества байт. Кол-во байт в "
        "сообщении: %d (минимальная длина сообщения: %d байт)",
        {Frame.size(), MinRtuFrameLength});
  }
  const std::size_t bodyLength = Frame.size() - 2;
  const std::uint8_t lo = Frame[bodyLength];
  const std::uint8_t hi = Frame[bodyLength + 1];
  const std::uint16_t crc = CalcCrc16(Frame.data(), static_cast<int>(bodyLength));
  if (lo + 256 * hi != crc) {
    throw EInvalidCRC::CreateFmt(
        "Ошибка CRC в полученном сообщении. CRC в сообщении: 0x%.2x%.2x, ожидаемое CRC: "
        "0x%.2x%.2x",
        {lo, hi, static_cast<std::uint8_t>(crc & 0xFF), static_cast<std::uint8_t>(crc >> 8)});
  }
  TBytes body = Frame.substr(0, bodyLength);
  CheckBody(body);
  return body;
}

TBytes ModbusUtils::ParseTcpFrame(const TBytes& Frame, std::uint16_t ExpectedTransactionId) {
  if (Frame.size() < static_cast<std::size_t>(MinTcpFrameLength)) {
    throw ECorruptMessageFrame::CreateFmt(
        "Сообщение MODBUS TCP не содержит достаточного количества байт. Кол-во байт в "
        "сообщении: %d (минимальная длина сообщения: %d байт)",
        {Frame.size(), MinTcpFrameLength});
  }
  const auto received = static_cast<std::uint16_t>((Frame[0] << 8) | Frame[1]);
  if (received != ExpectedTransactionId) {
    throw EUnexpectedTransactionIdError::CreateFmt(
        "Получен ответ MODBUS TCP с неожиданным идентификатором транзакции. Ожидаемый "
        "идентификатор: %d, получен идентификатор: %d",
        {ExpectedTransactionId, received});
  }
  TBytes body = Frame.substr(TcpHeaderLength);
  CheckBody(body);
  return body;
}

void ModbusUtils::CheckBody(const TBytes& Body) {
  if (Body.size() < static_cast<std::size_t>(MinBodyLength)) {
    throw ECorruptMessageFrame::CreateFmt(
        "Тело сообщения MODBUS не содержит достаточного количества байт. Кол-во байт в теле "
        "сообщения: %d (требуемая минимальная длина: %d байт)",
        {Body.size(), MinBodyLength});
  }
  if (!IsExceptionFunctionCode(Body[1])) return;
  const std::uint8_t code = Body[2];
  EModbusSpecificError error =
      EModbusSpecificError::Create("Произошла ошибка при выполнении команды. " +
                                   FormatExceptionMessage(ExceptionCodeText(code), {code}));
  error.ErrorCode = code;
  throw error;
}

std::uint16_t ModbusUtils::GetRtuPacketLength(const std::uint8_t* Header) {
  return GetRtuPacketLength(Header, RtuHeaderLength);
}

std::uint16_t ModbusUtils::GetRtuPacketLength(const std::uint8_t* Data, std::int32_t Count) {
  const std::uint8_t function = Data[1];
  if (IsExceptionFunctionCode(function)) return 5;
  switch (function) {
    case 1:
    case 2:
    case 3:
    case 4:
      return static_cast<std::uint16_t>(5 + Data[2]);
    case 5:
    case 6:
    case 8:
    case 15:
    case 16:
      return 8;
    case EncapsulatedInterfaceTransport:
      return GetRtuDeviceIdReplyLength(Data, Count);
    default:
      throw EUnknownCommandCode::CreateFmt("Получен ответ с неизвестным кодом команды: \"0x%.2x\"",
                                           {function});
  }
}

TModbusFunctionCode ModbusUtils::DecodeFunctionCode(std::uint8_t Value) {
  return TModbusFunctionCode{static_cast<std::uint8_t>(Value & 0x7F),
                             IsExceptionFunctionCode(Value)};
}

}  // namespace probrix
