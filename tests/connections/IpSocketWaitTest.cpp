// A receive that waits: what arrives during the wait (data, an orderly close) ends it with the
// right result, and every receive gets the whole read timeout of its own.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>

#include <chrono>
#include <string>
#include <thread>

#include "TcpTestPeer.h"
#include "connections/netIpSocket.h"

namespace probrix {
namespace {

using test::TTcpTestPeer;

// A connected socket with the given read timeout, and its accepted peer.
std::unique_ptr<TIpSocket> Connected(TTcpTestPeer& Peer, std::int32_t ReadTimeout) {
  auto sock = CreateTcpSocket();
  sock->Connect(TIPv4Address(htonl(INADDR_LOOPBACK)), Peer.Port());
  sock->SetReadTimeout(ReadTimeout);
  EXPECT_TRUE(Peer.Accept());
  return sock;
}

// Runs Act on another thread a little later, so that it usually meets the receive while it
// waits; the outcome checked is the same if it comes first.
class TLater {
 public:
  explicit TLater(std::function<void()> Act)
      : Thread_([Act = std::move(Act)] {
          std::this_thread::sleep_for(std::chrono::milliseconds(20));
          Act();
        }) {}
  ~TLater() { Thread_.join(); }

 private:
  std::thread Thread_;
};

TEST(IpSocketWait, DataArrivingDuringTheWaitIsReceived) {
  for (const std::int32_t timeout : {2000, 0}) {  // 0: no limit
    TTcpTestPeer peer;
    auto sock = Connected(peer, timeout);
    TLater send([&] { peer.SendText("xyz"); });
    char in[8] = {};
    std::int32_t total = 0;
    while (total < 3) total += sock->Recieve(in + total, sizeof(in) - total);
    EXPECT_EQ(std::string(in, 3), "xyz") << "timeout " << timeout;
  }
}

TEST(IpSocketWait, CloseDuringTheWaitIsAnOrderlyCloseNotATimeout) {
  TTcpTestPeer peer;
  auto sock = Connected(peer, 2000);
  TLater close([&] { peer.CloseClient(); });
  std::uint8_t buf[4];
  try {
    sock->Recieve(buf, sizeof(buf));
    FAIL() << "read from a closed connection";
  } catch (const EInOutSocketError& E) {
    EXPECT_FALSE(E.Is<ETimeoutSocketError>()) << E.Message;
    EXPECT_EQ(E.ErrorCode, 0);
  }
}

TEST(IpSocketWait, EachReceiveWaitsAgainAfterATimeout) {
  TTcpTestPeer peer;
  auto sock = Connected(peer, 20);
  std::uint8_t buf[4];
  EXPECT_THROW(sock->Recieve(buf, sizeof(buf)), ETimeoutSocketError);
  EXPECT_THROW(sock->Recieve(buf, sizeof(buf)), ETimeoutSocketError);
  // A later receive with a longer timeout still gets what comes during its own wait.
  sock->SetReadTimeout(2000);
  TLater send([&] { peer.SendText("A"); });
  EXPECT_EQ(sock->Recieve(buf, sizeof(buf)), 1);
  EXPECT_EQ(buf[0], 'A');
  EXPECT_EQ(sock->GetReadTimeout(), 2000);
}

}  // namespace
}  // namespace probrix
