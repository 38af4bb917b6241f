#include "search/uSearchReport.h"

#include "foundation/appExceptions.h"
#include "foundation/appSysUtils.h"
#include "foundation/ioExceptions.h"

namespace probrix {

std::string SearchErrorText(const std::exception& Error, TConnectionType ConnectionType) {
  auto is = [&](auto* Tag) {
    using T = std::remove_pointer_t<decltype(Tag)>;
    return dynamic_cast<const T*>(&Error) != nullptr;
  };
  if (is(static_cast<EConnectionOpenError*>(nullptr)))
    return std::string("Ошибка открытия ") +
           (ConnectionType == TConnectionType::ctSerialPort ? "порта" : "TCP-подключения");
  if (is(static_cast<EConnectionIOError*>(nullptr))) return "Ошибка ввода-вывода";
  if (is(static_cast<ETimeoutError*>(nullptr))) return "Нет ответа";
  if (is(static_cast<EAddressMismatchError*>(nullptr)))
    return "Ошибка адреса в ответе (получен ответ от другого прибора)";
  if (is(static_cast<EUnexpectedCommandCode*>(nullptr)))
    return "Ошибка команды в ответе (получен ответ на другую команду)";
  if (is(static_cast<EUnknownCommandCode*>(nullptr)))
    return "Устройство не может ответить, т.к. получен запрос с неизвестным кодом команды";
  if (is(static_cast<ESlaveDeviceBusy*>(nullptr)))
    return "Устройство не может ответить, т.к. находится в состоянии \"занят\"";
  if (is(static_cast<EBadCommandParams*>(nullptr)))
    return "Устройство не может выполнить запрос из-за ошибочных параметров в команде.";
  if (is(static_cast<EModbusSpecificError*>(nullptr))) return Error.what();
  if (is(static_cast<ECorruptMessageFrame*>(nullptr))) return "Получен ответ неверного формата";
  if (is(static_cast<EInvalidCRC*>(nullptr))) return "Ошибка CRC в ответе";
  return Error.what();
}

std::string ConnectionTypeText(int ConnectionType) {
  switch (ConnectionType) {
    case 0:
      return "COM-порт";
    case 1:
      return "TCP/IP";
    default:
      return "Неизвестно";
  }
}

std::string_view ChecksumKindName(std::uint8_t ChecksumKind) {
  return ChecksumKind == 1 ? "crc8" : "crc1";
}

std::string FoundProtocolText(TDeviceProtocol Protocol, std::uint8_t ChecksumKind) {
  const std::string_view name = DeviceProtocolName(Protocol);
  if (Protocol == TDeviceProtocol::dpOrvatbus)
    return Format("%s (%s)", {name, ChecksumKindName(ChecksumKind)});
  return std::string(name);
}

std::string DeviceFoundLine(TDateTime Time, std::string_view ConnectionName,
                            std::int32_t BaudRateOrPort, TDeviceProtocol Protocol,
                            std::uint8_t Address) {
  return Format("%s [%s:%d,%s,%d]: прибор найден",
                {FormatDateTime("hh:nn:ss.zzz", Time), ConnectionName, BaudRateOrPort,
                 DeviceProtocolName(Protocol), Address});
}

std::string SearchErrorLine(TDateTime Time, std::string_view ConnectionName,
                            std::int32_t BaudRateOrPort, TDeviceProtocol Protocol,
                            std::uint8_t Address, std::string_view ErrorText) {
  return Format("%s [%s:%d,%s,%d]: %s",
                {FormatDateTime("hh:nn:ss.zzz", Time), ConnectionName, BaudRateOrPort,
                 DeviceProtocolName(Protocol), Address, ErrorText});
}

std::string ProgressText(std::string_view ConnectionName, std::int32_t BaudRateOrPort,
                         TDeviceProtocol Protocol, std::uint8_t Address) {
  return Format("%s:%d\r\nПротокол: %s\r\nАдрес: %d",
                {ConnectionName, BaudRateOrPort, DeviceProtocolName(Protocol), Address});
}

std::string ResultLogFileName(TDateTime Time) {
  return Format("%s__результаты_поиска.log", {FormatDateTime("hhnnss_zzz", Time)});
}

std::string AttemptLogFileName(TDateTime Time, std::string_view ConnectionName,
                               std::int32_t BaudRateOrPort, TDeviceProtocol Protocol,
                               std::uint8_t Address) {
  std::string name = FormatDateTime("hhnnss_zzz", Time) + "_" +
                     Format("%s_%d_%s_%d", {ConnectionName, BaudRateOrPort,
                                            DeviceProtocolName(Protocol), Address}) +
                     ".log";
  for (char& c : name)
    if (std::string_view("\"'*/:<>?\\|").find(c) != std::string_view::npos) c = '#';
  return name;
}

}  // namespace probrix
