// A receive that waits: what arrives during the wait (data, an orderly close) ends it with the
// right result, and every receive gets the whole read timeout of its own.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "TcpTestPeer.h"
#include "connections/netIpSocket.h"
#include "platform/platCancel.h"

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
      : Thread_([act = std::move(Act)] {
          std::this_thread::sleep_for(std::chrono::milliseconds(20));
          act();
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
  } catch (const EInOutSocketError& e) {
    EXPECT_FALSE(e.Is<ETimeoutSocketError>()) << e.Message;
    EXPECT_EQ(e.ErrorCode, 0);
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
  EXPECT_EQ(sock->ReadTimeout(), 2000);
}

// A stop request, the thread's cancel event, ends a receive, a send and a connect that would
// wait without limit; the event may come before the wait starts or during it.
TEST(IpSocketWait, CancelEventEndsEveryWaitWithEAbort) {
  platform::TCancelEvent cancel;
  const platform::TCancelScope scope(cancel);
  const auto cancelled = [&](const std::function<void()>& Wait) {
    bool aborted = false;
    {
      TLater stop([&] { cancel.Set(); });
      try {
        Wait();
      } catch (const EAbort&) {
        aborted = true;
      }
    }
    cancel.Reset();
    return aborted;
  };

  TTcpTestPeer peer;
  auto sock = Connected(peer, 0);
  std::uint8_t buf[4];
  EXPECT_TRUE(cancelled([&] { sock->Recieve(buf, sizeof(buf)); })) << "receive";
  sock->SetWriteTimeout(0);
  const std::vector<std::uint8_t> big(64u << 20, 0x55);  // the peer never reads
  EXPECT_TRUE(cancelled([&] { sock->Send(big.data(), static_cast<std::int32_t>(big.size())); }))
      << "send";

  // A listener with a full accept queue drops further handshakes: that connect never ends.
  TTcpTestPeer full(0);
  auto first = CreateTcpSocket();
  first->Connect(TIPv4Address(htonl(INADDR_LOOPBACK)), full.Port());
  auto second = CreateTcpSocket();
  EXPECT_TRUE(cancelled([&] {
    second->Connect(TIPv4Address(htonl(INADDR_LOOPBACK)), full.Port());
  })) << "connect";
  EXPECT_FALSE(second->Connected());
}

}  // namespace
}  // namespace probrix
