// The connection factory: identity rules, lookup by connection string, reconfiguration,
// shutdown, and its locks under concurrent use.

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "TcpTestPeer.h"
#include "connections/ioConnectionFactory.h"
#include "connections/ioTcpConnection.h"

#if __has_include("connections/ioSerialPortConnection.h")
#include "connections/ioSerialPortConnection.h"
#define PROBRIX_HAVE_SERIAL_CONNECTION 1
#endif

namespace probrix {
namespace {

class ConnectionFactory : public ::testing::Test {
 protected:
  void SetUp() override { ShutdownConnectionFactory(); }
  void TearDown() override { ShutdownConnectionFactory(); }
};

TEST_F(ConnectionFactory, OneTcpConnectionPerEndpoint) {
  const auto a = GetTcpConnection("Host", 502);
  const auto b = GetTcpConnection("host", 502);
  const auto c = GetTcpConnection("host", 503);
  EXPECT_EQ(a, b);
  EXPECT_NE(a, c);
  EXPECT_EQ(a->ConnectionString(), "TcpAddr=Host;TcpPort=502");  // the first request's text
  EXPECT_FALSE(a->IsOpen());                                     // no network touched

  EXPECT_EQ(FindConnection("TcpAddr=HOST;TcpPort=502"), std::shared_ptr<IDeviceConnection>(a));
  EXPECT_EQ(FindConnection("TcpAddr=host;TcpPort=503"), std::shared_ptr<IDeviceConnection>(c));
  EXPECT_EQ(FindConnection("TcpAddr=host;TcpPort=504"), nullptr);
  EXPECT_EQ(FindConnection(""), nullptr);
}

TEST_F(ConnectionFactory, ReconfiguringWhatWasNeverRequestedDoesNothing) {
  const auto tcp = GetTcpConnection("10.0.0.7", 502);
  EXPECT_NO_THROW(ReconfigureSerialPortConnection("COM3", 19200, true));
  EXPECT_NO_THROW(ReconfigureConnection("PortName=COM9;BaudRate=4800;DtrEnable=0"));
  // A TCP connection takes nothing from a connection string.
  EXPECT_NO_THROW(ReconfigureConnection("TcpAddr=10.0.0.7;TcpPort=502"));
  EXPECT_EQ(tcp->ConnectionString(), "TcpAddr=10.0.0.7;TcpPort=502");
  EXPECT_EQ(FindConnection("PortName=COM3"), nullptr);
}

TEST_F(ConnectionFactory, SerialConnectionStringText) {
  EXPECT_EQ(MakeSerialPortConnectionString("COM2", 115200, true),
            "PortName=COM2;BaudRate=115200;DtrEnable=1");
  EXPECT_EQ(MakeSerialPortConnectionString("COM3", 19200, false),
            "PortName=COM3;BaudRate=19200;DtrEnable=0");
  EXPECT_EQ(MakeSerialPortConnectionString("my port", 9600, true),
            "\"PortName=my port\";BaudRate=9600;DtrEnable=1");
}

TEST_F(ConnectionFactory, ShutdownClosesWhatNobodyElseHolds) {
  test::TTcpTestPeer peer;
  std::weak_ptr<TTcpConnection> released;
  {
    const auto open = GetTcpConnection("127.0.0.1", peer.Port());
    open->Open();
    released = open;
  }
  ASSERT_TRUE(peer.Accept());
  const auto kept = GetTcpConnection("localhost", peer.Port());

  // The pool holds no reference of its own: the factory's list keeps the connection alive.
  ASSERT_FALSE(released.expired());
  ShutdownConnectionFactory();
  EXPECT_TRUE(released.expired());
  EXPECT_TRUE(peer.ClientClosedByPeer());

  // A connection someone still holds survives, but the factory has forgotten it.
  EXPECT_EQ(kept->ConnectionString(), "TcpAddr=localhost;TcpPort=" + std::to_string(peer.Port()));
  EXPECT_EQ(FindConnection(kept->ConnectionString()), nullptr);
  EXPECT_NE(GetTcpConnection("localhost", peer.Port()), kept);
}

TEST_F(ConnectionFactory, ConcurrentCallersShareOneObjectPerEndpoint) {
  constexpr int Threads = 4;
  constexpr int Endpoints = 16;
  std::vector<std::vector<std::shared_ptr<TTcpConnection>>> seen(Threads);
  std::atomic<int> found{0};
  {
    std::vector<std::jthread> workers;
    for (int t = 0; t < Threads; ++t) {
      workers.emplace_back([&, t] {
        for (int i = 0; i < Endpoints; ++i) {
          // Alternate the case of the name: it must not matter.
          const std::string host = (t % 2 ? "DEV" : "dev") + std::to_string(i);
          const auto port = static_cast<std::uint16_t>(1000 + i);
          seen[t].push_back(GetTcpConnection(host, port));
          if (FindConnection("TcpAddr=dev" + std::to_string(i) +
                             ";TcpPort=" + std::to_string(port)))
            ++found;
          ReconfigureConnection("TcpAddr=dev0;TcpPort=1000");
        }
      });
    }
  }
  EXPECT_EQ(found.load(), Threads * Endpoints);
  for (int t = 1; t < Threads; ++t) {
    for (int i = 0; i < Endpoints; ++i) EXPECT_EQ(seen[t][i], seen[0][i]) << t << " " << i;
  }
  for (int i = 1; i < Endpoints; ++i) EXPECT_NE(seen[0][i], seen[0][i - 1]);
}

#ifdef PROBRIX_HAVE_SERIAL_CONNECTION

TEST_F(ConnectionFactory, OneSerialConnectionPerPortName) {
  const auto a = GetSerialPortConnection("COM3", 9600, true);
  EXPECT_EQ(GetSerialPortConnection("COM3", 115200, true), a);
  // The second request's baud rate is not applied.
  EXPECT_EQ(a->ConnectionString(), "PortName=COM3;BaudRate=9600;DtrEnable=1");

  // A Linux path keeps its case: another name is another port (another device, or none).
  const auto b = GetSerialPortConnection("com3", 115200, true);
  EXPECT_NE(b, a);
  EXPECT_EQ(b->ConnectionString(), "PortName=com3;BaudRate=115200;DtrEnable=1");

  // The argument is compared as given: a trailing blank misses the stored name.
  const auto c = GetSerialPortConnection("COM3 ", 9600, true);
  EXPECT_NE(c, a);
  EXPECT_EQ(c->ConnectionString(), "PortName=COM3;BaudRate=9600;DtrEnable=1");

  ReconfigureSerialPortConnection("COM3", 19200, true);
  EXPECT_EQ(a->ConnectionString(), "PortName=COM3;BaudRate=19200;DtrEnable=1");
  EXPECT_EQ(b->ConnectionString(), "PortName=com3;BaudRate=115200;DtrEnable=1");
  EXPECT_EQ(FindConnection("PortName=COM3;BaudRate=4800"), a);
  EXPECT_EQ(FindConnection("PortName=com3;BaudRate=4800"), b);
}

#endif

}  // namespace
}  // namespace probrix
