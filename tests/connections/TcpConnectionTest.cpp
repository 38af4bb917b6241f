// TTcpConnection over loopback 127.0.0.1: texts, timeouts, open/close and the translation of
// socket failures into connection failures.

#include <gtest/gtest.h>
#include <poll.h>

#include <atomic>
#include <cerrno>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "TcpTestPeer.h"
#include "connections/ioTcpConnection.h"
#include "foundation/ioExceptions.h"
#include "support/TestSupport.h"

namespace probrix {
namespace {

using test::TTcpTestPeer;

std::string Prefix(std::uint16_t Port) {
  return "[TcpAddr=127.0.0.1;TcpPort=" + std::to_string(Port) + "]";
}

TEST(TcpConnectionTexts, NamesAndConnectionString) {
  TTcpConnection c("plc.local", 502);
  EXPECT_EQ(c.UniqueName(), "plc.local[502]");
  EXPECT_EQ(c.DisplayName(), "plc.local:502");
  EXPECT_EQ(c.ConnectionString(), "TcpAddr=plc.local;TcpPort=502");
  EXPECT_EQ(c.InfiniteTimeout(), 0);
  EXPECT_EQ(c.ConnectionType(), TConnectionType::ctTcp);
  c.SetUniqueName("boiler");
  EXPECT_EQ(c.UniqueName(), "boiler");
  c.SetUniqueName("");
  EXPECT_EQ(c.UniqueName(), "plc.local[502]");
}

TEST(TcpConnectionTexts, MatchesAddressWithoutCaseAndPort) {
  TTcpConnection c("Host", 502);
  EXPECT_TRUE(c.Matches("TcpAddr=host;TcpPort=502"));
  EXPECT_TRUE(c.Matches("tcpport=502;TCPADDR=HOST"));
  EXPECT_FALSE(c.Matches("TcpAddr=host;TcpPort=503"));
  EXPECT_FALSE(c.Matches("PortName=COM1;BaudRate=9600"));
  TTcpConnection local("localhost", 502);
  EXPECT_FALSE(local.Matches("TcpAddr=127.0.0.1;TcpPort=502"));  // names compared as texts
  c.ApplyConnectionString("TcpAddr=other;TcpPort=1");            // does nothing
  EXPECT_EQ(c.ConnectionString(), "TcpAddr=Host;TcpPort=502");
}

TEST(TcpConnectionClosed, NeedsNoNetworkAndRefusesIo) {
  TTcpConnection c("127.0.0.1", 1);
  EXPECT_FALSE(c.IsOpen());
  EXPECT_EQ(c.BytesToRead(), 0);
  c.Close();
  c.CloseQuietly();
  std::uint8_t buf[4] = {1, 2, 3, 4};
  try {
    c.Read(buf, 4);
    FAIL();
  } catch (const EConnectionIOError& e) {
    EXPECT_EQ(e.InnerException(), nullptr);
    EXPECT_EQ(e.Message, Prefix(1) + " Данные не прочитаны т.к. TCP-подключение закрыто.");
  }
  try {
    c.Write(buf, 4);
    FAIL();
  } catch (const EConnectionIOError& e) {
    EXPECT_EQ(e.InnerException(), nullptr);
    EXPECT_EQ(e.Message, Prefix(1) + " Данные не отправлены т.к. TCP-подключение закрыто.");
  }
}

TEST(TcpConnectionOpen, UnresolvableNameLeavesNoSocket) {
  TTcpConnection c("no-such-host.invalid", 502);
  try {
    c.Open();
    FAIL();
  } catch (const EConnectionOpenError& e) {
    EXPECT_EQ(e.Message,
              "[TcpAddr=no-such-host.invalid;TcpPort=502] Ошибка открытия TCP-подключения");
    ASSERT_NE(e.InnerException(), nullptr);
    EXPECT_TRUE(e.InnerException()->Is<ERetrievingHostAddressError>());
  }
  EXPECT_FALSE(c.IsOpen());
  EXPECT_EQ(c.BytesToRead(), 0);
  std::uint8_t b = 0;
  EXPECT_THROW(c.Read(&b, 1), EConnectionIOError);
}

TEST(TcpConnectionOpen, RefusedConnectIsAnOpenError) {
  std::uint16_t port = 0;
  {
    TTcpTestPeer gone;  // a port that was just free again
    port = gone.Port();
  }
  TTcpConnection c("127.0.0.1", port);
  try {
    c.Open();
    FAIL();
  } catch (const EConnectionOpenError& e) {
    ASSERT_NE(e.InnerException(), nullptr);
    const auto* inner = dynamic_cast<const EConnectOperationRejected*>(e.InnerException());
    ASSERT_NE(inner, nullptr) << e.InnerException()->ClassName();
    EXPECT_EQ(inner->ErrorCode, ECONNREFUSED);
  }
  EXPECT_FALSE(c.IsOpen());
}

TEST(TcpConnectionTimeouts, StoredWhileClosedSocketValuesWhileOpen) {
  TTcpTestPeer peer;
  TTcpConnection c("127.0.0.1", peer.Port());
  c.SetReadTimeout(500);
  c.SetWriteTimeout(600);
  EXPECT_EQ(c.ReadTimeout(), 500);
  EXPECT_EQ(c.WriteTimeout(), 600);
  c.Open();
  ASSERT_TRUE(c.IsOpen());
  // A new socket starts without limits; the stored values are not applied by Open.
  EXPECT_EQ(c.ReadTimeout(), 0);
  EXPECT_EQ(c.WriteTimeout(), 0);
  c.SetReadTimeout(40);
  c.SetWriteTimeout(80);
  EXPECT_EQ(c.ReadTimeout(), 40);
  EXPECT_EQ(c.WriteTimeout(), 80);
  // Read back as set, although the kernel keeps the option in scheduler ticks (123 as 124).
  for (const std::int32_t ms : {123, 1, 50}) {
    c.SetReadTimeout(ms);
    c.SetWriteTimeout(ms + 1);
    EXPECT_EQ(c.ReadTimeout(), ms);
    EXPECT_EQ(c.WriteTimeout(), ms + 1);
  }
  c.SetReadTimeout(40);
  c.SetWriteTimeout(80);
  c.Close();
  EXPECT_FALSE(c.IsOpen());
  EXPECT_EQ(c.ReadTimeout(), 40);
  EXPECT_EQ(c.WriteTimeout(), 80);
}

TEST(TcpConnectionIo, ExchangeOverOneSocket) {
  TTcpTestPeer peer;
  TTcpConnection c("127.0.0.1", peer.Port());
  c.Open();
  c.Open();  // already open: the same socket stays
  ASSERT_TRUE(peer.Accept());
  c.SetReadTimeout(2000);
  c.SetWriteTimeout(2000);

  const std::uint8_t request[] = {0x00, 0x01, 0x00, 0x00, 0x00, 0x06, 0x11, 0x2B};
  c.Write(request, sizeof(request));
  EXPECT_EQ(peer.ReceiveExactly(sizeof(request)),
            std::string(reinterpret_cast<const char*>(request), sizeof(request)));

  peer.SendText("xyz");
  ASSERT_TRUE(test::WaitFor([&] { return c.BytesToRead() == 3; }));
  std::uint8_t buf[16] = {};
  EXPECT_EQ(c.Read(buf, 16), 3);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), 3), "xyz");

  // Bad counts are refused without touching memory; the connection stays usable.
  EXPECT_THROW(c.Read(buf, -1), EConnectionIOError);
  EXPECT_THROW(c.Write(request, -1), EConnectionIOError);
  c.Write(request, 0);
  c.Write(request, 2);
  EXPECT_EQ(peer.ReceiveExactly(2), std::string("\0\1", 2));

  c.Close();
  EXPECT_FALSE(c.IsOpen());
  EXPECT_TRUE(peer.ClientClosedByPeer());
  c.Close();
}

