#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "connections/ioDeviceConnection.h"
#include "support/ScriptedConnection.h"

namespace probrix {
namespace {

using Items = std::vector<std::string>;

TEST(SerialConnectionStringTest, ComposesKeysInFixedOrder) {
  EXPECT_EQ(TSerialPortConnectionStringBuilder("COM3", true, 19200).GetConnectionString(),
            "PortName=COM3;BaudRate=19200;DtrEnable=1");
  EXPECT_EQ(TSerialPortConnectionStringBuilder("COM3", false, 19200).GetConnectionString(),
            "PortName=COM3;BaudRate=19200;DtrEnable=0");
  // A key with an empty value is never written.
  EXPECT_EQ(TSerialPortConnectionStringBuilder("", true, 9600).GetConnectionString(),
            "BaudRate=9600;DtrEnable=1");
}

TEST(SerialConnectionStringTest, PortNameWithBlankIsQuotedAndReadsBack) {
  const std::string text =
      TSerialPortConnectionStringBuilder("my port", true, 9600).GetConnectionString();
  EXPECT_EQ(text, "\"PortName=my port\";BaudRate=9600;DtrEnable=1");

  TSerialPortConnectionStringBuilder parsed;
  parsed.SetConnectionString(text);
  EXPECT_EQ(parsed.PortName, "my port");
  EXPECT_EQ(parsed.BaudRate, 9600u);
  EXPECT_TRUE(parsed.DtrEnable);
}

TEST(SerialConnectionStringTest, KeysAreCaseInsensitiveAndMissingKeysTakeDefaults) {
  TSerialPortConnectionStringBuilder b("X", false, 1);
  b.SetConnectionString("portname=com5;baudrate=4800");
  EXPECT_EQ(b.PortName, "com5");
  EXPECT_EQ(b.BaudRate, 4800u);
  EXPECT_TRUE(b.DtrEnable);

  b.SetConnectionString("");
  EXPECT_EQ(b.PortName, "");
  EXPECT_EQ(b.BaudRate, 9600u);
  EXPECT_TRUE(b.DtrEnable);
}

TEST(SerialConnectionStringTest, DtrEnableIsFalseOnlyForZero) {
  struct Case {
    const char* Text;
    bool Expected;
  };
  for (const Case& c :
       {Case{"DtrEnable=0", false}, Case{"DtrEnable=1", true}, Case{"DtrEnable=no", true},
        Case{"DtrEnable=", true}, Case{"DtrEnable=00", true}, Case{"DtrEnable=false", true},
        Case{"BaudRate=1200", true}, Case{"dtrenable=0", false}}) {
    TSerialPortConnectionStringBuilder b;
    b.SetConnectionString(c.Text);
    EXPECT_EQ(b.DtrEnable, c.Expected) << c.Text;
  }
}

TEST(ConnectionStringNumbersTest, NumbersOutsideTheirRangeOrNotNumbers) {
  EXPECT_EQ(ReadBaudRateValue("fast"), 9600u);
  EXPECT_EQ(ReadBaudRateValue(""), 9600u);
  EXPECT_EQ(ReadBaudRateValue("115200"), 115200u);
  EXPECT_EQ(ReadBaudRateValue("4294967295"), 4294967295u);
  EXPECT_EQ(ReadBaudRateValue("4294967296"), 9600u);
  EXPECT_EQ(ReadTcpPortValue("x"), 9999);
  EXPECT_EQ(ReadTcpPortValue(""), 9999);
  EXPECT_EQ(ReadTcpPortValue("502"), 502);
  EXPECT_EQ(ReadTcpPortValue("70000"), 4464);  // low 16 bits
  EXPECT_EQ(ReadTcpPortValue("65536"), 0);

  TTcpConnectionStringBuilder tcp;
  tcp.SetConnectionString("TcpAddr=h;TcpPort=70000");
  EXPECT_EQ(tcp.TcpPort, 4464);
  tcp.SetConnectionString("TcpAddr=h;TcpPort=x");
  EXPECT_EQ(tcp.TcpPort, 9999);
  TSerialPortConnectionStringBuilder serial;
  serial.SetConnectionString("BaudRate=fast");
  EXPECT_EQ(serial.BaudRate, 9600u);
}

TEST(ConnectionStringParseTest, BlanksSeparateItemsAndAreSkippedAroundSeparators) {
  EXPECT_EQ(TDeviceConnectionStringBuilder::SplitItems(" PortName=COM1 ; BaudRate=9600", ';'),
            (Items{"PortName=COM1", "BaudRate=9600"}));
  // A blank ends an unquoted item just as ";" does.
  EXPECT_EQ(TDeviceConnectionStringBuilder::SplitItems("TcpAddr=my host", ';'),
            (Items{"TcpAddr=my", "host"}));
  EXPECT_EQ(TDeviceConnectionStringBuilder::SplitItems("\t\r\n a;b", ';'), (Items{"a", "b"}));
  EXPECT_EQ(TDeviceConnectionStringBuilder::SplitItems("", ';'), Items{});
  EXPECT_EQ(TDeviceConnectionStringBuilder::SplitItems("   ", ';'), Items{});
}

TEST(ConnectionStringParseTest, EmptyItemsAndTrailingSeparator) {
  EXPECT_EQ(TDeviceConnectionStringBuilder::SplitItems("a;", ';'), (Items{"a", ""}));
  EXPECT_EQ(TDeviceConnectionStringBuilder::SplitItems(";", ';'), (Items{"", ""}));
  EXPECT_EQ(TDeviceConnectionStringBuilder::SplitItems("a;;b", ';'), (Items{"a", "", "b"}));
  EXPECT_EQ(TDeviceConnectionStringBuilder::SplitItems("a; ", ';'), (Items{"a"}));
}

TEST(ConnectionStringParseTest, QuotedItems) {
  EXPECT_EQ(TDeviceConnectionStringBuilder::SplitItems("\"a \"\"b\"\";c\";d", ';'),
            (Items{"a \"b\";c", "d"}));
  // An unclosed quote runs to the end of the text.
  TSerialPortConnectionStringBuilder b;
  b.SetConnectionString("\"PortName=COM1;BaudRate=1200");
  EXPECT_EQ(b.PortName, "COM1;BaudRate=1200");
  EXPECT_EQ(b.BaudRate, 9600u);
  // The two quote characters denote one empty item.
  EXPECT_EQ(TDeviceConnectionStringBuilder::SplitItems("\"\"", ';'), (Items{""}));
}

TEST(ConnectionStringComposeTest, QuotingRules) {
  EXPECT_EQ(TDeviceConnectionStringBuilder::JoinItems({}, ';'), "");
  EXPECT_EQ(TDeviceConnectionStringBuilder::JoinItems({""}, ';'), "\"\"");
  EXPECT_EQ(TDeviceConnectionStringBuilder::JoinItems({"a", ""}, ';'), "a;");
  EXPECT_EQ(TDeviceConnectionStringBuilder::JoinItems({"a\"b"}, ';'), "\"a\"\"b\"");
  EXPECT_EQ(TDeviceConnectionStringBuilder::JoinItems({"a;b", "c\td"}, ';'), "\"a;b\";\"c\td\"");
  // Bytes of 128 and more (UTF-8 text) are ordinary characters.
  EXPECT_EQ(TDeviceConnectionStringBuilder::JoinItems({"PortName=порт"}, ';'), "PortName=порт");
}

TEST(ConnectionStringComposeTest, ItemListsSurviveComposeAndParse) {
  std::mt19937 rng(12345);
  const std::string alphabet = std::string("ab=;\" \t:") + '\x01' + "\xD0\xBF";
  for (int round = 0; round < 2000; ++round) {
    Items items(rng() % 4 + 1);
    for (std::string& item : items) {
      const std::size_t len = rng() % 6;
      for (std::size_t i = 0; i < len; ++i) item.push_back(alphabet[rng() % alphabet.size()]);
    }
    for (char sep : {';', ':'}) {
      const std::string text = TDeviceConnectionStringBuilder::JoinItems(items, sep);
      EXPECT_EQ(TDeviceConnectionStringBuilder::SplitItems(text, sep), items) << text;
    }
  }
}

TEST(ConnectionStringValuesTest, GetAndSetValue) {
  TDeviceConnectionStringBuilder b;
  b.SetConnectionString("Foo=1;PortName=A;portname=B;NoKey;TcpAddr=a=b");
  EXPECT_EQ(b.GetValue("PORTNAME"), "A");   // the first item of a key counts
  EXPECT_EQ(b.GetValue("TcpAddr"), "a=b");  // everything after the first "="
  EXPECT_EQ(b.GetValue("NoKey"), "");       // items without "=" never match
  EXPECT_EQ(b.GetValue("Missing"), "");

  b.SetValue("portNAME", "C");
  EXPECT_EQ(b.Items(), (Items{"Foo=1", "portNAME=C", "portname=B", "NoKey", "TcpAddr=a=b"}));
  b.SetValue("New", "x");
  EXPECT_EQ(b.Items().back(), "New=x");
  b.SetValue("Foo", "");
  EXPECT_EQ(b.Items().front(), "portNAME=C");
  b.SetValue("Absent", "");
  EXPECT_EQ(b.Items().size(), 5u);
}

TEST(ConnectionStringValuesTest, UnknownItemsAreKeptWhenComposingAgain) {
  TSerialPortConnectionStringBuilder b;
  b.SetConnectionString("X=1;PortName=COM2;junk");
  EXPECT_EQ(b.GetConnectionString(), "X=1;PortName=COM2;junk;BaudRate=9600;DtrEnable=1");
}

TEST(ConnectionStringValuesTest, GarbageNeverFailsAndYieldsDefaultsWhereUnreadable) {
  std::mt19937 rng(7);
  for (int round = 0; round < 2000; ++round) {
    std::string text(rng() % 40, '\0');
    for (char& c : text) c = static_cast<char>(rng() % 256);
    TSerialPortConnectionStringBuilder serial;
    TTcpConnectionStringBuilder tcp;
    ASSERT_NO_THROW(serial.SetConnectionString(text));
    ASSERT_NO_THROW(tcp.SetConnectionString(text));
    ASSERT_NO_THROW(tcp.SetEndPointText(text));
    ASSERT_NO_THROW(serial.GetConnectionString());
  }
  TTcpConnectionStringBuilder tcp;
  tcp.SetConnectionString(";;\"=;=\x01");
  EXPECT_EQ(tcp.TcpAddr, "");
  EXPECT_EQ(tcp.TcpPort, 9999);
}

TEST(TcpConnectionStringTest, ComposeAndParse) {
  EXPECT_EQ(TTcpConnectionStringBuilder("10.0.0.7", 502).GetConnectionString(),
            "TcpAddr=10.0.0.7;TcpPort=502");
  TTcpConnectionStringBuilder b;
  EXPECT_EQ(b.TcpAddr, "localhost");
  EXPECT_EQ(b.TcpPort, 9999);
  b.SetConnectionString("tcpaddr=plc.local;TCPPORT=1502");
  EXPECT_EQ(b.TcpAddr, "plc.local");
  EXPECT_EQ(b.TcpPort, 1502);
}

TEST(TcpEndPointTextTest, HostAndPort) {
  struct Case {
    const char* Text;
    const char* Addr;
    std::uint16_t Port;
  };
  for (const Case& c :
       {Case{"10.0.0.5", "10.0.0.5", 9999}, Case{"10.0.0.5:502", "10.0.0.5", 502},
        Case{":502", "", 502}, Case{"host:abc", "host", 9999}, Case{"", "", 9999},
        Case{"host:", "host", 9999}, Case{"host:70000", "host", 4464},
        Case{" host : 77 ", "host", 77}, Case{"a:1:2", "a", 1}, Case{"\"my host\":5", "my host", 5},
        Case{"[::1]:502", "::1", 502}, Case{"[fe80::1%eth0]:1502", "fe80::1%eth0", 1502},
        Case{"[::1]", "::1", 9999}, Case{"[::1]x:502", "[", 9999}, Case{"::1:502", "", 9999}}) {
    const TTcpEndPoint e = ParseTcpEndPointText(c.Text);
    EXPECT_EQ(e.TcpAddr, c.Addr) << c.Text;
    EXPECT_EQ(e.TcpPort, c.Port) << c.Text;
    TTcpConnectionStringBuilder b("x", 1);
    b.SetEndPointText(c.Text);
    EXPECT_EQ(b.TcpAddr, c.Addr);
    EXPECT_EQ(b.TcpPort, c.Port);
  }
  EXPECT_EQ(TTcpConnectionStringBuilder("plc.local", 502).GetEndPointText(), "plc.local:502");
  EXPECT_EQ(MakeTcpEndPointText("h", 65535), "h:65535");
  // An IPv6 address prints in brackets and reads back the same.
  for (const char* text : {"[::1]:502", "[fe80::1%eth0]:502", "10.0.0.5:502"}) {
    const TTcpEndPoint e = ParseTcpEndPointText(text);
    EXPECT_EQ(MakeTcpEndPointText(e.TcpAddr, e.TcpPort), text);
  }
  // What the lenient reading drops stays visible for the checks of operator input.
  EXPECT_FALSE(ParseTcpEndPointText("host").PortText.has_value());
  EXPECT_EQ(ParseTcpEndPointText("host:").PortText, "");
  EXPECT_EQ(ParseTcpEndPointText("[::1]:").PortText, "");
  EXPECT_TRUE(ParseTcpEndPointText("a:1:2").ExtraItems);
  EXPECT_FALSE(ParseTcpEndPointText("[::1]:2").ExtraItems);
}

// Matches follows the builders: serial compares the port name, TCP the address and port, both
// without regard to case.
TEST(ConnectionMatchesTest, SerialAndTcp) {
  auto tcp = test::TScriptedConnection::New("Host", TConnectionType::ctTcp);
  EXPECT_TRUE(tcp->Matches("TcpAddr=host;TcpPort=502"));
  EXPECT_FALSE(tcp->Matches("TcpAddr=host;TcpPort=503"));
  EXPECT_FALSE(tcp->Matches("TcpAddr=localhost;TcpPort=502"));
  auto serial = test::TScriptedConnection::New("COM1");
  EXPECT_TRUE(serial->Matches("PortName=com1;BaudRate=115200"));
  EXPECT_FALSE(serial->Matches("PortName=COM11"));
}

}  // namespace
}  // namespace probrix
