#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "foundation/appExceptions.h"
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
  EXPECT_EQ(ParseAddressList("5--7"), (Bytes{5, 6, 7}));
  EXPECT_EQ(ParseAddressList("5---7"), (Bytes{5, 6, 7}));
  EXPECT_EQ(ParseAddressList("300"), Bytes{44});
  EXPECT_EQ(ParseAddressList("250-260"), (Bytes{250, 251, 252, 253, 254, 255, 0, 1, 2, 3, 4}));
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
  // A range that would only repeat addresses for hours is refused instead of exhausting memory.
  EXPECT_THROW(ParseAddressList("0-2147483647"), EMathInvalidArgument);
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
            "SaveSearchLogs=1\r\n");

  const TSearchSettings back = LoadSearchSettings(TIniFile(path));
  ASSERT_EQ(back.TCPConnections.size(), 1u);
  EXPECT_EQ(back.TCPConnections[0].first, "пульт 1:502");
  EXPECT_EQ(back.OrvatbusAddresses, "1,2");
  EXPECT_EQ(back.StartOfPacketReadTimeout, 350);
  EXPECT_TRUE(back.SaveSearchLogs);
  EXPECT_TRUE(back.ModbusAddresses == "0-247");
}

TEST(Settings, MissingFileGivesDefaults) {
  test::TTempDir dir;
  const TSearchSettings s = LoadSearchSettings(TIniFile(dir.Path() / "none.ini"));
  EXPECT_TRUE(s.TCPConnections.empty());
  EXPECT_TRUE(s.SearchSingleOrvatbusDevice);
  EXPECT_FALSE(s.SaveSearchLogs);
  EXPECT_EQ(s.OrvatbusAddresses, "0-31");
  EXPECT_EQ(s.StartOfPacketReadTimeout, 200);
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

}  // namespace
}  // namespace probrix
