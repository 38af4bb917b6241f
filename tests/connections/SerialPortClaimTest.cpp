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
  std::ifstream In(File);
  std::stringstream S;
  S << In.rdbuf();
  return S.str();
}

// A lock file in the HDB UUCP form: the pid in ten columns and a line end.
std::string LockText(int Pid) {
  char Text[16];
  std::snprintf(Text, sizeof Text, "%10d\n", Pid);
  return Text;
}

fs::path LockFileOf(const fs::path& Folder, const TTestPty& Pty) {
  return Folder / ("LCK.." + fs::path(Pty.SlavePath()).filename().string());
}

TEST(SerialPortClaimTest, PortOpenInAnotherProcessIsRefusedAndItsHolderLogged) {
  TTestPty Pty;
  auto Holder = std::make_unique<TPtyHolderProcess>(Pty, false, false);
  const int HolderPid = Holder->Pid();
  TSerialPortConnection C(Pty.SlavePath(), true, 9600);
  TConnectionLines Log(C);

  const auto E = test::Caught<EConnectionOpenError>([&] { C.Open(); });
  EXPECT_FALSE(C.IsOpen());
  const auto* Inner = dynamic_cast<const EInOutError*>(E.InnerException());
  ASSERT_NE(Inner, nullptr);
  EXPECT_EQ(Inner->ErrorCode, EBUSY);
  EXPECT_EQ(Inner->Message, " Доступ к порту " + Pty.SlavePath() +
                                " закрыт. Возможно он используется другой программой.");
  EXPECT_EQ(C.Port.Holder(), std::string(TPtyHolderProcess::ProgramName) + " (pid " +
                                 std::to_string(HolderPid) + ")");
  EXPECT_EQ(Log.Lines(),
            std::vector<std::string>{"Порт " + Pty.SlavePath() +
                                     " используется другой программой: " + C.Port.Holder()});
  // The operator is told the same, with the error itself.
  EXPECT_EQ(E.Reason, Log.Lines().at(0));

  // Once the other program has let go, the port opens.
  Holder.reset();
  C.Open();
  EXPECT_TRUE(C.IsOpen());
  EXPECT_TRUE(C.Port.Holder().empty());
}

TEST(SerialPortClaimTest, AHoldersOwnNameCannotBreakALogLine) {
  TTestPty Pty;
  TPtyHolderProcess Holder(Pty, false, false, "two\r\nlines");
  TSerialPort Port;
  Port.SetPortName(Pty.SlavePath());
  EXPECT_THROW(Port.Open(), EInOutError);
  EXPECT_EQ(Port.Holder(), "two??lines (pid " + std::to_string(Holder.Pid()) + ")");
}

TEST(SerialPortClaimTest, TheDeviceEndOfAPseudoTerminalIsNoHolder) {
  // A simulator keeps both sides of its line open: it plays the device, it does not compete.
  TTestPty Pty;
  TPtyHolderProcess Simulator(Pty, true, false);
  TSerialPort Port;
  Port.SetPortName(Pty.SlavePath());
  Port.Open();
  EXPECT_TRUE(Port.IsOpen());
  EXPECT_TRUE(Port.Holder().empty());
}

TEST(SerialPortClaimTest, AnotherProgramsExclusiveModeStays) {
  TTestPty Pty;
  TPtyHolderProcess Holder(Pty, false, true);
  ASSERT_TRUE(Pty.SlaveIsExclusive());
  TSerialPort Port;
  Port.SetPortName(Pty.SlavePath());
  const auto Denied = test::Caught<EInOutError>([&] { Port.Open(); });
  EXPECT_EQ(Denied.ErrorCode, EBUSY);
  EXPECT_FALSE(Port.IsOpen());
  EXPECT_TRUE(Pty.SlaveIsExclusive());
  // Exclusive mode alone would refuse the port; its program is named all the same.
  const std::string Expected =
      std::string(TPtyHolderProcess::ProgramName) + " (pid " + std::to_string(Holder.Pid()) + ")";
  EXPECT_EQ(Port.Holder(), Expected);
  EXPECT_EQ(Port.OpenRefusal(),
            "Порт " + Pty.SlavePath() + " используется другой программой: " + Expected);
}

