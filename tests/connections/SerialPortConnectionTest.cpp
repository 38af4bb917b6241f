#include <gtest/gtest.h>
#include <termios.h>

#include <cerrno>
#include <filesystem>
#include <fstream>

#include "ConnectionLines.h"
#include "SerialTestPty.h"
#include "connections/ioConnectionFactory.h"
#include "connections/ioSerialPortConnection.h"
#include "foundation/ioExceptions.h"
#include "support/TestSupport.h"

namespace probrix {
namespace {

namespace fs = std::filesystem;
using test::TTestPty;

// Runs a test inside a temporary current directory (where "nodtr.ini" is looked for).
class TCurrentDir {
 public:
  explicit TCurrentDir(const fs::path& Dir) : Old_(fs::current_path()) { fs::current_path(Dir); }
  ~TCurrentDir() { fs::current_path(Old_); }

 private:
  fs::path Old_;
};

TEST(SerialPortConnectionTest, NamesAndConnectionString) {
  TSerialPortConnection c("COM3", true, 9600);
  EXPECT_EQ(c.UniqueName(), "COM3");
  EXPECT_EQ(c.DisplayName(), "COM3:9600");
  EXPECT_EQ(c.ConnectionString(), "PortName=COM3;BaudRate=9600;DtrEnable=1");
  EXPECT_EQ(c.InfiniteTimeout(), -1);
  EXPECT_EQ(c.ConnectionType(), TConnectionType::ctSerialPort);
  EXPECT_FALSE(c.IsOpen());
  c.SetUniqueName("Left");
  EXPECT_EQ(c.UniqueName(), "Left");
  c.SetUniqueName("");
  EXPECT_EQ(c.UniqueName(), "COM3");

  TSerialPortConnection off(" ttyUSB1 ", false, 115200);
  EXPECT_EQ(off.ConnectionString(), "PortName=ttyUSB1;BaudRate=115200;DtrEnable=0");
  EXPECT_EQ(off.DisplayName(), "ttyUSB1:115200");

  EXPECT_THROW(TSerialPortConnection("COM1", true, 0), EPropertyError);
}

TEST(SerialPortConnectionTest, MatchesAndApplyConnectionString) {
  TSerialPortConnection c("COM3", true, 9600);
  EXPECT_TRUE(c.Matches("PortName=COM3;BaudRate=115200"));
  EXPECT_FALSE(c.Matches("PortName=com3")) << "a Linux path keeps its case";
  EXPECT_FALSE(c.Matches("PortName=COM30"));
  EXPECT_FALSE(c.Matches("BaudRate=9600"));

  c.ApplyConnectionString("PortName=COM9;BaudRate=19200;DtrEnable=0");
  EXPECT_EQ(c.ConnectionString(), "PortName=COM3;BaudRate=19200;DtrEnable=0");
  c.ApplyConnectionString("BaudRate=fast");  // unreadable values fall back to 9600 and DTR on
  EXPECT_EQ(c.ConnectionString(), "PortName=COM3;BaudRate=9600;DtrEnable=1");
  EXPECT_THROW(c.ApplyConnectionString("BaudRate=0"), EPropertyError);
}

TEST(SerialPortConnectionTest, PortPropertyErrorsAreNotTranslated) {
  TSerialPortConnection c("COM3", true, 9600);
  EXPECT_THROW(c.SetReadTimeout(-2), ERangeError);
  EXPECT_THROW(c.SetWriteTimeout(0), ERangeError);
  EXPECT_THROW(c.BytesToRead(), EInvalidOperation);
  std::uint8_t buf[2];
  EXPECT_THROW(c.Read(buf, 2), EInvalidOperation);
  EXPECT_THROW(c.Write(buf, 2), EInvalidOperation);
  EXPECT_NO_THROW(c.Close());
  c.SetReadTimeout(0);
  EXPECT_EQ(c.ReadTimeout(), 0);
}

TEST(SerialPortConnectionTest, OpeningAMissingPortFails) {
  TSerialPortConnection c("ttyProbrixMissing3", true, 9600);
  const auto e = test::Caught<EConnectionOpenError>([&] { c.Open(); });
  EXPECT_EQ(e.Message,
            "[PortName=ttyProbrixMissing3;BaudRate=9600;DtrEnable=1] Ошибка открытия COM-порта");
  ASSERT_NE(e.InnerException(), nullptr);
  const auto* inner = dynamic_cast<const EInOutError*>(e.InnerException());
  ASSERT_NE(inner, nullptr);
  EXPECT_EQ(inner->ErrorCode, ENOENT);
  EXPECT_FALSE(c.IsOpen());
}

TEST(SerialPortConnectionTest, FactoryCreatesSerialPortConnections) {
  ShutdownConnectionFactory();
  const auto c = GetSerialPortConnection("ttyProbrixF1", 38400, true);
  ASSERT_NE(dynamic_cast<TSerialPortConnection*>(c.get()), nullptr);
  EXPECT_EQ(c->ConnectionString(), "PortName=ttyProbrixF1;BaudRate=38400;DtrEnable=1");
  EXPECT_THROW(GetSerialPortConnection("ttyProbrixF2", 0, true), EPropertyError);
  EXPECT_EQ(FindConnection("PortName=ttyProbrixF2"), nullptr);
  ShutdownConnectionFactory();
}

class SerialPortConnectionPtyTest : public ::testing::Test {
 protected:
  TTestPty Pty;
  test::TTempDir Dir;
  TCurrentDir Cwd{Dir.Path()};
  TSerialPortConnection C{Pty.SlavePath(), true, 9600};
  std::string Cs(bool Dtr) const {
    return "PortName=" + Pty.SlavePath() + ";BaudRate=9600;DtrEnable=" + (Dtr ? "1" : "0");
  }
  std::string Prefix(bool Dtr) const { return "[" + Cs(Dtr) + "]"; }
};

TEST_F(SerialPortConnectionPtyTest, NoDtrFileKeepsDtrOffAtEveryOpening) {
  C.Open();
  EXPECT_TRUE(C.IsOpen());
  EXPECT_EQ(C.ConnectionString(), Cs(true));
  C.Open();  // already open: nothing
  C.Close();

  std::ofstream(Dir.Path() / "nodtr.ini") << "";
  C.Open();
  EXPECT_EQ(C.ConnectionString(), Cs(false));
  C.Close();
  EXPECT_EQ(C.ConnectionString(), Cs(false));

  C.ApplyConnectionString("DtrEnable=1");
  EXPECT_EQ(C.ConnectionString(), Cs(true));
  C.Open();  // looked for again
  EXPECT_EQ(C.ConnectionString(), Cs(false));
  C.Close();

  // A folder of that name does not count.
  fs::remove(Dir.Path() / "nodtr.ini");
  fs::create_directory(Dir.Path() / "nodtr.ini");
  C.ApplyConnectionString("DtrEnable=1");
  C.Open();
  EXPECT_EQ(C.ConnectionString(), Cs(true));
}

TEST_F(SerialPortConnectionPtyTest, FailedOpenShowsDtrOffWhenTheFileWasFound) {
  std::ofstream(Dir.Path() / "nodtr.ini") << "x";
  TSerialPort holder;  // another opener holds the port
  holder.SetPortName(Pty.SlavePath());
  holder.Open();
  const auto e = test::Caught<EConnectionOpenError>([&] { C.Open(); });
  EXPECT_EQ(e.Message, Prefix(false) + " Ошибка открытия COM-порта");
  ASSERT_NE(e.InnerException(), nullptr);
  EXPECT_TRUE(e.InnerException()->Is<EInOutError>());
  EXPECT_NE(e.GetFullMessage().find("Возможно он используется другой программой."),
            std::string::npos);
}

TEST_F(SerialPortConnectionPtyTest, ReadAndWriteTranslateTimeouts) {
  C.Open();
  C.SetReadTimeout(30);
  std::uint8_t buf[16];
  const auto r = test::Caught<EReadTimeoutError>([&] { C.Read(buf, 16); });
  EXPECT_EQ(r.Message, Prefix(true) +
                           " Операция чтения данных из COM-порта не была завершена до истечения "
                           "срока ожидания (30 ms). ");
  ASSERT_NE(r.InnerException(), nullptr);
  EXPECT_TRUE(r.InnerException()->Is<ETimeoutException>());

  Pty.Write(BytesOf({0x01, 0x03, 0x00}));
  ASSERT_TRUE(test::WaitFor([&] { return C.BytesToRead() == 3; }));
  EXPECT_EQ(C.Read(buf, 16), 3);

  C.SetWriteTimeout(30);
  const TBytes big(1 << 20, 0xAA);
  const auto w = test::Caught<EWriteTimeoutError>(
      [&] { C.Write(big.data(), static_cast<std::int32_t>(big.size())); });
  EXPECT_EQ(w.Message, Prefix(true) +
                           " Операция записи данных в COM-порт не была завершена до истечения "
                           "срока ожидания (30 ms). ");
  ASSERT_NE(w.InnerException(), nullptr);
  EXPECT_TRUE(w.InnerException()->Is<ETimeoutException>());
}

TEST_F(SerialPortConnectionPtyTest, VanishedDeviceGivesConnectionIOErrors) {
  C.Open();
  C.SetReadTimeout(-1);  // a vanished device must not leave the read waiting
  Pty.CloseMaster();
  std::uint8_t buf[4];
  const auto r = test::Caught<EConnectionIOError>([&] { C.Read(buf, 4); });
  EXPECT_EQ(r.Message, Prefix(true) + " Данные не прочитаны из-за ошибки вввод-вывода.");
  ASSERT_NE(r.InnerException(), nullptr);
  EXPECT_TRUE(r.InnerException()->Is<EInOutError>());
  EXPECT_FALSE(C.IsOpen());
  EXPECT_NO_THROW(C.Close());
  // Opening again finds the device gone for good; nothing hangs.
  EXPECT_THROW(C.Open(), EConnectionOpenError);
}

TEST_F(SerialPortConnectionPtyTest, VanishedDeviceDuringWrite) {
  C.Open();
  Pty.CloseMaster();
  const auto w = test::Caught<EConnectionIOError>([&] { C.Write(BytesOf({1, 2}).data(), 2); });
  EXPECT_EQ(w.Message, Prefix(true) + " Данные не отправлены из-за ошибки вввод-вывода.");
  ASSERT_NE(w.InnerException(), nullptr);
  EXPECT_TRUE(w.InnerException()->Is<EInOutError>());
  EXPECT_FALSE(C.IsOpen());
}

TEST_F(SerialPortConnectionPtyTest, NewBaudRateWhileOpenReopens) {
  C.Open();
  C.ApplyConnectionString("BaudRate=115200;DtrEnable=1");
  EXPECT_TRUE(C.IsOpen());
  EXPECT_EQ(Pty.SlaveSpeed(), 115200u);
  EXPECT_EQ(C.DisplayName(), Pty.SlavePath() + ":115200");
}

// Each format is set on the line and read back. A pseudo terminal keeps the odd-parity and the
// stop-bit flags, which the device side sees, but drops parity itself: then the log says which
// format the line carries, and the port stays open.
TEST_F(SerialPortConnectionPtyTest, LineFormatIsReadBackAndWhatTheDriverDroppedIsSaid) {
  test::TConnectionLines lines(C);
  for (const TLineFormat& format : SearchLineFormats) {
    const std::string name = LineFormatName(format);
    SCOPED_TRACE(name);
    C.SetLineFormat(format);
    EXPECT_EQ(C.LineFormat(), format);
    C.Open();
    ASSERT_TRUE(C.IsOpen());
    EXPECT_EQ(C.ConnectionString(),
              Cs(true) + (format == DefaultLineFormat ? "" : ";LineFormat=" + name));
    termios device{};
    ASSERT_EQ(tcgetattr(Pty.MasterFd(), &device), 0);
    EXPECT_EQ((device.c_cflag & PARODD) != 0, format.Parity == platform::TParity::paOdd);
    EXPECT_EQ((device.c_cflag & CSTOPB) != 0, format.StopBits == platform::TStopBits::sbTwo);
    const bool dropped = format.Parity != platform::TParity::paNone;
    const std::string carried = format.StopBits == platform::TStopBits::sbTwo ? "8N2" : "8N1";
    EXPECT_EQ(lines.Lines(), dropped ? std::vector<std::string>{"Драйвер порта " + Pty.SlavePath() +
                                                                " не принял формат линии " + name +
                                                                ": действует " + carried}
                                     : std::vector<std::string>{});
    C.Close();
    lines.Clear();
  }
  C.ApplyConnectionString("BaudRate=9600;LineFormat=8O2");
  EXPECT_EQ(LineFormatName(C.LineFormat()), "8O2");
  C.ApplyConnectionString("BaudRate=9600");
  EXPECT_EQ(C.LineFormat(), DefaultLineFormat) << "a string without the key is 8N1";
  EXPECT_THROW(C.SetLineFormat({9, platform::TParity::paNone, platform::TStopBits::sbOne}),
               EPropertyError);
}

}  // namespace
}  // namespace probrix
