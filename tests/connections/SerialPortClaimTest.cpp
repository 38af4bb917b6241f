#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>

#include "ConnectionLines.h"
#include "SerialTestPty.h"
#include "connections/ioSerialPortConnection.h"
#include "foundation/ioExceptions.h"
#include "platform/platPosix.h"
#include "platform/platSerialDevice.h"
#include "support/TestSupport.h"

namespace probrix {
namespace {

namespace fs = std::filesystem;
using test::TConnectionLines;
using test::TPtyHolderProcess;
using test::TTestPty;

std::string ReadFile(const fs::path& File) {
  std::ifstream in(File);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// A lock file in the HDB UUCP form: the pid in ten columns and a line end.
std::string LockText(int Pid) {
  char text[16];
  std::snprintf(text, sizeof text, "%10d\n", Pid);
  return text;
}

fs::path LockFileOf(const fs::path& Folder, const TTestPty& Pty) {
  return Folder / ("LCK.." + fs::path(Pty.SlavePath()).filename().string());
}

TEST(SerialPortClaimTest, PortOpenInAnotherProcessIsRefusedAndItsHolderLogged) {
  TTestPty pty;
  auto holder = std::make_unique<TPtyHolderProcess>(pty, false, false);
  const int holderPid = holder->Pid();
  TSerialPortConnection c(pty.SlavePath(), true, 9600);
  TConnectionLines log(c);

  const auto e = test::Caught<EConnectionOpenError>([&] { c.Open(); });
  EXPECT_FALSE(c.IsOpen());
  const auto* inner = dynamic_cast<const EInOutError*>(e.InnerException());
  ASSERT_NE(inner, nullptr);
  EXPECT_EQ(inner->ErrorCode, EBUSY);
  EXPECT_EQ(inner->Message, " Доступ к порту " + pty.SlavePath() +
                                " закрыт. Возможно он используется другой программой.");
  EXPECT_EQ(c.Port.Holder(), std::string(TPtyHolderProcess::ProgramName) + " (pid " +
                                 std::to_string(holderPid) + ")");
  EXPECT_EQ(log.Lines(),
            std::vector<std::string>{"Порт " + pty.SlavePath() +
                                     " используется другой программой: " + c.Port.Holder()});
  // The operator is told the same, with the error itself.
  EXPECT_EQ(e.Reason, log.Lines().at(0));

  // Once the other program has let go, the port opens.
  holder.reset();
  c.Open();
  EXPECT_TRUE(c.IsOpen());
  EXPECT_TRUE(c.Port.Holder().empty());
}

TEST(SerialPortClaimTest, AHoldersOwnNameCannotBreakALogLine) {
  TTestPty pty;
  TPtyHolderProcess holder(pty, false, false, "two\r\nlines");
  TSerialPort port;
  port.SetPortName(pty.SlavePath());
  EXPECT_THROW(port.Open(), EInOutError);
  EXPECT_EQ(port.Holder(), "two??lines (pid " + std::to_string(holder.Pid()) + ")");
}

TEST(SerialPortClaimTest, TheDeviceEndOfAPseudoTerminalIsNoHolder) {
  // A simulator keeps both sides of its line open: it plays the device, it does not compete.
  TTestPty pty;
  TPtyHolderProcess simulator(pty, true, false);
  TSerialPort port;
  port.SetPortName(pty.SlavePath());
  port.Open();
  EXPECT_TRUE(port.IsOpen());
  EXPECT_TRUE(port.Holder().empty());
}

TEST(SerialPortClaimTest, AnotherProgramsExclusiveModeStays) {
  TTestPty pty;
  TPtyHolderProcess holder(pty, false, true);
  ASSERT_TRUE(pty.SlaveIsExclusive());
  TSerialPort port;
  port.SetPortName(pty.SlavePath());
  const auto denied = test::Caught<EInOutError>([&] { port.Open(); });
  EXPECT_EQ(denied.ErrorCode, EBUSY);
  EXPECT_FALSE(port.IsOpen());
  EXPECT_TRUE(pty.SlaveIsExclusive());
  // Exclusive mode alone would refuse the port; its program is named all the same.
  const std::string expected =
      std::string(TPtyHolderProcess::ProgramName) + " (pid " + std::to_string(holder.Pid()) + ")";
  EXPECT_EQ(port.Holder(), expected);
  EXPECT_EQ(port.OpenRefusal(),
            "Порт " + pty.SlavePath() + " используется другой программой: " + expected);
}

TEST(SerialPortClaimTest, MissingRightsAreTheReasonOfTheOpenError) {
  // A read-only sysfs attribute refuses reading and writing to root too.
  std::string path;
  for (const char* candidate : {"/sys/class/tty/tty/dev", "/sys/class/tty/tty0/dev",
                                "/sys/kernel/mm/transparent_hugepage/hpage_pmd_size"}) {
    const int fd = ::open(candidate, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0) ::close(fd);
    if (fd < 0 && errno == EACCES) {
      path = candidate;
      break;
    }
  }
  if (path.empty()) GTEST_SKIP() << "no file here that refuses its opener for lack of rights";
  TSerialPortConnection c(path, true, 9600);
  const auto e = test::Caught<EConnectionOpenError>([&] { c.Open(); });
  EXPECT_TRUE(e.Reason.starts_with("Нет прав доступа к порту " + path + ":")) << e.Reason;
  EXPECT_NE(e.Reason.find("dialout"), std::string::npos) << e.Reason;
  EXPECT_TRUE(c.Port.Holder().empty());

  // A port that is not there gives no reason beyond its error.
  TSerialPortConnection missing("/dev/ttyProbrixNoSuchPort", true, 9600);
  EXPECT_EQ(test::Caught<EConnectionOpenError>([&] { missing.Open(); }).Reason, "");
}

TEST(SerialPortClaimTest, OwnLockFileAndExclusiveModeLastWhileThePortIsHeld) {
  TTestPty pty;
  test::TTempDir locks;
  const fs::path lock = LockFileOf(locks.Path(), pty);
  platform::TOsError error;
  std::string holder;
  auto dev = platform::TSerialDevice::Open(pty.SlavePath(), error, holder, {locks.Path()});
  ASSERT_TRUE(dev) << error.Text;
  EXPECT_EQ(ReadFile(lock), LockText(::getpid()));
  EXPECT_TRUE(pty.SlaveIsExclusive());

  // Another opener within this process sees the lock, yet the port is held all the same.
  EXPECT_EQ(platform::TSerialDevice::Open(pty.SlavePath(), error, holder, {locks.Path()}), nullptr);
  EXPECT_EQ(error.Code, EBUSY);
  EXPECT_TRUE(pty.SlaveIsExclusive());
  EXPECT_TRUE(fs::exists(lock));

  dev->Close();
  EXPECT_FALSE(fs::exists(lock));
  EXPECT_FALSE(pty.SlaveIsExclusive());
}

TEST(SerialPortClaimTest, StaleLockFilesAreReplacedALiveOneRefuses) {
  TTestPty pty;
  test::TTempDir locks;
  const fs::path lock = LockFileOf(locks.Path(), pty);
  const pid_t dead = ::fork();
  if (dead == 0) ::_exit(0);
  ASSERT_GT(dead, 0);
  ASSERT_EQ(::waitpid(dead, nullptr, 0), dead);

  for (const std::string& stale : {LockText(dead), std::string(), std::string("junk\n")}) {
    SCOPED_TRACE(stale);
    std::ofstream(lock) << stale;
    platform::TOsError error;
    std::string holder;
    auto dev = platform::TSerialDevice::Open(pty.SlavePath(), error, holder, {locks.Path()});
    ASSERT_TRUE(dev) << error.Text;
    EXPECT_EQ(ReadFile(lock), LockText(::getpid()));
    dev->Close();
    EXPECT_FALSE(fs::exists(lock));
  }

  // Process 1 always runs; whether it may be signalled or not, its lock counts.
  std::ofstream(lock) << LockText(1);
  platform::TOsError error;
  std::string holder;
  EXPECT_EQ(platform::TSerialDevice::Open(pty.SlavePath(), error, holder, {locks.Path()}), nullptr);
  EXPECT_EQ(error.Code, EBUSY);
  EXPECT_NE(holder.find("pid 1"), std::string::npos) << holder;
  EXPECT_EQ(ReadFile(lock), LockText(1));
  EXPECT_FALSE(pty.SlaveIsExclusive());
}

// Exposes the open error texts.
class TTextPort : public TSerialPort {
 public:
  using TSerialPort::RaiseIOError;
};

TEST(SerialPortClaimTest, MissingRightsAndHeldPortsHaveTheirOwnTexts) {
  TTextPort port;
  port.SetPortName("ttyUSB3");
  for (const int code : {EACCES, EPERM}) {
    const auto e = test::Caught<EInOutError>(
        [&] { port.RaiseIOError(platform::OsError(code, platform::TErrorContext::ecOpen), ""); });
    EXPECT_EQ(e.ErrorCode, code);
    EXPECT_EQ(e.Message.rfind(" Нет прав доступа к порту ttyUSB3", 0), 0u) << e.Message;
    EXPECT_NE(e.Message.find("dialout"), std::string::npos) << e.Message;
  }
  for (const int code : {EBUSY, EWOULDBLOCK}) {
    const auto e = test::Caught<EInOutError>(
        [&] { port.RaiseIOError(platform::OsError(code, platform::TErrorContext::ecOpen), ""); });
    EXPECT_EQ(e.Message,
              " Доступ к порту ttyUSB3 закрыт. Возможно он используется другой программой.");
  }
}

}  // namespace
}  // namespace probrix
