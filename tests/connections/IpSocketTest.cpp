// TIpSocket and the endpoint value objects, over loopback 127.0.0.1.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <optional>
#include <string>

#include "TcpTestPeer.h"
#include "connections/netIpSocket.h"
#include "support/TestSupport.h"

namespace probrix {
namespace {

using test::TTcpTestPeer;

std::shared_ptr<IIPv4Address> Loopback() {
  return std::make_shared<TIPv4Address>(htonl(INADDR_LOOPBACK));
}

TEST(IpSocketEndPoint, IPv4EndPointLayoutAndText) {
  TIPv4Address addr(inet_addr("192.168.1.20"));
  EXPECT_EQ(addr.ToString(), "192.168.1.20");
  EXPECT_EQ(addr.AddressFamily(), 2);

  TIPv4EndPoint ep(addr, 502);
  EXPECT_EQ(ep.ToString(), "192.168.1.20:502");
  EXPECT_EQ(ep.Port(), 502);
  EXPECT_EQ(ep.AddressFamily(), 2);
  EXPECT_EQ(ep.Address()->ToString(), "192.168.1.20");

  // family (host order), port big-endian, address, eight zero bytes
  const TSockAddr raw = ep.SockAddr();
  std::uint16_t family = 0;
  std::memcpy(&family, raw.data(), 2);
  EXPECT_EQ(family, 2);
  EXPECT_EQ(raw[2], 0x01);
  EXPECT_EQ(raw[3], 0xF6);
  EXPECT_EQ(raw[4], 192);
  EXPECT_EQ(raw[5], 168);
  EXPECT_EQ(raw[6], 1);
  EXPECT_EQ(raw[7], 20);
  for (std::size_t i = 8; i < raw.size(); ++i) EXPECT_EQ(raw[i], 0) << i;

  // Round trip through the free factory keeps the IPv4 kind.
  const auto copy = CreateEndPoint(raw);
  ASSERT_NE(std::dynamic_pointer_cast<IIPv4EndPoint>(copy), nullptr);
  EXPECT_EQ(copy->ToString(), "192.168.1.20:502");
}

TEST(IpSocketEndPoint, NonIPAddressPrintsEmpty) {
  TSockAddr raw{};
  const std::uint16_t family = AF_UNIX;
  std::memcpy(raw.data(), &family, 2);
  raw[5] = 0x77;
  const auto ep = CreateEndPoint(raw);
  EXPECT_EQ(std::dynamic_pointer_cast<IIPv4EndPoint>(ep), nullptr);
  EXPECT_EQ(ep->ToString(), "");
  EXPECT_EQ(ep->AddressFamily(), AF_UNIX);
  EXPECT_EQ(ep->SockAddr(), raw);
}

// An IPv6 endpoint prints as its endpoint text does: the address (with its zone) in brackets.
TEST(IpSocketEndPoint, IPv6EndPointPrintsInBrackets) {
  sockaddr_in6 sin6{};
  sin6.sin6_family = AF_INET6;
  sin6.sin6_port = htons(502);
  ASSERT_EQ(inet_pton(AF_INET6, "fe80::1", &sin6.sin6_addr), 1);
  sin6.sin6_scope_id = if_nametoindex("lo");
  TSockAddr raw{};
  std::memcpy(raw.data(), &sin6, sizeof(sin6));
  EXPECT_EQ(CreateEndPoint(raw)->ToString(), "[fe80::1%lo]:502");
  sin6.sin6_scope_id = 0;
  sin6.sin6_addr = in6addr_loopback;
  std::memcpy(raw.data(), &sin6, sizeof(sin6));
  EXPECT_EQ(CreateEndPoint(raw)->ToString(), "[::1]:502");
}

// A socket made for IPv4 connects to an IPv6 address by becoming an IPv6 socket.
TEST(IpSocketConnect, IPv6LoopbackConnects) {
  const int listener = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in6 sin6{};
  sin6.sin6_family = AF_INET6;
  sin6.sin6_addr = in6addr_loopback;
  socklen_t len = sizeof(sin6);
  if (listener < 0 || ::bind(listener, reinterpret_cast<sockaddr*>(&sin6), sizeof(sin6)) != 0 ||
      ::listen(listener, 1) != 0 ||
      ::getsockname(listener, reinterpret_cast<sockaddr*>(&sin6), &len) != 0) {
    if (listener >= 0) ::close(listener);
    GTEST_SKIP() << "no IPv6 loopback here";
  }
  const std::uint16_t port = ntohs(sin6.sin6_port);
  auto sock = CreateTcpSocket();
  sock->Connect("::1", port);
  EXPECT_TRUE(sock->Connected());
  EXPECT_EQ(sock->RemoteEndPointText(), "[::1]:" + std::to_string(port));
  EXPECT_EQ(sock->Send("hi", 2), 2);
  const int peer = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
  ASSERT_GE(peer, 0);
  char buf[2] = {};
  EXPECT_EQ(::recv(peer, buf, 2, MSG_WAITALL), 2);
  EXPECT_EQ(std::string(buf, 2), "hi");
  ::close(peer);
  ::close(listener);
}

TEST(IpSocketResolve, DottedAddressAndUnresolvableName) {
  auto sock = CreateTcpSocket();
  EXPECT_EQ(sock->GetHostAddress("10.0.0.7")->ToString(), "10.0.0.7");
  EXPECT_EQ(sock->GetHostAddress("localhost")->ToString(), "127.0.0.1");
  try {
    sock->GetHostAddress("no-such-host.invalid");
    FAIL() << "resolved an invalid name";
  } catch (const ERetrievingHostAddressError& e) {
    EXPECT_NE(e.Message.find("\"no-such-host.invalid\""), std::string::npos) << e.Message;
    EXPECT_NE(e.Message.find("SysErrorMessage: "), std::string::npos) << e.Message;
    EXPECT_NE(e.ErrorCode, 0);
  }
}

TEST(IpSocketConnect, RefusedNamesTheEndPoint) {
  // A bound socket that does not listen refuses connections on its port.
  const int bound = ::socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_GE(bound, 0);
  sockaddr_in sin{};
  sin.sin_family = AF_INET;
  sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::bind(bound, reinterpret_cast<sockaddr*>(&sin), sizeof(sin)), 0);
  socklen_t len = sizeof(sin);
  ASSERT_EQ(::getsockname(bound, reinterpret_cast<sockaddr*>(&sin), &len), 0);
  const std::uint16_t port = ntohs(sin.sin_port);