TEST(TcpConnectionIo, ReadTimeoutNamesTheStoredTimeout) {
  TTcpTestPeer peer;
  TTcpConnection c("127.0.0.1", peer.Port());
  c.Open();
  c.SetReadTimeout(30);
  std::uint8_t buf[4];
  try {
    c.Read(buf, 4);
    FAIL();
  } catch (const EReadTimeoutError& e) {
    EXPECT_EQ(e.Message.rfind(Prefix(peer.Port()) + " Операция чтения данных", 0), 0u) << e.Message;
    EXPECT_NE(e.Message.find("(30 ms). "), std::string::npos) << e.Message;
    ASSERT_NE(e.InnerException(), nullptr);
    EXPECT_TRUE(e.InnerException()->Is<ETimeoutSocketError>());
    // The socket's own failure, whole, though it was never thrown.
    EXPECT_EQ(
        e.InnerException()->Message.rfind(
            "TIpSocket.Recieve: Reading operation from \"127.0.0.1:" + std::to_string(peer.Port()) +
                "\" was not completed before the read timeout expired.",
            0),
        0u)
        << e.InnerException()->Message;
    EXPECT_EQ(dynamic_cast<const ESocketError&>(*e.InnerException()).ErrorCode, ETIMEDOUT);
    // The same failure handed over unthrown, for a caller that reports it as a value.
    std::unique_ptr<Exception> timedOut;
    EXPECT_EQ(c.ReadOrTimeOut(buf, 4, true, timedOut), 0);
    ASSERT_NE(timedOut, nullptr);
    EXPECT_STREQ(timedOut->ClassName(), "EReadTimeoutError");
    EXPECT_EQ(DescribeException(timedOut.get()), DescribeException(&e));
  }
  EXPECT_TRUE(c.IsOpen());  // a failure does not close by itself
}

