#include <gtest/gtest.h>

#include <new>

#include "foundation/ioExceptions.h"
#include "search/uSearchReport.h"

namespace probrix {
namespace {

TEST(SearchReport, ErrorTextByClass) {
  const auto serial = TConnectionType::ctSerialPort, tcp = TConnectionType::ctTcp;
  EXPECT_EQ(SearchErrorText(EConnectionOpenError::Create("x"), serial), "Ошибка открытия порта");
  EXPECT_EQ(SearchErrorText(EConnectionOpenError::Create("x"), tcp),
            "Ошибка открытия TCP-подключения");
  EXPECT_EQ(SearchErrorText(EUnexpectedReceiveError::Create("x"), serial), "Ошибка ввода-вывода");
  EXPECT_EQ(SearchErrorText(EReadSOHTimeoutError::Create("x"), serial), "Нет ответа");
  EXPECT_EQ(SearchErrorText(EWriteMessageTimeoutError::Create("x"), serial), "Нет ответа");
  EXPECT_EQ(SearchErrorText(ESlaveAddressMismatch::Create("x"), serial),
            "Ошибка адреса в ответе (получен ответ от другого прибора)");
  EXPECT_EQ(SearchErrorText(EUnexpectedCommandCode::Create("x"), serial),
            "Ошибка команды в ответе (получен ответ на другую команду)");
  EXPECT_EQ(SearchErrorText(EUnknownCommandCode::Create("x"), serial),
            "Устройство не может ответить, т.к. получен запрос с неизвестным кодом команды");
  EXPECT_EQ(SearchErrorText(ESlaveDeviceBusy::Create("x"), serial),
            "Устройство не может ответить, т.к. находится в состоянии \"занят\"");
  EXPECT_EQ(SearchErrorText(EBadCommandParams::Create("x"), serial),
            "Устройство не может выполнить запрос из-за ошибочных параметров в команде.");
  EXPECT_EQ(SearchErrorText(EModbusSlavePendingOperation::Create("code 5"), serial), "code 5");
  EXPECT_EQ(SearchErrorText(ECorruptMessageFrame::Create("x"), serial),
            "Получен ответ неверного формата");
  EXPECT_EQ(SearchErrorText(EInvalidCRC::Create("x"), serial), "Ошибка CRC в ответе");
  EXPECT_EQ(SearchErrorText(ELogStringFormatError::Create("own text"), serial), "own text");
  EXPECT_EQ(SearchErrorText(std::bad_alloc(), serial), std::bad_alloc().what());
}

TEST(SearchReport, LinesAndNames) {
  const TDateTime t = EncodeDateTime(2026, 12, 7, 17, 30, 45, 219);
  EXPECT_EQ(DeviceFoundLine(t, "COM5", 9600, TDeviceProtocol::dpOrvatbus, 95),
            "17:30:45.219 [COM5:9600,Orvatbus,95]: прибор найден");
  EXPECT_EQ(SearchErrorLine(t, "plc", 502, TDeviceProtocol::dpModbusTcp, 1, "Нет ответа"),
            "17:30:45.219 [plc:502,ModbusTCP,1]: Нет ответа");
  EXPECT_EQ(ProgressText("COM5", 9600, TDeviceProtocol::dpOrvatbus, 2),
            "COM5:9600\r\nПротокол: Orvatbus\r\nАдрес: 2");
  EXPECT_EQ(FoundProtocolText(TDeviceProtocol::dpOrvatbus, 1), "Orvatbus (crc8)");
  EXPECT_EQ(FoundProtocolText(TDeviceProtocol::dpOrvatbus, 0), "Orvatbus (crc1)");
  EXPECT_EQ(FoundProtocolText(TDeviceProtocol::dpModbusRtu, 1), "ModbusRTU");
  EXPECT_EQ(ConnectionTypeText(0), "COM-порт");
  EXPECT_EQ(ConnectionTypeText(1), "TCP/IP");
  EXPECT_EQ(ConnectionTypeText(7), "Неизвестно");
  EXPECT_EQ(ResultLogFileName(t), "173045_219__результаты_поиска.log");
  EXPECT_EQ(AttemptLogFileName(t, "10.0.0.100", 502, TDeviceProtocol::dpModbusTcp, 1),
            "173045_219_10.0.0.100_502_ModbusTCP_1.log");
  EXPECT_EQ(AttemptLogFileName(t, "/tmp/sim:a", 9600, TDeviceProtocol::dpOrvatAscii, 95),
            "173045_219_#tmp#sim#a_9600_OrvatASCII_95.log");
}

}  // namespace
}  // namespace probrix
