#include <gtest/gtest.h>

#include <new>
#include <string>
#include <vector>

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

  // The reason of a refused open is the exception's own data, kept by a copy of it.
  EConnectionOpenError held = EConnectionOpenError::Create("x");
  held.Reason = "Порт ttyS1 используется другой программой: minicom (pid 4711)";
  EXPECT_EQ(SearchErrorReason(*held.Clone()), held.Reason);
  EXPECT_EQ(SearchErrorReason(EConnectionIOError::Create(held.Reason)), "");
}

TEST(SearchReport, LinesAndNames) {
  const TDateTime t = EncodeDateTime(2026, 12, 7, 17, 30, 45, 219);
  const auto serial = TConnectionType::ctSerialPort, tcp = TConnectionType::ctTcp;
  EXPECT_EQ(DeviceFoundLine(t, {"COM5", 9600, TDeviceProtocol::dpOrvatbus, serial, 95}),
            "17:30:45.219 [COM5:9600,Orvatbus,95]: прибор найден");
  EXPECT_EQ(SearchErrorLine(t, {"plc", 502, TDeviceProtocol::dpModbusTcp, tcp, 1}, "Нет ответа"),
            "17:30:45.219 [plc:502,ModbusTCP,1]: Нет ответа");
  EXPECT_EQ(SearchErrorLine(t, {"::1", 502, TDeviceProtocol::dpModbusTcp, tcp, 1}, "Нет ответа"),
            "17:30:45.219 [[::1]:502,ModbusTCP,1]: Нет ответа");
  EXPECT_EQ(ProgressText({"COM5", 9600, TDeviceProtocol::dpOrvatbus, serial, 2}),
            "COM5:9600\r\nПротокол: Orvatbus\r\nАдрес: 2");
  using platform::TConnectOutcome;
  const std::string range = "192.168.1.0/24:502";
  EXPECT_EQ(SweepMissLine(t, {"192.168.1.7", 502, range, TConnectOutcome::coSilent, ""}),
            "17:30:45.219 [192.168.1.7:502]: Нет TCP-подключения (нет ответа)");
  EXPECT_EQ(SweepMissText({"192.168.1.8", 502, range, TConnectOutcome::coRefused, ""}),
            "Нет TCP-подключения (в подключении отказано)");
  EXPECT_EQ(SweepMissText({"192.168.1.9", 502, range, TConnectOutcome::coFailed, "No route"}),
            "Нет TCP-подключения (No route)");
  EXPECT_EQ(SweepProgressText({range, 37, 254, 2}),
            "192.168.1.0/24:502\r\nПроверка адресов: 37 из 254\r\nПринимают подключение: 2");
  EXPECT_EQ(ConnectionPointText("/dev/serial/by-path/pci-0:1", 9600, serial),
            "/dev/serial/by-path/pci-0:1:9600");
  EXPECT_EQ(FoundProtocolText(TDeviceProtocol::dpOrvatbus, TChecksumKind::ckCrc8),
            "Orvatbus (crc8)");
  EXPECT_EQ(FoundProtocolText(TDeviceProtocol::dpOrvatbus, TChecksumKind::ckCrc1),
            "Orvatbus (crc1)");
  EXPECT_EQ(FoundProtocolText(TDeviceProtocol::dpModbusRtu, TChecksumKind::ckCrc8), "ModbusRTU");
  EXPECT_EQ(ConnectionTypeText(0), "COM-порт");
  EXPECT_EQ(ConnectionTypeText(1), "TCP/IP");
  EXPECT_EQ(ConnectionTypeText(7), "Неизвестно");
  EXPECT_EQ(ResultLogFileName(t), "173045_219__результаты_поиска.log");
  EXPECT_EQ(AttemptLogFileName(t, {"10.0.0.100", 502, TDeviceProtocol::dpModbusTcp, tcp, 1}),
            "173045_219_10.0.0.100_502_ModbusTCP_1.log");
  EXPECT_EQ(AttemptLogFileName(t, {"/tmp/sim:a", 9600, TDeviceProtocol::dpOrvatAscii, serial, 95}),
            "173045_219_#tmp#sim#a_9600_OrvatASCII_95.log");
}

