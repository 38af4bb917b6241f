#include "search/uFinderEngineOrvatbus.h"

#include "foundation/appExceptions.h"
#include "foundation/ioExceptions.h"
#include "messaging/ioBinaryReader.h"
#include "messaging/ioBinaryStream.h"
#include "messaging/ioBinaryWriter.h"
#include "messaging/ioOrvatbusCoreTypes.h"
#include "messaging/ioOrvatbusTransceiver.h"
#include "messaging/updStrUtils.h"

namespace probrix {

TBytes TOrvatbusDeviceSearcher::BuildRequestBody(std::uint8_t Address) {
  const std::uint8_t master = Address == 0 ? AlternateMasterAddress : MasterAddress;
  TBytesStream stream;
  TBigEndianBinaryWriter writer(&stream);
  writer.WriteByte(Address == BroadcastAddress ? std::uint8_t{0x7F}
                                               : OrvatbusUtils::EncodeAddress(Address));
  writer.WriteByte(OrvatbusUtils::EncodeAddress(master));
  writer.WriteByte(IdentifyCommand);
  return stream.Bytes();
}

std::unique_ptr<TMessageTransceiver> TOrvatbusDeviceSearcher::CreateTransceiver(
    std::shared_ptr<IDeviceConnection> Connection) {
  return std::make_unique<TOrvatbusTransceiver>(std::move(Connection));
}

void TOrvatbusDeviceSearcher::SearchAt(std::uint8_t Address, TDeviceInfo& Info) {
  try {
    Identify(Address, TChecksumKind::ckCrc1, Info);
  } catch (const EReadTimeoutError&) {
    // Nothing answered a "crc1" request: the device may use the other checksum.
    Identify(Address, TChecksumKind::ckCrc8, Info);
  }
}

void TOrvatbusDeviceSearcher::Identify(std::uint8_t Address, TChecksumKind ChecksumKind,
                                       TDeviceInfo& Info) {
  const std::string kindName = OrvatbusUtils::CrcKindName(ChecksumKind);
  const TOrvatbusCrcFunction crc = OrvatbusUtils::CrcKindFunction(ChecksumKind);
  RunAttempts(
      [&](std::int32_t Try) {
        LogFmt("Попытка %d поиска прибора ORVATBUS с адресом %d (%s)...", {Try, Address, kindName});
        const TBytes body = BuildRequestBody(Address);
        if (KeepsLog())
          LogFmt("--q> (size=%d) %s (unpacked request body)", {body.size(), HexDumpText(body)});
        const TBytes reply = Transceiver().Exchange(OrvatbusUtils::Pack(body, crc));
        Info = ParseResponse(reply, Address, ChecksumKind);
        LogFmt("Найден прибор ORVATBUS с адресом %d (%s)", {Info.Address, kindName});
      },
      [&](const std::string& Description) {
        LogFmt("Ошибка поиска прибора ORVATBUS с адресом %d (%s): %s",
               {Address, kindName, Description});
      });
}

TDeviceInfo TOrvatbusDeviceSearcher::ParseResponse(const TBytes& Reply, std::uint8_t Address,
                                                   TChecksumKind ChecksumKind) {
  const TBytes body = OrvatbusUtils::Unpack(Reply, OrvatbusUtils::CrcKindFunction(ChecksumKind));
  if (KeepsLog())
    LogFmt("<a-- (size=%d) %s (unpacked response body)", {body.size(), HexDumpText(body)});

  TBytesStream stream(body);
  TBigEndianBinaryReader reader(&stream, static_cast<std::int32_t>(body.size()));
  try {
    const std::uint8_t master = OrvatbusUtils::DecodeAddress(reader.ReadByte());
    bool sourceFlag = false;
    const std::uint8_t device = OrvatbusUtils::DecodeAddress(reader.ReadByte(), sourceFlag);
    const std::uint8_t expectedMaster = device == 0 ? AlternateMasterAddress : MasterAddress;
    if (Address != BroadcastAddress && device != Address) {
      throw ESlaveAddressMismatch::CreateFmt(
          "Адрес получателя запроса не соответствует адресу отправителя в ответе. Адрес "
          "slave-устройства в ответе: %d, ожидаемый адрес: %d.",
          {device, Address});
    }
    if (master != expectedMaster) {
      throw EMasterAddressMismatch::CreateFmt(
          "Адрес отправителя запроса не соответствует адресу получателя в ответе. Адрес "
          "master-устройства в ответе: %d, ожидаемый адрес: %d.",
          {master, expectedMaster});
    }

    const std::uint8_t commandByte = reader.ReadByte();
    if (commandByte == UnknownCommandReply) {
      auto error = EUnknownCommandCode::Create(
          "Устройство не может ответить, т.к. получен запрос с неизвестным кодом команды.");
      error.ErrorCode = commandByte;
      throw error;
    }
    bool errorFlag = false;
    const std::uint8_t command = OrvatbusUtils::DecodeCommand(commandByte, errorFlag);
    if (command != IdentifyCommand) {
      throw EUnexpectedCommandCode::CreateFmt(
          "В сообщении обнаружен неожиданный код команды. Ожидаемый код команды: "
          "\"%s\"(0x%.2x), код в сообщении: \"%s\"(0x%.2x)",
          {std::string(1, static_cast<char>(IdentifyCommand)), IdentifyCommand,
           std::string(1, static_cast<char>(command)), command});
    }
    if (errorFlag) {
      const std::uint8_t code = reader.ReadByte();
      if (code == BusyErrorCode) {
        auto error = ESlaveDeviceBusy::Create(
            "Устройство не может ответить, т.к. находится в состоянии \"занят\".");
        error.ErrorCode = code;
        throw error;
      }
      auto error = EBadCommandParams::Create(
          "Устройство не может выполнить запрос из-за ошибочных параметров в команде.");
      error.ErrorCode = code;
      throw error;
    }

    TDeviceInfo info;
    info.Address = device;
    info.SourceFlag = sourceFlag ? 1 : 0;
    info.ChecksumKind = ChecksumKind;
    info.ExtraWord1 = reader.ReadWord();
    info.DeviceType = reader.ReadByte();
    info.ExtraWord2 = reader.ReadWord();
    info.FirmwareVersion = reader.ReadWord();
    info.SerialNumber = reader.ReadWord();
    info.ExtraByte = reader.ReadByte();
    return info;
  } catch (const EEndOfStreamError& e) {
    throw ECorruptMessageFrame::Create("Фрейм ответа не содержит достаточного количества байт.",
                                       &e);
  } catch (const EStreamError& e) {
    throw ECorruptMessageFrame::Create("Неверный формат фрейма ответа.", &e);
  }
}

}  // namespace probrix
