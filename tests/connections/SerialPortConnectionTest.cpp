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
  TSerialPortConnection C("COM3", true, 9600);
  EXPECT_EQ(C.UniqueName(), "COM3");
  EXPECT_EQ(C.DisplayName(), "COM3:9600");
  EXPECT_EQ(C.ConnectionString(), "PortName=COM3;BaudRate=9600;DtrEnable=1");
  EXPECT_EQ(C.InfiniteTimeout(), -1);
  EXPECT_EQ(C.ConnectionType(), TConnectionType::ctSerialPort);
  EXPECT_FALSE(C.IsOpen());
  C.SetUniqueName("Left");
  EXPECT_EQ(C.UniqueName(), "Left");
  C.SetUniqueName("");
  EXPECT_EQ(C.UniqueName(), "COM3");

  TSerialPortConnection Off(" ttyUSB1 ", false, 115200);
  EXPECT_EQ(Off.ConnectionString(), "PortName=ttyUSB1;BaudRate=115200;DtrEnable=0");
  EXPECT_EQ(Off.DisplayName(), "ttyUSB1:115200");

  EXPECT_THROW(TSerialPortConnection("COM1", true, 0), EPropertyError);
}

TEST(SerialPortConnectionTest, MatchesAndApplyConnectionString) {
  TSerialPortConnection C("COM3", true, 9600);
  EXPECT_TRUE(C.Matches("PortName=COM3;BaudRate=115200"));
  EXPECT_FALSE(C.Matches("PortName=com3")) << "a Linux path keeps its case";
  EXPECT_FALSE(C.Matches("PortName=COM30"));
  EXPECT_FALSE(C.Matches("BaudRate=9600"));

  C.ApplyConnectionString("PortName=COM9;BaudRate=19200;DtrEnable=0");
  EXPECT_EQ(C.ConnectionString(), "PortName=COM3;BaudRate=19200;DtrEnable=0");
  C.ApplyConnectionString("BaudRate=fast");  // unreadable values fall back to 9600 and DTR on
  EXPECT_EQ(C.ConnectionString(), "PortName=COM3;BaudRate=9600;DtrEnable=1");
  EXPECT_THROW(C.ApplyConnectionString("BaudRate=0"), EPropertyError);
}

TEST(SerialPortConnectionTest, PortPropertyErrorsAreNotTranslated) {
  TSerialPortConnection C("COM3", true, 9600);
  EXPECT_THROW(C.SetReadTimeout(-2), ERangeError);
  EXPECT_THROW(C.SetWriteTimeout(0), ERangeError);
  EXPECT_THROW(C.BytesToRead(), EInvalidOperation);
  std::uint8_t Buf[2];
  EXPECT_THROW(C.Read(Buf, 2), EInvalidOperation);
  EXPECT_THROW(C.Write(Buf, 2), EInvalidOperation);
  EXPECT_NO_THROW(C.Close());
  C.SetReadTimeout(0);
  EXPECT_EQ(C.ReadTimeout(), 0);
}

TEST(SerialPortConnectionTest, OpeningAMissingPortFails) {
  TSerialPortConnection C("ttyProbrixMissing3", true, 9600);
  const auto E = test::Caught<EConnectionOpenError>([&] { C.Open(); });
  EXPECT_EQ(E.Message,
            "[PortName=ttyProbrixMissing3;BaudRate=9600;DtrEnable=1] Ошибка открытия COM-порта");
  ASSERT_NE(E.InnerException(), nullptr);
  const auto* Inner = dynamic_cast<const EInOutError*>(E.InnerException());
  ASSERT_NE(Inner, nullptr);
  EXPECT_EQ(Inner->ErrorCode, ENOENT);
  EXPECT_FALSE(C.IsOpen());
}

TEST(SerialPortConnectionTest, FactoryCreatesSerialPortConnections) {
  ShutdownConnectionFactory();
  const auto C = GetSerialPortConnection("ttyProbrixF1", 38400, true);
  ASSERT_NE(dynamic_cast<TSerialPortConnection*>(C.get()), nullptr);
  EXPECT_EQ(C->ConnectionString(), "PortName=ttyProbrixF1;BaudRate=38400;DtrEnable=1");
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
  TSerialPort Holder;  // another opener holds the port
  Holder.SetPortName(Pty.SlavePath());
  Holder.Open();
  const auto E = test::Caught<EConnectionOpenError>([&] { C.Open(); });
  EXPECT_EQ(E.Message, Prefix(false) + " Ошибка открытия COM-порта");
  ASSERT_NE(E.InnerException(), nullptr);
  EXPECT_TRUE(E.InnerException()->Is<EInOutError>());
  EXPECT_NE(E.GetFullMessage().find("Возможно он используется другой программой."),
            std::string::npos);
}

TEST_F(SerialPortConnectionPtyTest, ReadAndWriteTranslateTimeouts) {
  C.Open();
  C.SetReadTimeout(30);
  std::uint8_t Buf[16];
  const auto R = test::Caught<EReadTimeoutError>([&] { C.Read(Buf, 16); });
  EXPECT_EQ(R.Message, Prefix(true) +
                           " Операция чтения данных из COM-порта не была завершена до истечения "
                           "срока ожидания (30 ms). ");
  ASSERT_NE(R.InnerException(), nullptr);
  EXPECT_TRUE(R.InnerException()->Is<ETimeoutException>());

  Pty.Write(BytesOf({0x01, 0x03, 0x00}));
  ASSERT_TRUE(test::WaitFor([&] { return C.BytesToRead() == 3; }));
  EXPECT_EQ(C.Read(Buf, 16), 3);

  C.SetWriteTimeout(30);
  const TBytes Big(1 << 20, 0xAA);
  const auto W = test::Caught<EWriteTimeoutError>(
      [&] { C.Write(Big.data(), static_cast<std::int32_t>(Big.size())); });
  EXPECT_EQ(W.Message, Prefix(true) +
                           " Операция записи данных в COM-порт не была завершена до истечения "
                           "срока ожидания (30 ms). ");
  ASSERT_NE(W.InnerException(), nullptr);
  EXPECT_TRUE(W.InnerException()->Is<ETimeoutException>());
}

TEST_F(SerialPortConnectionPtyTest, VanishedDeviceGivesConnectionIOErrors) {
  C.Open();
  C.SetReadTimeout(-1);  // a vanished device must not leave the read waiting
  Pty.CloseMaster();
  std::uint8_t Buf[4];
  const auto R = test::Caught<EConnectionIOError>([&] { C.Read(Buf, 4); });
  EXPECT_EQ(R.Message, Prefix(true) + " Данные не прочитаны из-за ошибки вввод-вывода.");
  ASSERT_NE(R.InnerException(), nullptr);
  EXPECT_TRUE(R.InnerException()->Is<EInOutError>());
  EXPECT_FALSE(C.IsOpen());
  EXPECT_NO_THROW(C.Close());
  // Opening again finds the device gone for good; nothing hangs.
  EXPECT_THROW(C.Open(), EConnectionOpenError);
}

TEST_F(SerialPortConnectionPtyTest, VanishedDeviceDuringWrite) {
  C.Open();
  Pty.CloseMaster();
  const auto W = test::Caught<EConnectionIOError>([&] { C.Write(BytesOf({1, 2}).data(), 2); });
  EXPECT_EQ(W.Message, Prefix(true) + " Данные не отправлены из-за ошибки вввод-вывода.");
  ASSERT_NE(W.InnerException(), nullptr);
  EXPECT_TRUE(W.InnerException()->Is<EInOutError>());
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
