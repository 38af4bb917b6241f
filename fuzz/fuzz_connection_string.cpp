// The connection-string and endpoint-text parsers over arbitrary text. Parsing never fails,
// and a string the builders write parses back to the same values (connections are found again
// by their strings).

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "FuzzSupport.h"
#include "connections/ioDeviceConnection.h"

using namespace probrix;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size) {
  const std::string_view text(reinterpret_cast<const char*>(Data), Size);

  TSerialPortConnectionStringBuilder serial;
  serial.SetConnectionString(text);
  TSerialPortConnectionStringBuilder serialAgain;
  serialAgain.SetConnectionString(serial.GetConnectionString());
  fuzz::Require(serialAgain.PortName == serial.PortName, "PortName changes on a round trip");
  fuzz::Require(serialAgain.BaudRate == serial.BaudRate, "BaudRate changes on a round trip");
  fuzz::Require(serialAgain.DtrEnable == serial.DtrEnable, "DtrEnable changes on a round trip");

  TTcpConnectionStringBuilder tcp;
  tcp.SetConnectionString(text);
  TTcpConnectionStringBuilder tcpAgain;
  tcpAgain.SetConnectionString(tcp.GetConnectionString());
  fuzz::Require(tcpAgain.TcpAddr == tcp.TcpAddr, "TcpAddr changes on a round trip");
  fuzz::Require(tcpAgain.TcpPort == tcp.TcpPort, "TcpPort changes on a round trip");

  TTcpConnectionStringBuilder endpoint;
  endpoint.SetEndPointText(text);
  const TTcpEndPoint parsed = ParseTcpEndPointText(text);
  fuzz::Require(parsed.TcpAddr == endpoint.TcpAddr && parsed.TcpPort == endpoint.TcpPort,
                "the two endpoint parsers disagree");
  (void)endpoint.GetEndPointText();

  const auto items = TDeviceConnectionStringBuilder::SplitItems(text, ';');
  const auto again = TDeviceConnectionStringBuilder::SplitItems(
      TDeviceConnectionStringBuilder::JoinItems(items, ';'), ';');
  (void)again;
  (void)ReadBaudRateValue(text);
  (void)ReadTcpPortValue(text);
  return 0;
}
