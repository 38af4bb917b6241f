#include <gtest/gtest.h>

#include <sstream>

#include "cli/cliOptions.h"
#include "cli/cliOutput.h"
#include "cli/cliRunner.h"
#include "foundation/ioExceptions.h"
#include "logging/LoggingFixture.h"
#include "search/uFinderEngine.h"

namespace probrix::cli {
namespace {

TEST(CliOptions, DefaultsAndOverrides) {
  const TCliOptions d = ParseCliOptions({});
  EXPECT_EQ(d.Choice.BaudRates, (std::vector<std::int32_t>{9600, 115200}));
  EXPECT_TRUE(d.Choice.Protocols.OrvatAscii);
  EXPECT_TRUE(d.Choice.Protocols.Orvatbus);
  EXPECT_FALSE(d.Choice.Protocols.ModbusRTU);
  EXPECT_TRUE(d.Choice.SearchSingleOrvatbusDevice);
  EXPECT_EQ(d.Choice.ModbusAddresses, "0-247");

  const TCliOptions o =
      ParseCliOptions({"-p", "ttyS0", "--port=ttyS1", "-b", "19200, 9600", "-t", "plc:502", "-P",
                       "ModbusTCP,orvatascii", "--orvatbus-addresses", "1-3", "--timeout", "50",
                       "--retries", "3", "--json", "--save-search-logs"});
  EXPECT_EQ(o.Choice.SerialPortNames, (std::vector<std::string>{"ttyS0", "ttyS1"}));
  EXPECT_EQ(o.Choice.BaudRates, (std::vector<std::int32_t>{19200, 9600}));
  EXPECT_EQ(o.Choice.TcpEndpoints, (std::vector<std::string>{"plc:502"}));
  EXPECT_TRUE(o.Choice.Protocols.ModbusTCP);
  EXPECT_TRUE(o.Choice.Protocols.OrvatAscii);
  EXPECT_FALSE(o.Choice.Protocols.Orvatbus);
  EXPECT_FALSE(o.Choice.SearchSingleOrvatbusDevice);
  EXPECT_EQ(o.Choice.OrvatbusAddresses, "1-3");
  EXPECT_EQ(o.Choice.StartOfPacketReadTimeout, 50);
  EXPECT_EQ(o.Choice.RequestRetryCount, 3);
  EXPECT_TRUE(o.Json);
  EXPECT_TRUE(o.SaveSearchLogs);
}

TEST(CliOptions, UsageErrors) {
  EXPECT_THROW(ParseCliOptions({"--bogus"}), TUsageError);
  EXPECT_THROW(ParseCliOptions({"-p"}), TUsageError);
  EXPECT_THROW(ParseCliOptions({"-P", "zigbee"}), TUsageError);
  EXPECT_THROW(ParseCliOptions({"--timeout", "abc"}), TUsageError);
  EXPECT_THROW(ParseCliOptions({"-b", ","}), TUsageError);
  EXPECT_THROW(ParseCliOptions({"--settings", "/nonexistent/probrix.ini"}), TUsageError);
}

TEST(CliOutput, JsonAndTable) {
  EXPECT_EQ(JsonString("a\"b\\c\r\n\x01я"), "\"a\\\"b\\\\c\\r\\n\\u0001я\"");
  TFoundDevice ascii{
      {"ttyS1", 9600, TDeviceProtocol::dpOrvatAscii, TConnectionType::ctSerialPort, 95}, {}};
  ascii.Info.Address = 65;
  EXPECT_EQ(FoundJson(ascii),
            "{\"event\":\"found\",\"connection\":\"ttyS1\",\"baudOrPort\":9600,"
            "\"connectionType\":\"serial\",\"protocol\":\"OrvatASCII\",\"probedAddress\":95,"
            "\"address\":65}");
  EXPECT_EQ(ErrorJson({"plc", 502, TDeviceProtocol::dpModbusTcp, TConnectionType::ctTcp, 3},
                      "Нет ответа", "EReadMessageTimeoutError"),
            "{\"event\":\"error\",\"connection\":\"plc\",\"baudOrPort\":502,"
            "\"connectionType\":\"tcp\",\"protocol\":\"ModbusTCP\",\"probedAddress\":3,"
            "\"error\":\"Нет ответа\",\"errorClass\":\"EReadMessageTimeoutError\"}");
  EXPECT_EQ(
      ErrorJson({"ttyS1", 9600, TDeviceProtocol::dpModbusRtu, TConnectionType::ctSerialPort, 1},
                "Ошибка открытия порта", "EConnectionOpenError",
                "Порт ttyS1\r используется другой программой: a\"b (pid 7)"),
      "{\"event\":\"error\",\"connection\":\"ttyS1\",\"baudOrPort\":9600,"
      "\"connectionType\":\"serial\",\"protocol\":\"ModbusRTU\",\"probedAddress\":1,"
      "\"error\":\"Ошибка открытия порта\",\"errorClass\":\"EConnectionOpenError\","
      "\"reason\":\"Порт ttyS1\\r используется другой программой: a\\\"b (pid 7)\"}");
  EXPECT_EQ(FinishedJson(true, 2, 5),
            "{\"event\":\"finished\",\"aborted\":true,\"found\":2,\"errors\":5}");

  const std::vector<std::string> cells = ResultRowCells(ascii);
  EXPECT_EQ(cells,
            (std::vector<std::string>{"65", "ttyS1:9600", "COM-порт", "OrvatASCII", "", "", ""}));
  const std::string table = ResultsTable({ascii});
  EXPECT_EQ(table.substr(0, table.find('\n')),
            "Адрес  Подключение  Тип подключения  Протокол    Тип прибора  Сер.номер  Версия "
            "прошивки");
  EXPECT_NE(table.find("65     ttyS1:9600   COM-порт         OrvatASCII"), std::string::npos);
}

// An attempt with a line format names it right after the baud rate, in JSON, the table and the
// options; a format that is not one of the six is a usage error.
TEST(CliOutput, LineFormatOfAnAttempt) {
  TFoundDevice even{
      {"ttyS1", 9600, TDeviceProtocol::dpOrvatAscii, TConnectionType::ctSerialPort, 95}, {}};
  even.Attempt.LineFormat = ParseLineFormat("8E1");
  even.Info.Address = 65;
  EXPECT_EQ(FoundJson(even),
            "{\"event\":\"found\",\"connection\":\"ttyS1\",\"baudOrPort\":9600,"
            "\"lineFormat\":\"8E1\",\"connectionType\":\"serial\",\"protocol\":\"OrvatASCII\","
            "\"probedAddress\":95,\"address\":65}");
  EXPECT_NE(ErrorJson(even.Attempt, "Нет ответа", "EReadMessageTimeoutError")
                .find("\"baudOrPort\":9600,\"lineFormat\":\"8E1\","),
            std::string::npos);
  EXPECT_EQ(ResultRowCells(even).at(1), "ttyS1:9600:8E1");

  EXPECT_EQ(ParseCliOptions({}).Choice.LineFormats, std::vector<TLineFormat>{DefaultLineFormat});
  EXPECT_EQ(LineFormatListText(ParseCliOptions({"--line-formats", "8e1, 8N2"}).Choice.LineFormats),
            "8E1,8N2");
  for (const char* bad : {"7E1", "8N1,8X1", ",", ""})
    EXPECT_THROW(ParseCliOptions({"--line-formats", bad}), TUsageError) << bad;
}

TEST(CliOutput, PortListWithAdapterDescriptions) {
  TListedPort ftdi{"ttyUSB0", {}};
  ftdi.Description.Manufacturer = "FTDI";
  ftdi.Description.Product = "FT232R \"USB\" UART";
  ftdi.Description.SerialNumber = "A5";
  ftdi.Description.ById = "usb-FTDI_A5-if00-port0";
  const TListedPort plain{"/tmp/probrix-sim-a", {}};
  EXPECT_EQ(PortListText({ftdi, plain}),
            "ttyUSB0             FTDI FT232R \"USB\" UART, серийный номер A5, "
            "/dev/serial/by-id/usb-FTDI_A5-if00-port0\n"
            "/tmp/probrix-sim-a\n");
  EXPECT_EQ(
      PortJson(ftdi),
      "{\"port\":\"ttyUSB0\",\"manufacturer\":\"FTDI\",\"product\":\"FT232R \\\"USB\\\" "
      "UART\",\"serialNumber\":\"A5\",\"byId\":\"/dev/serial/by-id/usb-FTDI_A5-if00-port0\"}");
  EXPECT_EQ(PortJson(plain),
            "{\"port\":\"/tmp/probrix-sim-a\",\"manufacturer\":\"\",\"product\":\"\","
            "\"serialNumber\":\"\",\"byId\":\"\"}");

  // What an adapter or udev says may hold control characters: one port, one line.
  TListedPort evil{"ttyUSB1", {}};
  evil.Description.Manufacturer =
      "Evil\xC2\x9B"
      "2J";
  evil.Description.Product = "P\xC0\x8D";
  evil.Description.ById = "usb-a\nb";
  EXPECT_EQ(PortListText({evil}),
            "ttyUSB1  Evil\\xC2\\x9B2J P\\xC0\\x8D, /dev/serial/by-id/usb-a\\x0Ab\n");
  EXPECT_EQ(PortJson(evil),
            "{\"port\":\"ttyUSB1\",\"manufacturer\":\"Evil\\u009B2J\",\"product\":\"P\xEF\xBF\xBD"
            "\xEF\xBF\xBD\",\"serialNumber\":\"\",\"byId\":\"/dev/serial/by-id/usb-a\\nb\"}");
}

// JSON is UTF-8: bytes of another encoding become U+FFFD, never a line a parser rejects.
TEST(CliOutput, JsonStringsAreAlwaysUtf8) {
  EXPECT_EQ(JsonString("я\xFF"), "\"я\xEF\xBF\xBD\"");
  EXPECT_EQ(JsonString("\xC0\xAF"), "\"\xEF\xBF\xBD\xEF\xBF\xBD\"") << "overlong";
  EXPECT_EQ(JsonString("\xED\xA0\x80"), "\"\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\"") << "surrogate";
  EXPECT_EQ(JsonString("a\xE2\x82"), "\"a\xEF\xBF\xBD\xEF\xBF\xBD\"") << "cut short";
  EXPECT_EQ(JsonString("\xF0\x9F\x94\x8C"), "\"\xF0\x9F\x94\x8C\"");
  EXPECT_EQ(JsonString("\xC0\x8D\xC0\x8A"), "\"\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\"")
      << "an overlong CR LF is no line break";
  EXPECT_EQ(JsonString("\x7F\xC2\x85\xE2\x80\xA8\xC2\xA0"), "\"\\u007F\\u0085\\u2028\xC2\xA0\"")
      << "DEL, C1 controls and the line separator escaped; a no-break space is text";
}

// An error that ends the run is its outcome: status 3, a message on standard error and a fatal
// JSON event, not "nothing found".
class CliRun : public test::LoggingFixture {};

TEST_F(CliRun, RunEndingErrorExitsThreeWithAFatalEvent) {
  Start();
  const TDeviceSearcherFactory previous =
      SetDeviceSearcherFactory([](const std::string&, std::int32_t, TDeviceProtocol,
                                  TConnectionType) -> std::unique_ptr<IDeviceSearcher> {
        throw EConnectionCloseError::Create("[TcpAddr=h;TcpPort=1] Ошибка закрытия");
      });
  TCliOptions o = ParseCliOptions({"--json", "-t", "10.255.255.1:502", "-P", "modbustcp"});
  o.LogDir = Temp.Path().string();
  std::ostringstream out, err;
  const platform::TCancelEvent stop;
  const int status = RunCli(o, out, err, stop);
  SetDeviceSearcherFactory(previous);
  EXPECT_EQ(status, 3);
  EXPECT_NE(err.str().find("Поиск прерван ошибкой: "), std::string::npos) << err.str();
  EXPECT_NE(out.str().find("{\"event\":\"error\",\"fatal\":true,\"error\":\""), std::string::npos)
      << out.str();
  EXPECT_NE(out.str().find("Ошибка закрытия"), std::string::npos) << out.str();
  EXPECT_NE(out.str().find("\"event\":\"finished\""), std::string::npos);
}

TEST(CliOutput, ModbusDevicesOfBothMakers) {
  TFoundDevice maker{{"plc", 502, TDeviceProtocol::dpModbusTcp, TConnectionType::ctTcp, 1}, {}};
  maker.Info.Address = 1;
  maker.Info.DeviceType = 206;
  maker.Info.FirmwareVersion = 312;
  maker.Info.SerialNumber = 20001;
  EXPECT_EQ(FoundJson(maker),
            "{\"event\":\"found\",\"connection\":\"plc\",\"baudOrPort\":502,"
            "\"connectionType\":\"tcp\",\"protocol\":\"ModbusTCP\",\"probedAddress\":1,"
            "\"address\":1,\"deviceTypeCode\":206,\"deviceType\":\"R7391\",\"firmwareCode\":312,"
            "\"firmware\":\"3.12\",\"serialNumber\":20001,\"vendor\":null,\"productCode\":null,"
            "\"revision\":null,\"modbusException\":null,\"sameAsUnit\":null}");

  TFoundDevice other{{"plc", 502, TDeviceProtocol::dpModbusTcp, TConnectionType::ctTcp, 3}, {}};
  other.Info.Address = 3;
  other.Info.OtherMaker = true;
  other.Info.VendorName = "ACME \"Meters\"";
  other.Info.ProductCode = "PX-1";
  other.Info.MajorMinorRevision = "1.02";
  other.Info.ModbusException = 2;
  other.Info.SameAsUnit = 2;
  EXPECT_EQ(FoundJson(other),
            "{\"event\":\"found\",\"connection\":\"plc\",\"baudOrPort\":502,"
            "\"connectionType\":\"tcp\",\"protocol\":\"ModbusTCP\",\"probedAddress\":3,"
            "\"address\":3,\"deviceTypeCode\":null,\"deviceType\":\"ACME \\\"Meters\\\" PX-1\","
            "\"firmwareCode\":null,\"firmware\":\"1.02\",\"serialNumber\":null,"
            "\"vendor\":\"ACME \\\"Meters\\\"\",\"productCode\":\"PX-1\",\"revision\":\"1.02\","
            "\"modbusException\":2,\"sameAsUnit\":2}");
  EXPECT_EQ(ResultRowCells(other),
            (std::vector<std::string>{"3", "plc:502", "TCP/IP", "ModbusTCP",
                                      "ACME \"Meters\" PX-1 (повтор адреса 2)", "", "1.02"}));

  // The maker's registers with a type code the maker's table does not know: what the device
  // says of itself, its codes kept.
  TFoundDevice unknown{{"plc", 502, TDeviceProtocol::dpModbusTcp, TConnectionType::ctTcp, 4}, {}};
  unknown.Info.Address = 4;
  unknown.Info.DeviceType = 99;
  unknown.Info.FirmwareVersion = 305;
  unknown.Info.SerialNumber = 30003;
  unknown.Info.VendorName = "Wexa";
  unknown.Info.ProductCode = "WM-3";
  unknown.Info.MajorMinorRevision = "2.0";
  EXPECT_EQ(FoundJson(unknown),
            "{\"event\":\"found\",\"connection\":\"plc\",\"baudOrPort\":502,"
            "\"connectionType\":\"tcp\",\"protocol\":\"ModbusTCP\",\"probedAddress\":4,"
            "\"address\":4,\"deviceTypeCode\":99,\"deviceType\":\"Wexa WM-3\",\"firmwareCode\":305,"
            "\"firmware\":\"2.0\",\"serialNumber\":null,\"vendor\":\"Wexa\",\"productCode\":"
            "\"WM-3\",\"revision\":\"2.0\",\"modbusException\":null,\"sameAsUnit\":null}");
  EXPECT_EQ(
      ResultRowCells(unknown),
      (std::vector<std::string>{"4", "plc:502", "TCP/IP", "ModbusTCP", "Wexa WM-3", "", "2.0"}));
  // Only a revision is no name: the maker's undefined type stays, with its numbers.
  unknown.Info.VendorName.clear();
  unknown.Info.ProductCode.clear();
  EXPECT_EQ(ResultRowCells(unknown),
            (std::vector<std::string>{"4", "plc:502", "TCP/IP", "ModbusTCP", "Неопределен", "30003",
                                      "3.5"}));
  // A known type is never shown by what else it says.
  maker.Info.VendorName = "Orvat";
  EXPECT_EQ(ResultRowCells(maker)[4], "R7391");
}

}  // namespace
}  // namespace probrix::cli