// What one wait brings is handed out read by read, in order; what was not yet read counts as
// waiting, goes first to a read that does not wait, and goes with the connection it came on.
TEST(TcpConnectionIo, BytesThatCameTogetherAreReadInPiecesWithoutAnotherWait) {
  TTcpTestPeer peer;
  TTcpConnection c("127.0.0.1", peer.Port());
  c.Open();
  ASSERT_TRUE(peer.Accept());
  std::uint8_t buf[16] = {};
  // Up to Count bytes by a waiting read or by one that takes only what waits.
  const auto take = [&](std::int32_t Count, bool Waiting) {
    const std::int32_t n = Waiting ? c.Read(buf, Count) : c.ReadAvailable(buf, Count);
    return std::string(reinterpret_cast<char*>(buf), static_cast<std::size_t>(n));
  };
  c.SetReadTimeout(2000);
  peer.SendText("abcdefghij");
  ASSERT_TRUE(test::WaitFor([&] { return c.BytesToRead() == 10; }));
  EXPECT_EQ(take(4, true), "abcd");
  EXPECT_EQ(c.BytesToRead(), 6);
  c.SetReadTimeout(1);  // the rest has come: no wait, so no timeout
  EXPECT_EQ(take(4, true), "efgh");
  peer.SendText("kl");
  ASSERT_TRUE(test::WaitFor([&] { return c.BytesToRead() == 4; }));
  EXPECT_EQ(take(16, false), "ij");
  EXPECT_EQ(take(16, false), "kl");

  peer.SendText("mnop");
  c.SetReadTimeout(2000);
  ASSERT_TRUE(test::WaitFor([&] { return c.BytesToRead() == 4; }));
  EXPECT_EQ(take(1, true), "m");
  c.Close();
  c.Open();
  ASSERT_TRUE(peer.Accept());
  EXPECT_EQ(c.BytesToRead(), 0);
  EXPECT_EQ(take(16, false), "");
}

TEST(TcpConnectionIo, DeviceClosingIsAnIoErrorWithCodeZero) {
  TTcpTestPeer peer;
  TTcpConnection c("127.0.0.1", peer.Port());
  c.Open();
  ASSERT_TRUE(peer.Accept());
  c.SetReadTimeout(2000);
  peer.CloseClient();
  std::uint8_t buf[4];
  try {
    c.Read(buf, 4);
    FAIL();
  } catch (const EConnectionIOError& e) {
    EXPECT_EQ(e.Message, Prefix(peer.Port()) + " Данные не прочитаны из-за ошибки вввод-вывода.");
    const auto* inner = dynamic_cast<const EInOutSocketError*>(e.InnerException());
    ASSERT_NE(inner, nullptr);
    EXPECT_EQ(inner->ErrorCode, 0);
  }
  // Writing on: reset, then broken pipe, never SIGPIPE.
  c.SetWriteTimeout(2000);
  const std::uint8_t data[32] = {};
  bool failed = false;
  for (int i = 0; i < 100 && !failed; ++i) {
    try {
      c.Write(data, sizeof(data));
    } catch (const EConnectionIOError& e) {
      failed = true;
      EXPECT_EQ(e.Message,
                Prefix(peer.Port()) + " Данные не отправлены из-за ошибки вввод-вывода.");
      EXPECT_TRUE(e.InnerException() && e.InnerException()->Is<EInOutSocketError>());
    }
  }
  EXPECT_TRUE(failed);
  // Reopening after the failure gives a fresh working socket.
  c.Close();
  c.Open();
  EXPECT_TRUE(peer.Accept());
}