// A port name is the operator's text: it must not forge a line of the result log.
TEST(SearchReport, ForgedLineStaysOneVisibleLine) {
  const TDateTime t = EncodeDateTime(2026, 12, 7, 17, 30, 45, 219);
  const std::string forged = "ttyX\r\n17:30:45.219 [COM9:9600,Orvatbus,95]: прибор найден";
  const std::string line = SearchErrorLine(
      t, {forged, 9600, TDeviceProtocol::dpOrvatbus, TConnectionType::ctSerialPort, 95},
      "Ошибка открытия порта\x1B[2J");
  EXPECT_EQ(line.find_first_of("\r\n\x1B"), std::string::npos) << line;
  EXPECT_EQ(line,
            "17:30:45.219 [ttyX\\x0D\\x0A17:30:45.219 [COM9:9600,Orvatbus,95]: прибор "
            "найден:9600,Orvatbus,95]: Ошибка открытия порта\\x1B[2J");
  EXPECT_EQ(SafeLogText("a\x7F\tb"), "a\\x7F\\x09b");

  // A reason gets a line of its own, escaped the same way; no reason, no line.
  const auto serial = TConnectionType::ctSerialPort;
  EXPECT_EQ(SearchErrorLines(t, {"ttyX\n", 9600, TDeviceProtocol::dpModbusRtu, serial, 1},
                             "Ошибка открытия порта", "Порт ttyX\n используется: a\x1B (pid 7)"),
            (std::vector<std::string>{
                "17:30:45.219 [ttyX\\x0A:9600,ModbusRTU,1]: Ошибка открытия порта",
                "17:30:45.219 [ttyX\\x0A:9600,ModbusRTU,1]: Порт ttyX\\x0A используется: "
                "a\\x1B (pid 7)"}));
  EXPECT_EQ(SearchErrorLines(t, {"ttyX", 9600, TDeviceProtocol::dpModbusRtu, serial, 1},
                             "Нет ответа", ""),
            std::vector<std::string>{"17:30:45.219 [ttyX:9600,ModbusRTU,1]: Нет ответа"});
}

// A name past what the file system takes is cut on a character boundary, and two such names
// that differ only in the part cut off still give two files.
TEST(SearchReport, LongAttemptLogNamesAreCutAndStayApart) {
  const TDateTime t = EncodeDateTime(2026, 12, 7, 17, 30, 45, 219);
  const auto serial = TConnectionType::ctSerialPort;
  std::string base = "/dev/" + std::string(150, 'x');
  for (int i = 0; i < 100; ++i) base += "я";
  const std::string a =
      AttemptLogFileName(t, {base + "1", 9600, TDeviceProtocol::dpOrvatbus, serial, 95});
  const std::string b =
      AttemptLogFileName(t, {base + "2", 9600, TDeviceProtocol::dpOrvatbus, serial, 95});
  EXPECT_LE(a.size(), MaxFileNameBytes);
  EXPECT_NE(a, b);
  EXPECT_TRUE(a.starts_with("173045_219_#dev#xxx")) << a;
  EXPECT_TRUE(a.ends_with("_9600_Orvatbus_95.log")) << a;
  const std::size_t mark = a.find('~');
  ASSERT_NE(mark, std::string::npos);
  EXPECT_EQ(static_cast<unsigned char>(a[mark - 2]), 0xD1) << "cut inside a character";
  EXPECT_EQ(AttemptLogFileName(t, {"tty\x01", 1, TDeviceProtocol::dpOrvatbus, serial, 1}),
            "173045_219_tty#_1_Orvatbus_1.log");
}

