// Whole Orvatbus and OrvatASCII searches over a loopback TCP endpoint, against a peer written
// directly on POSIX sockets.

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "connections/TcpTestPeer.h"
#include "connections/ioTcpConnection.h"
#include "foundation/ioExceptions.h"
#include "messaging/ioOrvatbusCoreTypes.h"
#include "search/uFinderEngineOrvatAscii.h"
#include "search/uFinderEngineOrvatbus.h"
#include "search/uSearchLog.h"

namespace probrix {
namespace {

using namespace std::chrono_literals;

std::string AsText(const TBytes& Bytes) { return std::string(Bytes.begin(), Bytes.end()); }

TEST(OrvatTcpSearch, OrvatbusDeviceBehindAnEndpointIsFound) {
  test::TTcpTestPeer peer;
  const TBytes expectedRequest = BytesOf({0xFF, 0x25, 0x20, 0x49, 0xB3, 0x03});
  // Device 5, type 0x10, firmware 0x0203, serial 0x0310 (escaped on the wire).
  const TBytes reply = OrvatbusUtils::Pack(
      BytesOf({0x20, 0x25, 0x49, 0x00, 0x00, 0x10, 0x00, 0x00, 0x02, 0x03, 0x03, 0x10, 0x00}),
      OrvatbusUtils::CrcKindFunction(TChecksumKind::ckCrc1));
  std::string received;
  std::thread device([&] {
    if (!peer.Accept()) return;
    received = peer.ReceiveExactly(expectedRequest.size());
    // Line noise, then the frame in two pieces.
    peer.SendText(std::string("\x00\x55", 2) + AsText(reply.substr(0, 5)));
    std::this_thread::sleep_for(5ms);
    peer.SendText(AsText(reply.substr(5)));
  });

  auto connection = std::make_shared<TTcpConnection>("127.0.0.1", peer.Port());
  TSearchLog log;
  TDeviceInfo info;
  {
    TOrvatbusDeviceSearcher searcher(connection);
    searcher.SetLog(&log);
    searcher.SetReadTimeout(2000);
    searcher.SetStartOfPacketReadTimeout(2000);
    searcher.SetRequestRetryCount(1);
    EXPECT_NO_THROW(searcher.Search(5, info)) << log.Text();
    searcher.CloseConnection();
  }
  device.join();
  EXPECT_EQ(received, AsText(expectedRequest));
  EXPECT_EQ(info.Address, 5);
  EXPECT_EQ(info.DeviceType, 0x10);
  EXPECT_EQ(info.FirmwareVersion, 0x0203);
  EXPECT_EQ(info.SerialNumber, 0x0310);
  EXPECT_FALSE(connection->IsOpen());
}

TEST(OrvatTcpSearch, OrvatAsciiDeviceBehindAnEndpointIsFound) {
  test::TTcpTestPeer peer;
  std::thread device([&] {
    if (!peer.Accept()) return;
    // One line in two pieces; the result does not depend on how they arrive.
    peer.SendText("K234567");
    std::this_thread::sleep_for(5ms);
    peer.SendText("890ABC\r\n");
    peer.ClientClosedByPeer(3000);
  });

  auto connection = std::make_shared<TTcpConnection>("127.0.0.1", peer.Port());
  TSearchLog log;
  TDeviceInfo info;
  {
    TOrvatAsciiDeviceSearcher searcher(connection);
    searcher.SetLog(&log);
    searcher.SetReadTimeout(2000);
    EXPECT_NO_THROW(searcher.Search(0, info)) << log.Text();
    searcher.CloseConnection();
  }
  device.join();
  EXPECT_EQ(info.Address, 'K');
}

}  // namespace
}  // namespace probrix