  auto sock = CreateTcpSocket();
  try {
    sock->Connect("127.0.0.1", port);
    FAIL() << "connected to a port where nothing listens";
  } catch (const EConnectOperationRejected& e) {
    EXPECT_EQ(e.ErrorCode, ECONNREFUSED);
    EXPECT_NE(e.Message.find("(RemoteEP: 127.0.0.1:" + std::to_string(port) + ")"),
              std::string::npos)
        << e.Message;
  }
  EXPECT_FALSE(sock->Connected());
  ::close(bound);
}

TEST(IpSocketConnect, ConnectWithoutAnswerRunsOutOfTime) {
  // A listener with a full accept queue drops further handshakes: that peer never answers.
  TTcpTestPeer peer(0);
  auto first = CreateTcpSocket();
  first->Connect(*Loopback(), peer.Port());
  auto second = CreateTcpSocket();
  TSockAddr addr = TIPv4EndPoint(*Loopback(), peer.Port()).SockAddr();
  const platform::TOsError error = platform::SocketConnect(second->Handle(), addr, 50);
  EXPECT_EQ(error.Kind, platform::TErrorKind::ekTimedOut);
  EXPECT_EQ(error.Code, ETIMEDOUT);
}

TEST(IpSocketTimeouts, StoredBeforeConnectAppliedByConnect) {
  TTcpTestPeer peer;
  auto sock = CreateTcpSocket();
  sock->SetReadTimeout(300);
  sock->SetWriteTimeout(400);
  EXPECT_EQ(sock->ReadTimeout(), 300);
  EXPECT_EQ(sock->WriteTimeout(), 400);
  sock->Connect(*Loopback(), peer.Port());
  ASSERT_TRUE(sock->Connected());
  // Read back from the socket itself now.
  std::int32_t onSocket = 0;
  ASSERT_FALSE(platform::SocketGetTimeout(sock->Handle(), platform::TSocketTimeoutKind::tkReceive,
                                          onSocket));
  EXPECT_EQ(onSocket, 300);
  EXPECT_EQ(sock->ReadTimeout(), 300);
  EXPECT_EQ(sock->WriteTimeout(), 400);
  sock->SetReadTimeout(0);
  EXPECT_EQ(sock->ReadTimeout(), 0);
}

// The options are set once per connection: a value set on the connected socket is read back
// and governs the waits, but costs no call on the socket (every exchange alternates two read
// timeouts).
TEST(IpSocketTimeouts, SetOnTheSocketOncePerConnection) {
  TTcpTestPeer peer;
  auto sock = CreateTcpSocket();
  sock->Connect(*Loopback(), peer.Port());
  const auto onSocket = [&](platform::TSocketTimeoutKind Kind) {
    std::int32_t ms = -1;
    EXPECT_FALSE(platform::SocketGetTimeout(sock->Handle(), Kind, ms));
    return ms;
  };
  for (const auto kind :
       {platform::TSocketTimeoutKind::tkReceive, platform::TSocketTimeoutKind::tkSend}) {
    const bool receive = kind == platform::TSocketTimeoutKind::tkReceive;
    const auto set = [&](std::int32_t Ms) {
      receive ? sock->SetReadTimeout(Ms) : sock->SetWriteTimeout(Ms);
    };
    set(200);
    set(300);
    EXPECT_EQ(receive ? sock->ReadTimeout() : sock->WriteTimeout(), 300);
    EXPECT_EQ(onSocket(kind), 0);
  }
  // The value in force is the one last set: a silent peer's receive ends after it.
  sock->SetReadTimeout(20);
  std::uint8_t buf[4];
  std::optional<ETimeoutSocketError> timedOut;
  EXPECT_EQ(sock->RecieveOrTimeOut(buf, sizeof(buf), timedOut), 0);
  EXPECT_TRUE(timedOut.has_value());
  // A new connection gets the values set before it.
  sock->Close(true);
  sock = CreateTcpSocket();
  sock->SetReadTimeout(300);
  sock->Connect(*Loopback(), peer.Port());
  EXPECT_EQ(onSocket(platform::TSocketTimeoutKind::tkReceive), 300);
}

TEST(IpSocketIo, ReceiveTimesOutWithTimedOutCode) {
  TTcpTestPeer peer;
  auto sock = CreateTcpSocket();
  sock->Connect(*Loopback(), peer.Port());
  sock->SetReadTimeout(30);
  std::uint8_t buf[8];
  try {
    sock->Recieve(buf, sizeof(buf));
    FAIL() << "received from a silent peer";
  } catch (const ETimeoutSocketError& e) {
    EXPECT_EQ(e.ErrorCode, ETIMEDOUT);
    EXPECT_NE(e.Message.find("read timeout expired"), std::string::npos) << e.Message;
    EXPECT_NE(e.Message.find("\"127.0.0.1:" + std::to_string(peer.Port()) + "\""),
              std::string::npos)
        << e.Message;
  }
  EXPECT_TRUE(sock->Connected());
  // The same failure without a throw: the exception comes back for the caller's own.
  std::optional<ETimeoutSocketError> timedOut;
  EXPECT_EQ(sock->ReceiveOrTimeOut(buf, sizeof(buf), timedOut), 0);
  ASSERT_TRUE(timedOut.has_value());
  EXPECT_EQ(timedOut->ErrorCode, ETIMEDOUT);
  EXPECT_EQ(timedOut->Message.rfind("TIpSocket.Recieve: Reading operation from \"127.0.0.1:" +
                                        std::to_string(peer.Port()) +
                                        "\" was not completed before the read timeout expired.",
                                    0),
            0u)
      << timedOut->Message;
}

TEST(IpSocketIo, DataBothWaysAndAvailableBytes) {
  TTcpTestPeer peer;
  auto sock = CreateTcpSocket();
  EXPECT_EQ(sock->AvailableBytes(), 0);  // not connected
  sock->Connect(*Loopback(), peer.Port());
  sock->SetReadTimeout(2000);
  ASSERT_TRUE(peer.Accept());

  const std::string out = "hello";
  EXPECT_EQ(sock->Send(out.data(), static_cast<std::int32_t>(out.size())), 5);
  EXPECT_EQ(peer.ReceiveExactly(5), out);

  peer.SendText("abc");
  ASSERT_TRUE(test::WaitFor([&] { return sock->AvailableBytes() == 3; }));
  char in[8] = {};
  // Never more than asked for; the rest stays waiting.
  EXPECT_EQ(sock->Recieve(in, 2), 2);
  EXPECT_EQ(std::string(in, 2), "ab");
  EXPECT_EQ(sock->AvailableBytes(), 1);
  EXPECT_EQ(sock->Recieve(in, sizeof(in)), 1);
  EXPECT_EQ(in[0], 'c');

  EXPECT_EQ(sock->RemoteEndPoint()->ToString(), "127.0.0.1:" + std::to_string(peer.Port()));
  EXPECT_EQ(sock->LocalEndPointText().rfind("127.0.0.1:", 0), 0u) << sock->LocalEndPointText();
}

TEST(IpSocketIo, OrderlyCloseHasCodeZeroAndSendNeverRaisesSigpipe) {
  TTcpTestPeer peer;
  auto sock = CreateTcpSocket();
  sock->Connect(*Loopback(), peer.Port());
  sock->SetReadTimeout(2000);
  sock->SetWriteTimeout(2000);
  ASSERT_TRUE(peer.Accept());
  peer.CloseClient();

  std::uint8_t buf[4];
  try {
    sock->Recieve(buf, sizeof(buf));
    FAIL() << "read from a closed connection";
  } catch (const EInOutSocketError& e) {
    EXPECT_FALSE(e.Is<ETimeoutSocketError>());
    EXPECT_EQ(e.ErrorCode, 0);
    EXPECT_NE(e.Message.find("gracefully closed"), std::string::npos) << e.Message;
  }

  // Writing to the closed peer fails (reset, then broken pipe) without killing the process.
  const std::uint8_t data[16] = {};
  bool failed = false;
  for (int i = 0; i < 100 && !failed; ++i) {
    try {
      sock->Send(data, sizeof(data));
    } catch (const EInOutSocketError& e) {
      failed = true;
      EXPECT_NE(e.ErrorCode, 0);
      EXPECT_NE(e.Message.find("TIpSocket.Send: Writing operation to"), std::string::npos);
    }
  }
  EXPECT_TRUE(failed);
}

TEST(IpSocketIo, BadCountsAndClosedSocket) {
  TTcpTestPeer peer;
  auto sock = CreateTcpSocket();
  sock->Connect(*Loopback(), peer.Port());
  std::uint8_t buf[4] = {};
  EXPECT_EQ(sock->Recieve(buf, 0), 0);
  EXPECT_THROW(sock->Recieve(buf, -1), EInOutSocketError);
  EXPECT_THROW(sock->Send(buf, -5), EInOutSocketError);

  sock->Close(true);
  EXPECT_FALSE(sock->Connected());
  EXPECT_EQ(sock->Handle(), platform::InvalidSocketHandle);
  sock->Close(true);  // again: no failure
  sock->Close(false);
  EXPECT_EQ(sock->AvailableBytes(), 0);
  EXPECT_THROW(sock->Recieve(buf, 4), EInOutSocketError);
  // The connected endpoint stays known for messages.
  EXPECT_EQ(sock->RemoteEndPointText(), "127.0.0.1:" + std::to_string(peer.Port()));
}

TEST(IpSocketEndPointText, UnreadablePeerGivesUndefined) {
  auto sock = CreateTcpSocket();
  const std::string text = sock->RemoteEndPointText();
  EXPECT_EQ(text.rfind("Undefined (reason: TIpSocket.GetRemoteEndPoint: Can not retrieve remote "
                       "endpoint info",
                       0),
            0u)
      << text;
}

}  // namespace
}  // namespace probrix
