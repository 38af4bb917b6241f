// Inputs found by the fuzz targets (fuzz/), kept as regression tests.

#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "connections/ioDeviceConnection.h"

namespace probrix {
namespace {

// An empty first item of a key hid a later item of the same key; composing the string deleted
// only the empty one, so the composed string named the other value.
TEST(FuzzRegression, EmptyFirstItemOfAKeySurvivesComposition) {
  TTcpConnectionStringBuilder tcp;
  tcp.SetConnectionString("TcpAddr=;TcpAddr=other;TcpPort=502");
  EXPECT_EQ(tcp.TcpAddr, "");
  TTcpConnectionStringBuilder again;
  again.SetConnectionString(tcp.GetConnectionString());
  EXPECT_EQ(again.TcpAddr, "");
  EXPECT_EQ(again.TcpPort, 502);

  // The input the fuzzer found: control bytes end the first item's value.
  const char found[] = "TcpAddr=\031\000\000\031TcpAddr=\350\304\364\372\006\00000";
  TTcpConnectionStringBuilder fuzzed;
  fuzzed.SetConnectionString(std::string_view(found, sizeof(found) - 1));
  TTcpConnectionStringBuilder reparsed;
  reparsed.SetConnectionString(fuzzed.GetConnectionString());
  EXPECT_EQ(reparsed.TcpAddr, fuzzed.TcpAddr);

  TSerialPortConnectionStringBuilder serial;
  serial.SetConnectionString("PortName=;portname=COM9;BaudRate=19200");
  EXPECT_EQ(serial.PortName, "");
  TSerialPortConnectionStringBuilder serialAgain;
  serialAgain.SetConnectionString(serial.GetConnectionString());
  EXPECT_EQ(serialAgain.PortName, "");
  EXPECT_EQ(serialAgain.BaudRate, 19200u);
}

}  // namespace
}  // namespace probrix
