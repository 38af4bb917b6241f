#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <sstream>

#include "foundation/appExceptions.h"
#include "search/uEndPointRange.h"
#include "search/uSearchParams.h"
#include "support/TestSupport.h"

namespace probrix {
namespace {

using Bytes = std::vector<std::uint8_t>;

TEST(AddressList, Grammar) {
  EXPECT_EQ(ParseAddressList("1, 5-7,3"), (Bytes{1, 5, 6, 7, 3}));
  EXPECT_EQ(ParseAddressList("1 2"), (Bytes{1, 2}));
  EXPECT_EQ(ParseAddressList(""), Bytes{});
  EXPECT_EQ(ParseAddressList(" , ,"), Bytes{});
  EXPECT_EQ(ParseAddressList("7-5"), Bytes{});
  EXPECT_EQ(ParseAddressList("1,7-5"), Bytes{1}) << "the grammar of stored lists is unchanged";
  EXPECT_EQ(CheckAddressList("7-5"), Bytes{}) << "alone it gives nothing; the plan says so";
  EXPECT_EQ(CheckAddressList("1, 5-7,3"), (Bytes{1, 5, 6, 7, 3}));
  EXPECT_EQ(ParseAddressList("5--7"), (Bytes{5, 6, 7}));
  EXPECT_EQ(ParseAddressList("5---7"), (Bytes{5, 6, 7}));
  EXPECT_EQ(ParseAddressList("250-255"), (Bytes{250, 251, 252, 253, 254, 255}));
  EXPECT_EQ(ParseAddressList("3,3"), (Bytes{3, 3}));
  EXPECT_THROW(ParseAddressList("\"1 - 2\""), EMathInvalidArgument) << "quotes keep one item";
  EXPECT_EQ(ParseAddressList("0-247").size(), 248u);
}

TEST(AddressList, ErrorsNameTheItemAndTheList) {
  try {
    ParseAddressList("1, 1-x");
    FAIL();
  } catch (const EMathInvalidArgument& e) {
    EXPECT_STREQ(e.ClassName(), "EInvalidArgument");
    EXPECT_EQ(e.Message, "Задан ошибочный адрес или диапазон (1-x) в списке адресов (1, 1-x)");
  }
  try {
    ParseAddressList("2--x");
    FAIL();
  } catch (const EMathInvalidArgument& e) {
    EXPECT_EQ(e.Message, "Задан ошибочный адрес или диапазон (2-x) в списке адресов (2--x)");
  }
  EXPECT_THROW(ParseAddressList("-5"), EMathInvalidArgument);
  EXPECT_THROW(ParseAddressList("a"), EMathInvalidArgument);
  EXPECT_THROW(ParseAddressList("99999999999"), EMathInvalidArgument);
  // Addresses are never wrapped onto ones the operator did not name.
  for (const char* text : {"256", "300", "999999", "250-260", "0-256", "300-5"})
    EXPECT_THROW(ParseAddressList(text), EMathInvalidArgument) << text;
  // A range that would only repeat addresses for hours is refused instead of exhausting memory.
  EXPECT_THROW(ParseAddressList("0-2147483647"), EMathInvalidArgument);
}

TEST(EndPointRange, RangesBlocksAndRefusals) {
  struct TCase {
    const char* Text;
    const char* First;  // nullptr: refused, the message holding Says
    const char* Last = "";
    std::size_t Count = 0;
    const char* Says = "";
  };
  const std::vector<TCase> cases{
      {"192.168.1.10-60:502", "192.168.1.10", "192.168.1.60", 51},
      {"10.0.0.5-5:502", "10.0.0.5", "10.0.0.5", 1},
      {"10.0.0.0-255:502", "10.0.0.0", "10.0.0.255", 256},
      {"192.168.1.0/24:502", "192.168.1.1", "192.168.1.254", 254},
      {"192.168.1.77/24:502", "192.168.1.1", "192.168.1.254", 254},  // the block that holds it
      {"10.1.0.0/16:502", "10.1.0.1", "10.1.255.254", 65534},
      {"10.0.0.8/30:502", "10.0.0.9", "10.0.0.10", 2},
      {"10.0.0.8/31:502", "10.0.0.8", "10.0.0.9", 2},  // point to point: both are hosts
      {"10.0.0.8/32:502", "10.0.0.8", "10.0.0.8", 1},
      {"10.0.0.0/24", "10.0.0.1", "10.0.0.254", 254},  // a stored entry without a port
      {"10.0.0.60-10:502", nullptr, "", 0, "от 60 до 255"},
      {"10.0.0.1-256:502", nullptr, "", 0, "от 1 до 255"},
      {"10.0.0.1-x:502", nullptr},
      {"10.0.0.1-10.0.0.9:502", nullptr, "", 0, "последний октет"},
      {"10.0.0.300-301:502", nullptr, "", 0, "начало диапазона"},
      {"10.0.0.0/33:502", nullptr, "", 0, "от 16 до 32"},
      {"10.0.0.0/:502", nullptr},
      {"10.0/8:502", nullptr, "", 0, "192.168.1.0/24"},
      {"10.0.0.0/15:502", nullptr, "", 0, "131072 адресов, больше 65536"},
      {"0.0.0.0/0:502", nullptr, "", 0, "4294967296"},
      {"10.0.0.1-5:502:7", nullptr, "", 0, "лишнее двоеточие"},
      {"[fe80::/64]:502", nullptr, "", 0, "IPv6 не поддерживаются"},
      {"[fe80::1-20]:502", nullptr, "", 0, "IPv6"},
      {"fe80::/64:502", nullptr, "", 0, "IPv6"},
      {"1::/64", nullptr, "", 0, "IPv6"},
  };
  for (const TCase& c : cases) {
    ASSERT_TRUE(IsEndPointRangeText(c.Text)) << c.Text;
    try {
      const TEndPointRange r = ParseEndPointRange(c.Text);
      ASSERT_NE(c.First, nullptr) << c.Text << ": accepted";
      EXPECT_EQ(r.AddressText(0), c.First) << c.Text;
      EXPECT_EQ(r.AddressText(r.Count() - 1), c.Last) << c.Text;
      EXPECT_EQ(r.Count(), c.Count) << c.Text;
      EXPECT_EQ(r.Port, std::string_view(c.Text).find(':') == std::string_view::npos ? 9999 : 502)
          << c.Text;
    } catch (const EArgumentError& E) {
      ASSERT_EQ(c.First, nullptr) << c.Text << ": " << E.Message;
      EXPECT_EQ(E.Message.rfind(std::string("Ошибочное TCP-подключение (") + c.Text + "): ", 0), 0u)
          << E.Message;
      EXPECT_NE(E.Message.find(c.Says), std::string::npos) << E.Message;
    }
  }
  // One host, however it is written, stays one endpoint; so does a name with a dash.
  for (const char* text : {"10.0.0.5:502", "plc-1.local:502", "10-0-0-5:502", "[::1]:502",
                           "[fe80::1%br-lan]:502", "::1:502", "h", ""})
    EXPECT_FALSE(IsEndPointRangeText(text)) << text;
}

TEST(CommaText, SplitAndJoin) {
  EXPECT_EQ(SplitCommaText("a,b c"), (std::vector<std::string>{"a", "b", "c"}));
  EXPECT_EQ(SplitCommaText("\"a b\",\"x\"\"y\""), (std::vector<std::string>{"a b", "x\"y"}));
  EXPECT_EQ(SplitCommaText("a,,b"), (std::vector<std::string>{"a", "", "b"}));
  EXPECT_EQ(SplitCommaText("a,"), (std::vector<std::string>{"a", ""}));
  EXPECT_EQ(JoinCommaText({"a", "b c", "x\"y", "d,e"}), "a,\"b c\",\"x\"\"y\",\"d,e\"");
  const std::vector<std::string> items{"plc 1:502=1", "10.0.0.1:502=0", "q\"=1"};
  EXPECT_EQ(SplitCommaText(JoinCommaText(items)), items);
}

TEST(CheckList, EncodeDecodeAndApply) {
  EXPECT_EQ(EncodeCheckList({{"COM1", true}, {"COM3", false}}), "\"COM1=1,COM3=0\"");
  EXPECT_EQ(EncodeCheckList({{"COM1", true}, {"COM1", false}}), "\"COM1=0\"");
  const std::string stored = EncodeCheckList({{"host one:502", true}, {"10.0.0.5:502", false}});
  EXPECT_EQ(stored, "\"\"host one:502=1\",10.0.0.5:502=0\"");
  const TNameValueList pairs = DecodeCheckList(stored);
  ASSERT_EQ(pairs.size(), 2u);
  EXPECT_EQ(pairs[0], (std::pair<std::string, std::string>{"host one:502", "1"}));
  EXPECT_EQ(pairs[1], (std::pair<std::string, std::string>{"10.0.0.5:502", "0"}));

  TCheckItems items{{"COM1", false}, {"COM2", true}, {"COM4", true}};
  ApplyCheckStates(items, DecodeCheckList("\"COM1=1,COM2=0,COM9=1\""));
  EXPECT_EQ(items, (TCheckItems{{"COM1", true}, {"COM2", false}, {"COM4", true}}));
  EXPECT_TRUE(DecodeCheckList("\"").empty());
  EXPECT_TRUE(DecodeCheckList("garbage without pairs").empty());
}

TEST(CheckList, OldModbusKey) {
  TProtocolChoice c = DecodeProtocols(DecodeCheckList("\"Orvatbus=0,Modbus=1\""));
  EXPECT_FALSE(c.Orvatbus);
  EXPECT_TRUE(c.ModbusRTU);
  EXPECT_TRUE(c.OrvatAscii) << "missing pairs keep the current state";
  c = DecodeProtocols(DecodeCheckList("\"Modbus=1,ModbusRTU=0\""));
  EXPECT_FALSE(c.ModbusRTU) << "ModbusRTU wins over the old key";
  EXPECT_EQ(EncodeProtocols({true, false, true, false}),
            "\"Orvatbus=1,ModbusRTU=0,ModbusTCP=1,OrvatASCII=0\"");
}

TEST(Settings, WrittenAndReadBackByteForByte) {
  test::TTempDir dir;
  const auto path = dir.Path() / "probrix.ini";
  TSearchSettings values;
  values.OrvatbusAddresses = "1,2";
  values.SaveSearchLogs = true;
  values.StartOfPacketReadTimeout = 350;
  values.ParallelConnections = 4;
  {
    TIniFile ini(path);
    SaveSearchSettings(ini, EncodeCheckList({{"ttyUSB0", true}}),
                       EncodeCheckList({{"9600", true}, {"115200", false}}),
                       EncodeCheckList({{"пульт 1:502", true}}),
                       EncodeProtocols({true, true, false, false}), values);
  }
  std::ifstream in(path, std::ios::binary);
  std::stringstream bytes;
  bytes << in.rdbuf();
  EXPECT_EQ(bytes.str(),
            "[SearchParams]\r\nSerialPorts=\"ttyUSB0=1\"\r\nBaudRates=\"9600=1,115200=0\"\r\n"
            "TCPConnections=\"\"\xEF\xF3\xEB\xFC\xF2 1:502=1\"\"\r\n"
            "Protocols=\"Orvatbus=1,ModbusRTU=1,ModbusTCP=0,OrvatASCII=0\"\r\n"
            "SearchSingleOrvatbusDevice=1\r\nOrvatbusAddresses=1,2\r\nModbusAddresses=0-247\r\n"
            "RequestRetryCount=1\r\nStartOfPacketReadTimeout=350\r\nWritePacketTimeout=100\r\n"
            "SaveSearchLogs=1\r\nParallelConnections=4\r\n");

  const TSearchSettings back = LoadSearchSettings(TIniFile(path));
  ASSERT_EQ(back.TCPConnections.size(), 1u);
  EXPECT_EQ(back.TCPConnections[0].first, "пульт 1:502");
  EXPECT_EQ(back.OrvatbusAddresses, "1,2");
  EXPECT_EQ(back.StartOfPacketReadTimeout, 350);
  EXPECT_TRUE(back.SaveSearchLogs);
  EXPECT_TRUE(back.ModbusAddresses == "0-247");
  EXPECT_EQ(back.ParallelConnections, 4);
}

TEST(Settings, MissingFileGivesDefaults) {
  test::TTempDir dir;
  const TSearchSettings s = LoadSearchSettings(TIniFile(dir.Path() / "none.ini"));
  EXPECT_TRUE(s.TCPConnections.empty());
  EXPECT_TRUE(s.SearchSingleOrvatbusDevice);
  EXPECT_FALSE(s.SaveSearchLogs);
  EXPECT_EQ(s.OrvatbusAddresses, "0-31");
  EXPECT_EQ(s.StartOfPacketReadTimeout, 200);
  EXPECT_EQ(s.ParallelConnections, 1) << "one connection after another";
}

TEST(SearchPlan, ProtocolOrderAddressesAndTimeouts) {
  TSearchDevicesTask task;
  TSearchChoice c;
  c.SerialPortNames = {"ttyS1"};
  c.BaudRates = {9600};
  c.Protocols = {true, true, true, true};
  c.SearchSingleOrvatbusDevice = false;
  c.OrvatbusAddresses = "1-3";
  c.ModbusAddresses = "17";
  c.StartOfPacketReadTimeout = 50;
  c.ParallelConnections = 6;
  FillSearchPlan(task, c);
  EXPECT_EQ(task.Protocols, (std::vector<TDeviceProtocol>{
                                TDeviceProtocol::dpOrvatAscii, TDeviceProtocol::dpOrvatbus,
                                TDeviceProtocol::dpModbusRtu, TDeviceProtocol::dpModbusTcp}));
  EXPECT_EQ(task.Addresses[0], (Bytes{1, 2, 3}));
  EXPECT_EQ(task.Addresses[1], Bytes{17});
  EXPECT_EQ(task.Addresses[2], Bytes{17});
  EXPECT_EQ(task.Addresses[3], Bytes{95});
  EXPECT_EQ(task.ReadTimeout, 150);
  EXPECT_EQ(task.StartOfPacketReadTimeout, 50);
  EXPECT_EQ(task.ParallelConnections, 6);

  TSearchDevicesTask single;
  c.SearchSingleOrvatbusDevice = true;
  c.OrvatbusAddresses = "not parsed in single-device mode";
  c.Protocols = {true, false, false, false};
  FillSearchPlan(single, c);
  EXPECT_EQ(single.Protocols, (std::vector<TDeviceProtocol>{TDeviceProtocol::dpOrvatbus}));
  EXPECT_EQ(single.Addresses[0], Bytes{95});

  TSearchDevicesTask bad;
  c.Protocols = {false, true, false, false};
  c.ModbusAddresses = "1-x";
  EXPECT_THROW(FillSearchPlan(bad, c), EMathInvalidArgument);
}

// One table for the plan check: every number at both ends of its range and one past them, the
// values that used to wrap, endpoints and plans that would make no attempt.
TEST(SearchPlan, ValidationTable) {
  struct TCase {
    std::string What;
    std::function<void(TSearchChoice&)> Change;
    const char* Refusal;  // the class that refuses it; nullptr: accepted
    const char* Says = "";
    const TPlanLimits* Limits = &WindowPlanLimits;
  };
  const auto timeout = [](int V) {
    return [V](TSearchChoice& C) { C.StartOfPacketReadTimeout = V; };
  };
  const auto retries = [](int V) { return [V](TSearchChoice& C) { C.RequestRetryCount = V; }; };
  const auto parallel = [](int V) { return [V](TSearchChoice& C) { C.ParallelConnections = V; }; };
  const auto modbus = [](std::string V) {
    return [V](TSearchChoice& C) { C.ModbusAddresses = V; };
  };
  const auto endpoint = [](std::string V) {
    return [V](TSearchChoice& C) {
      C.SerialPortNames.clear();
      C.TcpEndpoints = {V};
    };
  };
  const char* range = "ERangeError";
  const char* address = "EInvalidArgument";
  const char* argument = "EArgumentError";
  const std::vector<TCase> cases{
      {"timeout 10", timeout(10), nullptr},
      {"timeout 9", timeout(9), range,
       "StartOfPacketReadTimeout=9: допустимы значения от 10 до 10000"},
      {"timeout 10000", timeout(10000), nullptr},
      {"timeout 10001", timeout(10001), range},
      {"timeout 0", timeout(0), range},
      {"timeout -5", timeout(-5), range},
      {"timeout max", timeout(2147483647), range},
      {"cli timeout 1", timeout(1), nullptr, "", &CliPlanLimits},
      {"cli timeout 0", timeout(0), range, "от 1 до 60000", &CliPlanLimits},
      {"cli timeout 60000", timeout(60000), nullptr, "", &CliPlanLimits},
      {"cli timeout 60001", timeout(60001), range, "", &CliPlanLimits},
      {"cli timeout 715827883", timeout(715827883), range, "", &CliPlanLimits},
      {"retries 0", retries(0), nullptr},
      {"retries -1", retries(-1), range, "RequestRetryCount=-1"},
      {"retries 100", retries(100), nullptr},
      {"retries 101", retries(101), range},
      {"retries max", retries(2147483647), range},
      {"1 connection at once", parallel(1), nullptr},
      {"32 connections at once", parallel(32), nullptr},
      {"33 connections at once", parallel(33), range,
       "ParallelConnections=33: допустимы значения от 1 до 32"},
      {"0 in the window", parallel(0), range},
      {"cli 0: one per connection", parallel(0), nullptr, "", &CliPlanLimits},
      {"cli -1", parallel(-1), range, "от 0 до 32", &CliPlanLimits},
      {"cli 33", parallel(33), range, "", &CliPlanLimits},
      {"address 0", modbus("0"), nullptr},
      {"address 255", modbus("255"), nullptr},
      {"address 256", modbus("256"), address, "(256)"},
      {"address 999999", modbus("999999"), address},
      {"range 250-260", modbus("250-260"), address},
      {"a backwards range among others", modbus("1,5-1"), address,
       "(5-1) в списке адресов (1,5-1): начало диапазона больше его конца"},
      {"a backwards range after a range", modbus("1-3 9--7"), address, "(9-7)"},
      {"port 1", endpoint("h:1"), nullptr},
      {"port 65535", endpoint("h:65535"), nullptr},
      {"port 0", endpoint("h:0"), argument, "(h:0)"},
      {"port 65536", endpoint("h:65536"), argument},
      {"port 113937", endpoint("127.0.0.1:113937"), argument},
      {"port -1", endpoint("h:-1"), argument},
      {"port abc", endpoint("h:abc"), argument},
      {"port empty", endpoint("h:"), argument},
      {"stored endpoint without a port", endpoint("h"), nullptr},
      {"IPv6", endpoint("[::1]:502"), nullptr},
      {"IPv6 with a zone", endpoint("[fe80::1%eth0]:502"), nullptr},
      {"IPv6 without brackets", endpoint("::1:502"), argument, "[::1]:502"},
      {"no host", endpoint(":502"), argument},
      {"a range", endpoint("127.0.0.2-12:502"), nullptr},
      {"a block of 65,536", endpoint("10.0.0.0/16:502"), nullptr},
      {"a block of more", endpoint("10.0.0.0/15:502"), argument, "больше 65536"},
      {"a range needs a port too", endpoint("10.0.0.0/24:0"), argument, "от 1 до 65535"},
      {"an IPv6 range", endpoint("[fe80::/120]:502"), argument, "IPv6"},
      {"nothing to search", [](TSearchChoice& C) { C.SerialPortNames.clear(); }, argument,
       "Нечего искать"},
      {"a port without a baud rate", [](TSearchChoice& C) { C.BaudRates.clear(); }, argument},
      {"no protocol",
       [](TSearchChoice& C) {
         C.Protocols = {false, false, false, false};
       },
       argument},
      {"an empty address range", modbus("5-3"), argument},
      {"every format of the plan",
       [](TSearchChoice& C) { C.LineFormats = ParseLineFormatList("8N1,8E1,8O1,8N2,8E2,8O2"); },
       nullptr},
      {"a format of 7 data bits",
       [](TSearchChoice& C) {
         C.LineFormats = {{7, platform::TParity::paEven, platform::TStopBits::sbOne}};
       },
       argument, "(7E1)"},
      {"mark parity",
       [](TSearchChoice& C) {
         C.LineFormats = {{8, platform::TParity::paMark, platform::TStopBits::sbOne}};
       },
       argument, "(8M1)"},
      {"ports without a format", [](TSearchChoice& C) { C.LineFormats.clear(); }, argument,
       "формат линии"},
      {"endpoints need no format",
       [](TSearchChoice& C) {
         C.LineFormats.clear();
         C.SerialPortNames.clear();
         C.TcpEndpoints = {"h:502"};
       },
       nullptr},
      {"OrvatASCII listens anyway",
       [](TSearchChoice& C) {
         C.ModbusAddresses = "5-3";
         C.Protocols.OrvatAscii = true;
       },
       nullptr},
  };
  for (const TCase& c : cases) {
    TSearchChoice choice;
    choice.SerialPortNames = {"ttyS1"};
    choice.BaudRates = {9600};
    choice.Protocols = {false, true, false, false};
    choice.ModbusAddresses = "1";
    c.Change(choice);
    TSearchDevicesTask task;
    try {
      FillSearchPlan(task, choice, *c.Limits);
      EXPECT_EQ(c.Refusal, nullptr) << c.What << ": accepted";
      EXPECT_EQ(task.ReadTimeout, 3 * choice.StartOfPacketReadTimeout) << c.What;
    } catch (const Exception& e) {
      ASSERT_NE(c.Refusal, nullptr) << c.What << ": " << e.Message;
      EXPECT_STREQ(e.ClassName(), c.Refusal) << c.What;
      EXPECT_NE(e.Message.find(c.Says), std::string::npos) << c.What << ": " << e.Message;
      EXPECT_TRUE(task.Protocols.empty()) << c.What << ": a refused plan fills nothing";
    }
  }
}

TEST(SearchPlan, SettingsNumbersClampedForTheWindowRefusedForTheCommandLine) {
  TSearchSettings s;
  s.StartOfPacketReadTimeout = 0;
  s.RequestRetryCount = 2147483647;
  s.WritePacketTimeout = -5;
  s.ParallelConnections = 64;
  try {
    CheckSearchSettings(s, CliPlanLimits);
    ADD_FAILURE() << "accepted";
  } catch (const ERangeError& e) {
    EXPECT_EQ(e.Message, "RequestRetryCount=2147483647: допустимы значения от 0 до 100");
  }
  const std::vector<std::string> notices = ClampSearchSettings(s, WindowPlanLimits);
  EXPECT_EQ(s.StartOfPacketReadTimeout, 10);
  EXPECT_EQ(s.RequestRetryCount, 100);
  EXPECT_EQ(s.WritePacketTimeout, 1);
  EXPECT_EQ(s.ParallelConnections, 32);
  ASSERT_EQ(notices.size(), 4u);
  EXPECT_NE(notices[1].find("StartOfPacketReadTimeout=0"), std::string::npos) << notices[1];
  EXPECT_NO_THROW(CheckSearchSettings(s, WindowPlanLimits));
  EXPECT_TRUE(ClampSearchSettings(s, WindowPlanLimits).empty()) << "said once";
}

// A stored value that cannot be read is no longer taken for the default in silence: the command
// line refuses it, the window keeps the default and says so once per key. What the INI reading
// has always accepted (hexadecimal "$C8", an empty value for an absent one) stays as it was.
TEST(SearchPlan, UnreadableSettingsValuesAreNamed) {
  TIniFile ini("/nonexistent/probrix.ini");
  ini.SetText(
      "[SearchParams]\r\nStartOfPacketReadTimeout=abc\r\nRequestRetryCount=$3\r\n"
      "WritePacketTimeout=\r\nSaveSearchLogs=yes\r\nParallelConnections=0x10\r\n"
      "Protocols=\"Bogus=1,ModbusTCP=1,orvatbus=0,Modbus=1\"\r\n");
  TSearchSettings s = LoadSearchSettings(ini);
  EXPECT_EQ(s.StartOfPacketReadTimeout, 200);
  EXPECT_EQ(s.RequestRetryCount, 3);
  EXPECT_EQ(s.WritePacketTimeout, 100);
  EXPECT_FALSE(s.SaveSearchLogs);
  EXPECT_EQ(s.ParallelConnections, 16);
  const TProtocolChoice p = DecodeProtocols(s.Protocols);
  EXPECT_TRUE(p.ModbusTCP) << "the known names still count";
  EXPECT_TRUE(p.ModbusRTU);

  const auto refused = test::Caught<EArgumentError>([&] { CheckSearchSettings(s, CliPlanLimits); });
  EXPECT_EQ(refused.Message, "Protocols: неизвестный протокол (Bogus, orvatbus)");
  const std::vector<std::string> notices = ClampSearchSettings(s, WindowPlanLimits);
  EXPECT_EQ(notices, (std::vector<std::string>{
                         "Файл настроек: Protocols: неизвестный протокол (Bogus, orvatbus); "
                         "пропущено",
                         "Файл настроек: StartOfPacketReadTimeout=abc: не число; взято 200",
                         "Файл настроек: SaveSearchLogs=yes: не число; взято 0"}));
  EXPECT_TRUE(ClampSearchSettings(s, WindowPlanLimits).empty()) << "said once";
  EXPECT_NO_THROW(CheckSearchSettings(s, CliPlanLimits));

  // A value is shown as a line of the protocol can show it.
  ini.SetText("[SearchParams]\r\nRequestRetryCount=1\x1B[2J\r\n");
  EXPECT_EQ(LoadSearchSettings(ini).Unreadable.at(0).What, "RequestRetryCount=1\\x1B[2J: не число");
}

// "LineFormats": absent or empty is 8N1 alone, and a file of the default search keeps no such
// key; another list is written and read back; unknown names are left out and said by the
// window, refused by the command line.
TEST(Settings, LineFormatsKey) {
  test::TTempDir dir;
  const auto path = dir.Path() / "probrix.ini";
  const auto save = [&](const TSearchSettings& Values) {
    TIniFile ini(path);
    SaveSearchSettings(ini, "\"\"", "\"\"", "\"\"", EncodeProtocols({}), Values);
  };
  const auto stored = [&] { return TIniFile(path).ReadString("SearchParams", "LineFormats", "?"); };
  TSearchSettings values;
  EXPECT_EQ(values.LineFormats, std::vector<TLineFormat>{DefaultLineFormat});
  save(values);
  EXPECT_EQ(stored(), "?") << "the default search writes no new key";
  values.LineFormats = ParseLineFormatList("8E1,8N1,8O2");
  save(values);
  EXPECT_EQ(stored(), "8E1,8N1,8O2");
  EXPECT_EQ(LoadSearchSettings(TIniFile(path)).LineFormats, values.LineFormats);
  values.LineFormats = {DefaultLineFormat};
  save(values);
  EXPECT_EQ(stored(), "8N1") << "back to the default is stored too";

  TIniFile ini("/nonexistent/probrix.ini");
  ini.SetText("[SearchParams]\r\nLineFormats=\r\n");
  EXPECT_EQ(LoadSearchSettings(ini).LineFormats, std::vector<TLineFormat>{DefaultLineFormat});
  ini.SetText("[SearchParams]\r\nLineFormats=8n2, 7E1,8N2 9N1\r\n");
  TSearchSettings s = LoadSearchSettings(ini);
  EXPECT_EQ(LineFormatListText(s.LineFormats), "8N2");
  EXPECT_EQ(test::Caught<EArgumentError>([&] { CheckSearchSettings(s, CliPlanLimits); }).Message,
            "LineFormats: неизвестный формат линии (7E1, 9N1)");
  EXPECT_EQ(ClampSearchSettings(s, WindowPlanLimits),
            std::vector<std::string>{
                "Файл настроек: LineFormats: неизвестный формат линии (7E1, 9N1); пропущено"});
  ini.SetText("[SearchParams]\r\nLineFormats=8N3\r\n");
  s = LoadSearchSettings(ini);
  EXPECT_EQ(s.LineFormats, std::vector<TLineFormat>{DefaultLineFormat});
  EXPECT_EQ(ClampSearchSettings(s, WindowPlanLimits),
            std::vector<std::string>{
                "Файл настроек: LineFormats: неизвестный формат линии (8N3); взято 8N1"});
}

}  // namespace
}  // namespace probrix