TEST(TcpConnectionIo, WriteThatCannotFinishTimesOut) {
  // The peer never reads: once both sides' buffers are full the write must give up.
  TTcpTestPeer peer;
  TTcpConnection c("127.0.0.1", peer.Port());
  c.Open();
  ASSERT_TRUE(peer.Accept());
  c.SetWriteTimeout(50);
  const std::vector<std::uint8_t> big(64u << 20, 0x55);
  try {
    c.Write(big.data(), static_cast<std::int32_t>(big.size()));
    FAIL() << "64 MiB fitted into the socket buffers";
  } catch (const EWriteTimeoutError& e) {
    EXPECT_NE(e.Message.find("(50 ms). "), std::string::npos) << e.Message;
    EXPECT_TRUE(e.InnerException() && e.InnerException()->Is<ETimeoutSocketError>());
  }
}

TEST(TcpConnectionIo, OneDeadlineGovernsTheWholeWrite) {
  // The peer reads, but slowly: every partial send makes progress. A timeout per send would
  // let the write run on until all of it is sent; the deadline for the whole buffer ends it.
  TTcpTestPeer peer;
  TTcpConnection c("127.0.0.1", peer.Port());
  c.Open();
  ASSERT_TRUE(peer.Accept());
  std::atomic<bool> done{false};
  std::thread reader([&] {
    while (!done.load()) {
      peer.ReceiveExactly(16384, 10);
      ::poll(nullptr, 0, 10);  // the slow device's pace
    }
  });
  c.SetWriteTimeout(300);
  const std::vector<std::uint8_t> big(32u << 20, 0x55);
  EXPECT_THROW(c.Write(big.data(), static_cast<std::int32_t>(big.size())), EWriteTimeoutError);
  done = true;
  reader.join();
}

TEST(TcpConnectionIo, ReadAvailableTakesWhatWaitsWithoutWaiting) {
  TTcpTestPeer peer;
  TTcpConnection c("127.0.0.1", peer.Port());
  std::uint8_t buf[8] = {};
  EXPECT_THROW(c.ReadAvailable(buf, 8), EConnectionIOError);  // closed
  c.Open();
  ASSERT_TRUE(peer.Accept());
  c.SetReadTimeout(0);  // no limit: ReadAvailable must not wait for it
  EXPECT_EQ(c.ReadAvailable(buf, 8), 0);
  peer.SendText("late");
  ASSERT_TRUE(test::WaitFor([&] { return c.BytesToRead() == 4; }));
  EXPECT_EQ(c.ReadAvailable(buf, 3), 3);
  EXPECT_EQ(c.ReadAvailable(buf, 8), 1);
  EXPECT_EQ(buf[0], 'e');
  peer.CloseClient();
  ASSERT_TRUE(test::WaitFor([&] {
    try {
      c.ReadAvailable(buf, 8);
      return false;
    } catch (const EConnectionIOError& E) {
      const auto* inner = dynamic_cast<const EInOutSocketError*>(E.InnerException());
      return inner != nullptr && inner->ErrorCode == 0;  // the device closed
    }
  }));
}

TEST(TcpConnectionLifetime, DestroyingAnOpenConnectionClosesIt) {
  TTcpTestPeer peer;
  {
    TTcpConnection c("127.0.0.1", peer.Port());
    c.Open();
    ASSERT_TRUE(peer.Accept());
  }
  EXPECT_TRUE(peer.ClientClosedByPeer());
}

}  // namespace
}  // namespace probrix