TEST(SearchReport, FoundDeviceTexts) {
  const TDateTime t = EncodeDateTime(2026, 12, 7, 17, 30, 45, 219);
  const auto rtu = TDeviceProtocol::dpModbusRtu, tcp = TDeviceProtocol::dpModbusTcp;
  TDeviceInfo maker;
  maker.Address = 1;
  maker.DeviceType = 16;
  maker.FirmwareVersion = 215;
  maker.SerialNumber = 4321;
  TFoundDeviceCells cells = FoundDeviceCells(tcp, maker);
  EXPECT_EQ(cells.DeviceType, "R4748");
  EXPECT_EQ(cells.SerialNum, 4321);
  EXPECT_EQ(cells.SoftVersion, "2.15");
  EXPECT_EQ(DeviceFoundLine(t, {"plc", 502, tcp, TConnectionType::ctTcp, 1}, maker),
            "17:30:45.219 [plc:502,ModbusTCP,1]: прибор найден");
  maker.SameAsUnit = 1;
  EXPECT_EQ(FoundDeviceCells(tcp, maker).DeviceType, "R4748 (повтор адреса 1)");
  EXPECT_EQ(DeviceFoundLine(t, {"plc", 502, tcp, TConnectionType::ctTcp, 4}, maker),
            "17:30:45.219 [plc:502,ModbusTCP,4]: прибор найден (повтор адреса 1)");

  // A device of another maker: vendor and product code, the revision, no serial number.
  TDeviceInfo other;
  other.Address = 3;
  other.OtherMaker = true;
  other.ModbusException = 2;
  cells = FoundDeviceCells(rtu, other);
  EXPECT_EQ(cells.DeviceType, "Неизвестный прибор");
  EXPECT_FALSE(cells.SerialNum);
  EXPECT_FALSE(cells.SoftVersion);
  EXPECT_EQ(DeviceFoundLine(t, {"COM5", 9600, rtu, TConnectionType::ctSerialPort, 3}, other),
            "17:30:45.219 [COM5:9600,ModbusRTU,3]: прибор найден: Неизвестный прибор");
  other.VendorName = "ACME";
  EXPECT_EQ(OtherDeviceTypeText(other), "ACME");
  other.ProductCode = "PX-1";
  other.MajorMinorRevision = "1.02";
  cells = FoundDeviceCells(rtu, other);
  EXPECT_EQ(cells.DeviceType, "ACME PX-1");
  EXPECT_FALSE(cells.SerialNum);
  EXPECT_EQ(cells.SoftVersion, "1.02");
  other.SameAsUnit = 2;
  EXPECT_EQ(DeviceFoundLine(t, {"plc", 502, tcp, TConnectionType::ctTcp, 3}, other),
            "17:30:45.219 [plc:502,ModbusTCP,3]: прибор найден: ACME PX-1, версия 1.02 (повтор "
            "адреса 2)");
  other.VendorName.clear();
  EXPECT_EQ(OtherDeviceTypeText(other), "PX-1");

  // OrvatASCII devices show no identification.
  cells = FoundDeviceCells(TDeviceProtocol::dpOrvatAscii, maker);
  EXPECT_FALSE(cells.DeviceType || cells.SerialNum || cells.SoftVersion);
}

TEST(SearchReport, AttemptLogNamesStayUniqueWithinOneMillisecond) {
  const TDateTime t = EncodeDateTime(2026, 12, 7, 17, 30, 45, 219);
  const TDateTime next = EncodeDateTime(2026, 12, 7, 17, 30, 45, 220);
  constexpr auto tcp = TDeviceProtocol::dpModbusTcp;
  TAttemptLogNames names;
  // The same endpoint twice in a plan: both refused within one millisecond.
  EXPECT_EQ(names.Next(t, {"10.0.0.1", 502, tcp, TConnectionType::ctTcp, 1}),
            "173045_219_10.0.0.1_502_ModbusTCP_1.log");
  EXPECT_EQ(names.Next(t, {"10.0.0.1", 502, tcp, TConnectionType::ctTcp, 1}),
            "173045_219_10.0.0.1_502_ModbusTCP_1_2.log");
  EXPECT_EQ(names.Next(t, {"10.0.0.1", 502, tcp, TConnectionType::ctTcp, 2}),
            "173045_219_10.0.0.1_502_ModbusTCP_2.log");
  // Two names that only the replaced characters told apart.
  EXPECT_EQ(names.Next(t, {"a:b", 1, tcp, TConnectionType::ctTcp, 1}),
            "173045_219_a#b_1_ModbusTCP_1.log");
  EXPECT_EQ(names.Next(t, {"a/b", 1, tcp, TConnectionType::ctTcp, 1}),
            "173045_219_a#b_1_ModbusTCP_1_2.log");
  EXPECT_EQ(names.Next(t, {"10.0.0.1", 502, tcp, TConnectionType::ctTcp, 1}),
            "173045_219_10.0.0.1_502_ModbusTCP_1_3.log");
  // A name cut to the longest one the file system takes stays within it when repeated.
  const std::string longName = "/dev/" + std::string(300, 'x');
  const std::string first = names.Next(t, {longName, 1, tcp, TConnectionType::ctTcp, 1});
  const std::string second = names.Next(t, {longName, 1, tcp, TConnectionType::ctTcp, 1});
  EXPECT_EQ(first.size(), MaxFileNameBytes);
  EXPECT_LE(second.size(), MaxFileNameBytes);
  EXPECT_TRUE(second.ends_with("_1_ModbusTCP_1_2.log")) << second;
  EXPECT_NE(first, second);
  // A new millisecond starts afresh.
  EXPECT_EQ(names.Next(next, {"10.0.0.1", 502, tcp, TConnectionType::ctTcp, 1}),
            "173045_220_10.0.0.1_502_ModbusTCP_1.log");
}

}  // namespace
}  // namespace probrix
