#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <sys/stat.h>

#include <filesystem>
#include <random>
#include <thread>

#include "devsim/DevsimClients.h"
#include "devsim/devsimSimulator.h"
#include "support/TestSupport.h"

namespace probrix::devsim {
namespace {

using namespace probrix::devsim::test;
namespace fs = std::filesystem;

const TBytes Orvatbus5Crc1 = B({0xFF, 0x25, 0x20, 0x49, 0xB3, 0x03});
const TBytes Orvatbus2Crc1 = OrvatbusPack(B({0x22, 0x20, 0x49}), TChecksum::ckCrc1);
const TBytes Orvatbus2Crc8 = OrvatbusPack(B({0x22, 0x20, 0x49}), TChecksum::ckCrc8);
const TBytes Rtu17 = B({0x11, 0x03, 0x03, 0xE8, 0x00, 0x0A, 0x47, 0x2D});
const TBytes Rtu17Reply =
    B({0x11, 0x03, 0x14, 0x00, 0x10, 0x00, 0xD7, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
       0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10, 0xE1, 0x00, 0x00, 0x11, 0x96});
const TBytes Orvatbus5Reply = B({0xFF, 0x20, 0x25, 0x49, 0x00, 0x00, 0x06, 0x00, 0x00, 0x01, 0xA5,
                                 0x04, 0xD2, 0x00, 0xC7, 0x03});

TDeviceConfig Orvatbus(int Address, TChecksum Kind, std::uint32_t Serial = 1234) {
  TDeviceConfig d;
  d.Kind = TDeviceKind::dkOrvatbus;
  d.Address = Address;
  d.Checksum = Kind;
  d.DeviceType = 6;
  d.FirmwareVersion = 421;
  d.SerialNumber = Serial;
  return d;
}

TDeviceConfig Modbus(int Address, std::uint8_t Type = 16, std::uint16_t Version = 215,
                     std::uint32_t Serial = 4321) {
  TDeviceConfig d;
  d.Kind = TDeviceKind::dkModbus;
  d.Address = Address;
  d.DeviceType = Type;
  d.FirmwareVersion = Version;
  d.SerialNumber = Serial;
  return d;
}

TDeviceConfig Ascii(int Address, int IntervalMs = 10) {
  TDeviceConfig d;
  d.Kind = TDeviceKind::dkOrvatAscii;
  d.Address = Address;
  d.IntervalMs = IntervalMs;
  return d;
}

TBytes Exchange(int Fd, const TBytes& Request, std::size_t ReplySize,
                const std::function<void(const TBytes&)>& Write) {
  Write(Request);
  return ReadCount(Fd, ReplySize).Data;
}

TBytes PortExchange(TPortClient& Port, const TBytes& Request, std::size_t ReplySize) {
  return Exchange(Port.Fd(), Request, ReplySize, [&](const TBytes& d) { Port.Write(d); });
}

TBytes TcpExchange(TTcpClient& Client, const TBytes& Request, std::size_t ReplySize) {
  return Exchange(Client.Fd(), Request, ReplySize, [&](const TBytes& d) { Client.Write(d); });
}

TEST(DevsimSerial, DevicesOnOneBusAnswerOnlyTheirOwnRequests) {
  probrix::test::TTempDir dir;
  TSimulator sim(dir.Path());
  const std::string path = sim.AddSerialPort({.Name = "ttyBUS"});
  EXPECT_EQ(path, (dir.Path() / "ttyBUS").string());
  EXPECT_TRUE(fs::is_symlink(path));
  EXPECT_EQ(fs::read_symlink(path).string().rfind("/dev/pts/", 0), 0u);

  const int two = sim.AddDevice(path, Orvatbus(2, TChecksum::ckCrc8, 10234));
  const int five = sim.AddDevice(path, Orvatbus(5, TChecksum::ckCrc1));
  const int rtu = sim.AddDevice(path, Modbus(17));

  TPortClient port(path);
  EXPECT_EQ(PortExchange(port, Orvatbus5Crc1, Orvatbus5Reply.size()), Orvatbus5Reply);
  EXPECT_EQ(PortExchange(port, Rtu17, Rtu17Reply.size()), Rtu17Reply);

  // A crc1 request to the crc8 device and a request to an absent address stay unanswered:
  // the next bytes on the line are the reply to the request after them.
  port.Write(Orvatbus2Crc1);
  port.Write(OrvatbusPack(B({0x29, 0x20, 0x49}), TChecksum::ckCrc1));
  port.Write(ModbusRtuFrame(B({0x12, 0x03, 0x03, 0xE8, 0x00, 0x0A})));
  const TBytes expected2 = OrvatbusPack(
      B({0x20, 0x22, 0x49, 0, 0, 6, 0, 0, 0x01, 0xA5, 0x27, 0xFA, 0}), TChecksum::ckCrc8);
  EXPECT_EQ(PortExchange(port, Orvatbus2Crc8, expected2.size()), expected2);

  // The any-device address is answered by every Orvatbus device whose checksum fits.
  const TBytes any =
      PortExchange(port, B({0xFF, 0x7F, 0x20, 0x49, 0xE9, 0x03}), Orvatbus5Reply.size());
  EXPECT_EQ(any, Orvatbus5Reply);

  EXPECT_EQ(sim.RequestCount(two), 1u);
  EXPECT_EQ(sim.RequestCount(five), 2u);
  EXPECT_EQ(sim.RequestCount(rtu), 1u);
  const TBytes received = sim.Received(path);
  EXPECT_EQ(received.substr(0, Orvatbus5Crc1.size()), Orvatbus5Crc1);
  sim.ClearReceived(path);
  EXPECT_TRUE(sim.Received(path).empty());
}

TEST(DevsimSerial, EchoingLineAndBytesQueuedBeforeTheFirstOpen) {
  TSimulator sim;
  const std::string path = sim.AddSerialPort({.Echo = true, .QueuedBytes = 12});
  const int rtu = sim.AddDevice(path, Modbus(17));
  sim.AddDevice(path, Orvatbus(5, TChecksum::ckCrc1));
  TPortClient port(path);
  // What waited before the open comes first: noise, nothing of a frame.
  const TBytes queued = ReadCount(port.Fd(), 12).Data;
  ASSERT_EQ(queued.size(), 12u);
  EXPECT_EQ(queued.find(0xFF), TBytes::npos);
  // The line gives back the request itself, then the device's reply; the echo is no request.
  EXPECT_EQ(PortExchange(port, Rtu17, Rtu17.size() + Rtu17Reply.size()), Rtu17 + Rtu17Reply);
  EXPECT_EQ(PortExchange(port, Orvatbus5Crc1, Orvatbus5Crc1.size() + Orvatbus5Reply.size()),
            Orvatbus5Crc1 + Orvatbus5Reply);
  EXPECT_EQ(sim.RequestCount(rtu), 1u);
  // Bytes nobody answers come back all the same.
  EXPECT_EQ(PortExchange(port, B({0x01, 0x02}), 2), B({0x01, 0x02}));
}

TEST(DevsimSerial, PortCanBeOpenedAgainAndKeepsAnswering) {
  TSimulator sim;
  const std::string path = sim.AddSerialPort();
  EXPECT_EQ(fs::path(path).parent_path(), sim.LinkFolder());
  sim.AddDevice(path, Orvatbus(5, TChecksum::ckCrc1));
  for (int round = 0; round < 3; ++round) {
    TPortClient port(path);
    EXPECT_EQ(PortExchange(port, Orvatbus5Crc1, Orvatbus5Reply.size()), Orvatbus5Reply);
  }
  const fs::path folder = sim.LinkFolder();
  sim.Stop();
  EXPECT_FALSE(fs::exists(folder));
}

TEST(DevsimSerial, DeviceWithALineRateAnswersOnlyAtThatRate) {
  TSimulator sim;
  const std::string path = sim.AddSerialPort();
  sim.AddDevice(path, Modbus(17));
  TDeviceConfig fast = Orvatbus(5, TChecksum::ckCrc1);
  fast.Baud = 19200;
  sim.AddDevice(path, fast);

  TPortClient port(path, 9600);
  port.Write(Orvatbus5Crc1);
  EXPECT_EQ(PortExchange(port, Rtu17, Rtu17Reply.size()), Rtu17Reply);
  port.SetBaud(19200);
  EXPECT_EQ(PortExchange(port, Orvatbus5Crc1, Orvatbus5Reply.size()), Orvatbus5Reply);
}

// A device answers only while the line carries its format, as the terminal's flags show it;
// a port's format holds for its devices that name none. A reply that comes is the one of the
// last request only when the requests before it went unanswered.
TEST(DevsimSerial, DeviceWithALineFormatAnswersOnlyWhileTheLineCarriesIt) {
  TSimulator sim;
  const std::string any = sim.AddSerialPort();
  sim.AddDevice(any, Modbus(17));
  TDeviceConfig odd = Orvatbus(5, TChecksum::ckCrc1);
  odd.LineFormat = "8O1";
  sim.AddDevice(any, odd);
  TPortClient port(any);
  port.Write(Orvatbus5Crc1);
  EXPECT_EQ(PortExchange(port, Rtu17, Rtu17Reply.size()), Rtu17Reply);
  port.SetFormat(PARENB | PARODD);
  EXPECT_EQ(PortExchange(port, Orvatbus5Crc1, Orvatbus5Reply.size()), Orvatbus5Reply);

  TSerialPortConfig twoStopBits;
  twoStopBits.LineFormat = "8N2";
  const std::string path = sim.AddSerialPort(twoStopBits);
  sim.AddDevice(path, Modbus(17));
  TDeviceConfig plain = Orvatbus(5, TChecksum::ckCrc1);
  plain.LineFormat = "8N1";
  sim.AddDevice(path, plain);
  TPortClient other(path);
  other.Write(Rtu17);
  EXPECT_EQ(PortExchange(other, Orvatbus5Crc1, Orvatbus5Reply.size()), Orvatbus5Reply);
  other.SetFormat(CSTOPB);
  other.Write(Orvatbus5Crc1);
  EXPECT_EQ(PortExchange(other, Rtu17, Rtu17Reply.size()), Rtu17Reply);

  TDeviceConfig bad = Modbus(3);
  bad.LineFormat = "7E1";
  EXPECT_THROW(sim.AddDevice(path, bad), std::invalid_argument);
}

TEST(DevsimSerial, RepliesEscapeSpecialBytes) {
  TSimulator sim;
  const std::string path = sim.AddSerialPort();
  TDeviceConfig d = Orvatbus(5, TChecksum::ckCrc1, 0x03FF);
  d.FirmwareVersion = 0;
  d.ExtraByte = 0x10;
  sim.AddDevice(path, d);
  TPortClient port(path);
  const TBytes expected = B({0xFF, 0x20, 0x25, 0x49, 0x00, 0x00, 0x06, 0x00, 0x00, 0x00, 0x00, 0x10,
                             0xFC, 0x10, 0x00, 0x10, 0xEF, 0x59, 0x03});
  EXPECT_EQ(PortExchange(port, Orvatbus5Crc1, expected.size()), expected);
}

TEST(DevsimSerial, WireTimingDeliversTheWholeReply) {
  TSimulator sim;
  TSerialPortConfig timed;
  timed.WireTiming = true;
  const std::string path = sim.AddSerialPort(timed);
  sim.AddDevice(path, Modbus(17));
  TPortClient port(path, 115200);
  EXPECT_EQ(PortExchange(port, Rtu17, Rtu17Reply.size()), Rtu17Reply);
}

TEST(DevsimSerial, AsciiDeviceTransmitsLinesWithItsAddressCharacter) {
  TSimulator sim;
  const std::string path = sim.AddSerialPort();
  sim.AddDevice(path, Ascii('A'));
  TPortClient port(path);
  const TReadResult r = ReadUntil(port.Fd(), [](const TBytes& d) {
    // Two complete lines after the first line end.
    const auto first = d.find(B({0x0D, 0x0A}));
    return first != TBytes::npos && d.size() >= first + 2 + 30;
  });
  const auto first = r.Data.find(B({0x0D, 0x0A}));
  ASSERT_NE(first, TBytes::npos);
  const TBytes line = OrvatAsciiLine('A', "+0023.45 kPa");
  EXPECT_EQ(r.Data.substr(first + 2, 15), line);
  EXPECT_EQ(r.Data.substr(first + 17, 15), line);
}

TEST(DevsimSerial, BackToBackLinesOnALossyLine) {
  TSimulator sim;
  TSerialPortConfig lossy;
  lossy.WireTiming = true;
  lossy.Lossy = true;
  const std::string path = sim.AddSerialPort(lossy);
  sim.AddDevice(path, Ascii('B', 0));
  TPortClient port(path);
  // Read as it comes: line follows line without a pause.
  const TReadResult r = ReadUntil(port.Fd(), [](const TBytes& d) {
    const auto first = d.find(B({0x0D, 0x0A}));
    return first != TBytes::npos && d.size() >= first + 2 + 45;
  });
  const auto first = r.Data.find(B({0x0D, 0x0A}));
  ASSERT_NE(first, TBytes::npos);
  const TBytes line = OrvatAsciiLine('B', "+0023.45 kPa");
  EXPECT_EQ(r.Data.substr(first + 2, 45), line + line + line);

  // Nobody reads: what piles up goes, all but a few bytes, wherever the line then stands (a
  // port that keeps it would hold 1 KiB after that second).
  int waiting = 0;
  ASSERT_TRUE(probrix::test::WaitFor([&] {
    ::ioctl(port.Fd(), FIONREAD, &waiting);
    return waiting > 40;
  }));
  EXPECT_TRUE(probrix::test::WaitFor(
      [&] {
        ::ioctl(port.Fd(), FIONREAD, &waiting);
        return waiting < 20;
      },
      std::chrono::seconds(1)));
}

TEST(DevsimSerial, ModbusTcpFramingOnASerialPort) {
  TSimulator sim;
  const std::string path = sim.AddSerialPort();
  TDeviceConfig d = Modbus(1, 206, 312, 20001);
  d.Kind = TDeviceKind::dkModbusTcp;
  sim.AddDevice(path, d);
  TPortClient port(path);
  const TBytes reply = PortExchange(
      port, B({0x00, 0x01, 0x00, 0x00, 0x00, 0x06, 0x01, 0x03, 0x03, 0xE8, 0x00, 0x0A}), 29);
  EXPECT_EQ(reply.substr(0, 9), B({0x00, 0x01, 0x00, 0x00, 0x00, 0x17, 0x01, 0x03, 0x14}));
}

TEST(DevsimTcp, ModbusUnitsAnswerWithTheirTransaction) {
  TSimulator sim;
  const std::uint16_t port = sim.AddTcpServer();
  ASSERT_NE(port, 0);
  sim.AddDevice(port, Modbus(1, 206, 312, 20001));
  sim.AddDevice(port, Modbus(5, 81, 0x0A0F, 20005));

  TTcpClient a(port);
  TTcpClient b(port);
  ASSERT_TRUE(a.Connected());
  ASSERT_TRUE(b.Connected());
  EXPECT_EQ(
      TcpExchange(a, B({0x00, 0x01, 0x00, 0x00, 0x00, 0x06, 0x01, 0x03, 0x03, 0xE8, 0x00, 0x0A}),
                  29),
      B({0x00, 0x01, 0x00, 0x00, 0x00, 0x17, 0x01, 0x03, 0x14, 0x00, 0xCE, 0x01, 0x38, 0x00, 0x00,
         0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x4E, 0x21, 0x00, 0x00}));
  // Unit 3 is not there; unit 5 answers the request after it.
  b.Write(ModbusTcpFrame(B({3, 3, 0x03, 0xE8, 0, 10}), 6));
  EXPECT_EQ(
      TcpExchange(b, ModbusTcpFrame(B({5, 3, 0x03, 0xE8, 0, 10}), 7), 29),
      B({0x00, 0x07, 0x00, 0x00, 0x00, 0x17, 0x05, 0x03, 0x14, 0x00, 0x51, 0x0A, 0x0F, 0x00, 0x00,
         0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x4E, 0x25, 0x00, 0x00}));
  EXPECT_EQ(sim.AcceptCount(port), 2u);
}

TEST(DevsimTcp, CountsRequestsInProgressAtOnce) {
  TSimulator sim;
  TDeviceConfig slow = Modbus(1);
  slow.Behaviour.DelayMs = 400;
  const TBytes request = ModbusTcpFrame(B({1, 3, 0x03, 0xE8, 0, 10}), 1);
  // One after another on two connections: never more than one at a time.
  const std::uint16_t calm = sim.AddTcpServer();
  sim.AddDevice(calm, slow);
  TTcpClient a(calm), b(calm);
  EXPECT_EQ(TcpExchange(a, request, 29).size(), 29u);
  EXPECT_EQ(TcpExchange(b, request, 29).size(), 29u);
  EXPECT_EQ(sim.PeakRequestsInProgress(calm), 1u);
  // Both connections ask before the slow reply has gone out.
  const std::uint16_t busy = sim.AddTcpServer();
  sim.AddDevice(busy, slow);
  TTcpClient c(busy), d(busy);
  c.Write(request);
  d.Write(request);
  EXPECT_EQ(ReadCount(c.Fd(), 29).Data.size(), 29u);
  EXPECT_EQ(ReadCount(d.Fd(), 29).Data.size(), 29u);
  EXPECT_EQ(sim.PeakRequestsInProgress(busy), 2u);
  // A silent device's requests are never in progress.
  TDeviceConfig silent = Modbus(17);
  silent.Behaviour.Silent = true;
  const std::string port = sim.AddSerialPort();
  const int quiet = sim.AddDevice(port, silent);
  TPortClient p(port);
  p.Write(Rtu17);
  ASSERT_TRUE(probrix::test::WaitFor([&] { return sim.RequestCount(quiet) == 1; }));
  EXPECT_EQ(sim.PeakRequestsInProgress(port), 0u);
}

TEST(DevsimTcp, EchoServerAndGreeting) {
  TSimulator sim;
  const std::uint16_t echo = sim.AddTcpServer({.Echo = true});
  TTcpClient e(echo);
  const TBytes request = ModbusTcpFrame(B({1, 3, 0x03, 0xE8, 0, 10}), 7);
  EXPECT_EQ(TcpExchange(e, request, request.size()), request);
  EXPECT_TRUE(ReadCount(e.Fd(), 1, 50ms).Data.empty()) << "nothing but the echo";

  // A greeting comes first on every connection, the echo and the reply after it.
  const std::uint16_t chatty = sim.AddTcpServer({.Echo = true, .Greeting = "HELLO\r\n"});
  sim.AddDevice(chatty, Modbus(1));
  for (int connection = 0; connection < 2; ++connection) {
    TTcpClient c(chatty);
    EXPECT_EQ(ReadCount(c.Fd(), 7).Data, B({'H', 'E', 'L', 'L', 'O', '\r', '\n'}));
    const TBytes both = TcpExchange(c, request, request.size() + 29);
    EXPECT_EQ(both.substr(0, request.size()), request);
    EXPECT_EQ(both.substr(request.size()),
              ModbusTcpFrame(ModbusReplyBody(Modbus(1), B({1, 3, 0x03, 0xE8, 0, 10})), 7));
  }
}

TEST(DevsimTcp, EveryProtocolWorksOnATcpServer) {
  TSimulator sim;
  const std::uint16_t port = sim.AddTcpServer();
  sim.AddDevice(port, Orvatbus(5, TChecksum::ckCrc1));
  TDeviceConfig rtu = Modbus(17);
  rtu.Kind = TDeviceKind::dkModbusRtu;
  sim.AddDevice(port, rtu);
  TTcpClient c(port);
  EXPECT_EQ(TcpExchange(c, Orvatbus5Crc1, Orvatbus5Reply.size()), Orvatbus5Reply);
  EXPECT_EQ(TcpExchange(c, Rtu17, Rtu17Reply.size()), Rtu17Reply);

  // An OrvatASCII device starts its stream anew for every connection, here mid-line.
  const std::uint16_t asciiPort = sim.AddTcpServer();
  TDeviceConfig a = Ascii(0xC1);
  a.StartOffset = 5;
  sim.AddDevice(asciiPort, a);
  TTcpClient ac(asciiPort);
  const TBytes line = OrvatAsciiLine(0xC1, "+0023.45 kPa");
  const TReadResult r = ReadCount(ac.Fd(), 10 + 15);
  EXPECT_EQ(r.Data.substr(0, 10), line.substr(5));
  EXPECT_EQ(r.Data.substr(10, 15), line);
}

TEST(DevsimFaults, NoiseChunksAndDripStillDeliverTheReply) {
  TSimulator sim;
  const std::string path = sim.AddSerialPort();
  TDeviceConfig d = Orvatbus(5, TChecksum::ckCrc1);
  d.Behaviour.NoiseBytes = 40;
  d.Behaviour.DelayMs = 5;
  const int id = sim.AddDevice(path, d);
  TPortClient port(path);
  const TBytes noisy = PortExchange(port, Orvatbus5Crc1, 40 + Orvatbus5Reply.size());
  ASSERT_EQ(noisy.size(), 40 + Orvatbus5Reply.size());
  EXPECT_EQ(noisy.substr(0, 40).find(0xFF), TBytes::npos);
  EXPECT_EQ(noisy.substr(40), Orvatbus5Reply);

  d.Behaviour = {};
  d.Behaviour.DripMs = 1;
  sim.SetDevice(id, d);
  const TReadResult drip = [&] {
    port.Write(Orvatbus5Crc1);
    return ReadCount(port.Fd(), Orvatbus5Reply.size());
  }();
  EXPECT_EQ(drip.Data, Orvatbus5Reply);
  EXPECT_GT(drip.Reads, 1);
}

TEST(DevsimFaults, ChunksArriveSeparately) {
  TSimulator sim;
  const std::uint16_t port = sim.AddTcpServer();
  TDeviceConfig d = Modbus(1);
  d.Behaviour.Chunks = 2;
  d.Behaviour.ChunkGapMs = 150;
  sim.AddDevice(port, d);
  TTcpClient c(port);
  c.Write(ModbusTcpFrame(B({1, 3, 0x03, 0xE8, 0, 10}), 1));
  // The first read sees only the first piece: the second one follows a long pause.
  const TReadResult first = ReadCount(c.Fd(), 1);
  EXPECT_EQ(first.Data.size(), 14u);
  const TReadResult rest = ReadCount(c.Fd(), 29 - first.Data.size());
  EXPECT_EQ(first.Data + rest.Data,
            ModbusTcpFrame(ModbusReplyBody(d, B({1, 3, 0x03, 0xE8, 0, 10})), 1));
}

TEST(DevsimFaults, ForeignFramesBeforeTheReply) {
  // Another device's frame of any function, with a good CRC, goes out right before the reply.
  const struct {
    int Function;
    int Address;
    TBytes Frame;
  } cases[] = {
      {0x41, 9, B({0x09, 0x41, 0x05, 0x06, 0x07, 0x08, 0x09, 0x37, 0x9E})},
      {0x83, 9, B({0x09, 0x83, 0x01, 0x01, 0x32})},
      {0x11, -1, B({0x12, 0x11, 0x04, 0x11, 0x22, 0x33, 0x44, 0x6A, 0x75})},
  };
  TSimulator sim;
  const std::string path = sim.AddSerialPort();
  const int id = sim.AddDevice(path, Modbus(17));
  TPortClient port(path);
  for (const auto& c : cases) {
    TDeviceConfig d = Modbus(17);
    d.ForeignFunction = c.Function;
    d.ForeignAddress = c.Address;
    sim.SetDevice(id, d);
    EXPECT_EQ(ForeignRtuFrame(d), c.Frame);
    EXPECT_EQ(PortExchange(port, Rtu17, c.Frame.size() + Rtu17Reply.size()), c.Frame + Rtu17Reply)
        << c.Function;
  }
}

TEST(DevsimFaults, BadChecksumsAndOddReplies) {
  TSimulator sim;
  const std::string path = sim.AddSerialPort();
  TDeviceConfig rtu = Modbus(17);
  rtu.Behaviour.BadCrc = true;
  sim.AddDevice(path, rtu);
  TPortClient port(path);
  const TBytes reply = PortExchange(port, Rtu17, Rtu17Reply.size());
  ASSERT_EQ(reply.size(), Rtu17Reply.size());
  EXPECT_EQ(reply.substr(0, 23), Rtu17Reply.substr(0, 23));
  EXPECT_NE(reply.substr(23), Rtu17Reply.substr(23));

  const std::uint16_t tcp = sim.AddTcpServer();
  TDeviceConfig unit = Modbus(1);
  unit.Behaviour.MbapLengthField = 65535;
  sim.AddDevice(tcp, unit);
  TTcpClient c(tcp);
  const TBytes mbap = TcpExchange(c, ModbusTcpFrame(B({1, 3, 0x03, 0xE8, 0, 10}), 9), 29);
  ASSERT_EQ(mbap.size(), 29u);
  EXPECT_EQ(mbap.substr(0, 6), B({0x00, 0x09, 0x00, 0x00, 0xFF, 0xFF}));
}

TEST(DevsimFaults, SilentDeviceCountsRequestsButNeverAnswers) {
  TSimulator sim;
  const std::string path = sim.AddSerialPort();
  TDeviceConfig quiet = Orvatbus(5, TChecksum::ckCrc1);
  quiet.Behaviour.Silent = true;
  const int id = sim.AddDevice(path, quiet);
  sim.AddDevice(path, Modbus(17));
  TPortClient port(path);
  port.Write(Orvatbus5Crc1);
  EXPECT_EQ(PortExchange(port, Rtu17, Rtu17Reply.size()), Rtu17Reply);
  EXPECT_EQ(sim.RequestCount(id), 1u);

  // Made talkative again at run time.
  sim.SetDevice(id, Orvatbus(5, TChecksum::ckCrc1));
  EXPECT_EQ(PortExchange(port, Orvatbus5Crc1, Orvatbus5Reply.size()), Orvatbus5Reply);
}

TEST(DevsimFaults, GarbageBurstHasNoFrameOrLineBytes) {
  TSimulator sim;
  const std::string path = sim.AddSerialPort();
  TDeviceConfig d = Orvatbus(5, TChecksum::ckCrc1);
  d.Behaviour.GarbageBytes = 64 * 1024;
  sim.AddDevice(path, d);
  TPortClient port(path);
  const TBytes burst = PortExchange(port, Orvatbus5Crc1, 64 * 1024);
  ASSERT_EQ(burst.size(), 64u * 1024);
  for (std::uint8_t special : {0xFF, 0x03, 0x0D, 0x0A}) {
    EXPECT_EQ(burst.find(special), TBytes::npos);
  }
}

TEST(DevsimFaults, AcceptThenCloseAndCloseMidReply) {
  TSimulator sim;
  TTcpServerConfig closer;
  closer.AcceptThenClose = true;
  const std::uint16_t closing = sim.AddTcpServer(closer);
  sim.AddDevice(closing, Modbus(1));
  TTcpClient c(closing);
  ASSERT_TRUE(c.Connected());
  EXPECT_TRUE(ReadCount(c.Fd(), 1).Closed);
  EXPECT_EQ(sim.AcceptCount(closing), 1u);

  const std::uint16_t port = sim.AddTcpServer();
  TDeviceConfig d = Modbus(1);
  d.Behaviour.CloseMidReply = true;
  sim.AddDevice(port, d);
  TTcpClient m(port);
  m.Write(ModbusTcpFrame(B({1, 3, 0x03, 0xE8, 0, 10}), 1));
  const TReadResult r = ReadCount(m.Fd(), 29);
  EXPECT_TRUE(r.Closed);
  EXPECT_EQ(r.Data,
            ModbusTcpFrame(ModbusReplyBody(d, B({1, 3, 0x03, 0xE8, 0, 10})), 1).substr(0, 14));
  // The server itself is still there.
  TTcpClient again(port);
  EXPECT_TRUE(again.Connected());
  EXPECT_TRUE(sim.Alive(port));
}

TEST(DevsimFaults, VanishingPortHangsUpMidReply) {
  TSimulator sim;
  const std::string path = sim.AddSerialPort();
  TDeviceConfig d = Orvatbus(5, TChecksum::ckCrc1);
  d.Behaviour.VanishMidReply = true;
  sim.AddDevice(path, d);
  TPortClient port(path);
  port.Write(Orvatbus5Crc1);
  const TReadResult r = ReadCount(port.Fd(), Orvatbus5Reply.size());
  EXPECT_TRUE(r.Closed);
  // Half the reply arrives; a hang-up may discard what the reader had not taken yet.
  EXPECT_LE(r.Data.size(), Orvatbus5Reply.size() / 2);
  EXPECT_EQ(r.Data, Orvatbus5Reply.substr(0, r.Data.size()));
  EXPECT_TRUE(probrix::test::WaitFor([&] { return !sim.Alive(path); }));
  EXPECT_FALSE(fs::exists(fs::symlink_status(path)));
}

TEST(DevsimFaults, VanishOnRequest) {
  TSimulator sim;
  const std::string path = sim.AddSerialPort();
  sim.AddDevice(path, Ascii('A'));
  TPortClient port(path);
  sim.Vanish(path);
  EXPECT_FALSE(sim.Alive(path));
  EXPECT_TRUE(ReadUntil(port.Fd(), [](const TBytes&) { return false; }).Closed);
  EXPECT_FALSE(fs::exists(fs::symlink_status(path)));

  const std::uint16_t tcp = sim.AddTcpServer();
  sim.AddDevice(tcp, Modbus(1));
  TTcpClient c(tcp);
  ASSERT_TRUE(c.Connected());
  sim.Vanish(tcp);
  EXPECT_TRUE(ReadCount(c.Fd(), 1).Closed);
  TTcpClient refused(tcp);
  EXPECT_FALSE(refused.Connected());
  EXPECT_EQ(refused.ConnectErrno(), ECONNREFUSED);
}

TEST(DevsimRobustness, RandomInputNeverStopsTheDevices) {
  TSimulator sim;
  const std::string path = sim.AddSerialPort();
  const std::uint16_t tcp = sim.AddTcpServer();
  for (auto add : {0, 1}) {
    auto put = [&](const TDeviceConfig& d) {
      if (add == 0) {
        sim.AddDevice(path, d);
      } else {
        sim.AddDevice(tcp, d);
      }
    };
    put(Orvatbus(5, TChecksum::ckCrc1));
    put(Modbus(17));
    TDeviceConfig mbap = Modbus(1);
    mbap.Kind = TDeviceKind::dkModbusTcp;
    put(mbap);
    put(Ascii('B', 50));
  }
  std::mt19937 rng(42);
  TBytes junk(200 * 1024, 0);
  for (auto& b : junk) b = static_cast<std::uint8_t>(rng());
  // Known frame starts inside the junk to catch parsers that wait for impossible lengths.
  for (std::size_t i = 0; i + 8 < junk.size(); i += 4099) {
    junk[i] = 0xFF;
    junk[i + 1] = 0x00;
    junk[i + 2] = 0x00;
    junk[i + 3] = 0x00;
    junk[i + 4] = 0x00;
    junk[i + 5] = 0xFE;
  }
  {
    TPortClient port(path);
    TTcpClient c(tcp);
    for (std::size_t pos = 0; pos < junk.size(); pos += 4096) {
      const TBytes piece = junk.substr(pos, 4096);
      port.Write(piece);
      c.Write(piece);
      // Keep reading so neither side stalls on full buffers.
      Drain(port.Fd());
      Drain(c.Fd());
    }
  }
  // A clean request is answered on a fresh connection (retried: the tail of the junk may
  // still hold a partial frame until the line has been quiet for a moment).
  TPortClient port(path);
  bool answered = false;
  for (int attempt = 0; attempt < 20 && !answered; ++attempt) {
    port.Write(Orvatbus5Crc1);
    const TReadResult reply = ReadUntil(
        port.Fd(), [](const TBytes& d) { return d.find(Orvatbus5Reply) != TBytes::npos; }, 100ms);
    answered = reply.Data.find(Orvatbus5Reply) != TBytes::npos;
  }
  EXPECT_TRUE(answered);
  TTcpClient c(tcp);
  const TBytes request = ModbusTcpFrame(B({1, 3, 0x03, 0xE8, 0, 10}), 3);
  c.Write(request);
  const TReadResult reply = ReadUntil(c.Fd(), [](const TBytes& d) {
    return d.find(B({0x00, 0x03, 0x00, 0x00, 0x00, 0x17, 0x01, 0x03})) != TBytes::npos;
  });
  EXPECT_NE(reply.Data.find(B({0x00, 0x03, 0x00, 0x00, 0x00, 0x17, 0x01, 0x03})), TBytes::npos);
}

std::size_t CountEntries(const char* Folder) {
  std::size_t n = 0;
  for ([[maybe_unused]] const auto& e : fs::directory_iterator(Folder)) ++n;
  return n;
}

TEST(DevsimLifecycle, StopLeavesNoThreadsDescriptorsOrLinks) {
  // A sanitizer starts a helper thread with the first thread of the process: count after it.
  std::thread([] {}).join();
  const std::size_t fdsBefore = CountEntries("/proc/self/fd");
  const std::size_t threadsBefore = CountEntries("/proc/self/task");
  probrix::test::TTempDir dir;
  std::vector<std::string> paths;
  {
    TSimulator sim(dir.Path());
    paths.push_back(sim.AddSerialPort());
    sim.AddDevice(paths.back(), Orvatbus(5, TChecksum::ckCrc1));
    paths.push_back(sim.AddSerialPort());
    sim.AddDevice(paths.back(), Ascii('A', 5));
    const std::uint16_t tcp = sim.AddTcpServer();
    TDeviceConfig slow = Modbus(1);
    slow.Behaviour.DripMs = 50;  // still sending when the simulator stops
    sim.AddDevice(tcp, slow);
    EXPECT_GE(CountEntries("/proc/self/task"), threadsBefore + 3);

    TPortClient port(paths[0]);
    EXPECT_EQ(PortExchange(port, Orvatbus5Crc1, Orvatbus5Reply.size()), Orvatbus5Reply);
    TPortClient line(paths[1]);
    EXPECT_FALSE(ReadCount(line.Fd(), 15).Data.empty());
    TTcpClient c(tcp);
    c.Write(ModbusTcpFrame(B({1, 3, 0x03, 0xE8, 0, 10}), 1));
    EXPECT_EQ(ReadCount(c.Fd(), 1).Data.size(), 1u);
    sim.Stop();
    sim.Stop();
    EXPECT_TRUE(ReadCount(c.Fd(), 100).Closed);
    for (const auto& p : paths) EXPECT_FALSE(fs::exists(fs::symlink_status(p)));
    EXPECT_THROW(sim.AddSerialPort(), std::logic_error);
  }
  EXPECT_EQ(CountEntries("/proc/self/task"), threadsBefore);
  EXPECT_EQ(CountEntries("/proc/self/fd"), fdsBefore);
  EXPECT_TRUE(fs::exists(dir.Path()));  // a folder the caller named stays
}

TEST(DevsimLifecycle, UnknownEndpointsAndNamesAreRejected) {
  TSimulator sim;
  EXPECT_THROW(sim.AddDevice("/no/such/port", Modbus(1)), std::invalid_argument);
  EXPECT_THROW(sim.AddDevice(std::uint16_t{1}, Modbus(1)), std::invalid_argument);
  EXPECT_THROW(sim.SetDevice(99, Modbus(1)), std::invalid_argument);
  EXPECT_THROW(sim.AddSerialPort({.Name = "../escape"}), std::invalid_argument);
  sim.AddSerialPort({.Name = "ttyX"});
  EXPECT_THROW(sim.AddSerialPort({.Name = "ttyX"}), std::invalid_argument);

  // A link left dangling by a killed simulator is replaced; a live one is not taken over.
  fs::create_symlink("/dev/pts/no-such-terminal", sim.LinkFolder() / "ttyOld");
  const std::string old = sim.AddSerialPort({.Name = "ttyOld"});
  EXPECT_TRUE(fs::exists(old));
  TSimulator other(sim.LinkFolder());
  EXPECT_THROW(other.AddSerialPort({.Name = "ttyOld"}), std::runtime_error);
  EXPECT_TRUE(fs::exists(old));
}

}  // namespace
}  // namespace probrix::devsim