TEST(SerialPortClaimTest, MissingRightsAreTheReasonOfTheOpenError) {
  // A read-only sysfs attribute refuses reading and writing to root too.
  std::string Path;
  for (const char* Candidate : {"/sys/class/tty/tty/dev", "/sys/class/tty/tty0/dev",
                                "/sys/kernel/mm/transparent_hugepage/hpage_pmd_size"}) {
    const int Fd = ::open(Candidate, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (Fd >= 0) ::close(Fd);
    if (Fd < 0 && errno == EACCES) {
      Path = Candidate;
      break;
    }
  }
  if (Path.empty()) GTEST_SKIP() << "no file here that refuses its opener for lack of rights";
  TSerialPortConnection C(Path, true, 9600);
  const auto E = test::Caught<EConnectionOpenError>([&] { C.Open(); });
  EXPECT_TRUE(E.Reason.starts_with("Нет прав доступа к порту " + Path + ":")) << E.Reason;
  EXPECT_NE(E.Reason.find("dialout"), std::string::npos) << E.Reason;
  EXPECT_TRUE(C.Port.Holder().empty());

  // A port that is not there gives no reason beyond its error.
  TSerialPortConnection Missing("/dev/ttyProbrixNoSuchPort", true, 9600);
  EXPECT_EQ(test::Caught<EConnectionOpenError>([&] { Missing.Open(); }).Reason, "");
}

TEST(SerialPortClaimTest, OwnLockFileAndExclusiveModeLastWhileThePortIsHeld) {
  TTestPty Pty;
  test::TTempDir Locks;
  const fs::path Lock = LockFileOf(Locks.Path(), Pty);
  platform::TOsError Error;
  std::string Holder;
  auto Dev = platform::TSerialDevice::Open(Pty.SlavePath(), Error, Holder, {Locks.Path()});
  ASSERT_TRUE(Dev) << Error.Text;
  EXPECT_EQ(ReadFile(Lock), LockText(::getpid()));
  EXPECT_TRUE(Pty.SlaveIsExclusive());

  // Another opener within this process sees the lock, yet the port is held all the same.
  EXPECT_EQ(platform::TSerialDevice::Open(Pty.SlavePath(), Error, Holder, {Locks.Path()}), nullptr);
  EXPECT_EQ(Error.Code, EBUSY);
  EXPECT_TRUE(Pty.SlaveIsExclusive());
  EXPECT_TRUE(fs::exists(Lock));

  Dev->Close();
  EXPECT_FALSE(fs::exists(Lock));
  EXPECT_FALSE(Pty.SlaveIsExclusive());
}

TEST(SerialPortClaimTest, StaleLockFilesAreReplacedALiveOneRefuses) {
  TTestPty Pty;
  test::TTempDir Locks;
  const fs::path Lock = LockFileOf(Locks.Path(), Pty);
  const pid_t Dead = ::fork();
  if (Dead == 0) ::_exit(0);
  ASSERT_GT(Dead, 0);
  ASSERT_EQ(::waitpid(Dead, nullptr, 0), Dead);

  for (const std::string& Stale : {LockText(Dead), std::string(), std::string("junk\n")}) {
    SCOPED_TRACE(Stale);
    std::ofstream(Lock) << Stale;
    platform::TOsError Error;
    std::string Holder;
    auto Dev = platform::TSerialDevice::Open(Pty.SlavePath(), Error, Holder, {Locks.Path()});
    ASSERT_TRUE(Dev) << Error.Text;
    EXPECT_EQ(ReadFile(Lock), LockText(::getpid()));
    Dev->Close();
    EXPECT_FALSE(fs::exists(Lock));
  }

  // Process 1 always runs; whether it may be signalled or not, its lock counts.
  std::ofstream(Lock) << LockText(1);
  platform::TOsError Error;
  std::string Holder;
  EXPECT_EQ(platform::TSerialDevice::Open(Pty.SlavePath(), Error, Holder, {Locks.Path()}), nullptr);
  EXPECT_EQ(Error.Code, EBUSY);
  EXPECT_NE(Holder.find("pid 1"), std::string::npos) << Holder;
  EXPECT_EQ(ReadFile(Lock), LockText(1));
  EXPECT_FALSE(Pty.SlaveIsExclusive());
}

// Exposes the open error texts.
class TTextPort : public TSerialPort {
 public:
  using TSerialPort::RaiseIOError;
};

TEST(SerialPortClaimTest, MissingRightsAndHeldPortsHaveTheirOwnTexts) {
  TTextPort Port;
  Port.SetPortName("ttyUSB3");
  for (const int Code : {EACCES, EPERM}) {
    const auto E = test::Caught<EInOutError>(
        [&] { Port.RaiseIOError(platform::OsError(Code, platform::TErrorContext::ecOpen), ""); });
    EXPECT_EQ(E.ErrorCode, Code);
    EXPECT_EQ(E.Message.rfind(" Нет прав доступа к порту ttyUSB3", 0), 0u) << E.Message;
    EXPECT_NE(E.Message.find("dialout"), std::string::npos) << E.Message;
  }
  for (const int Code : {EBUSY, EWOULDBLOCK}) {
    const auto E = test::Caught<EInOutError>(
        [&] { Port.RaiseIOError(platform::OsError(Code, platform::TErrorContext::ecOpen), ""); });
    EXPECT_EQ(E.Message,
              " Доступ к порту ttyUSB3 закрыт. Возможно он используется другой программой.");
  }
}

}  // namespace
}  // namespace probrix
