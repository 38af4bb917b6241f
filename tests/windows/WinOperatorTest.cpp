// What a Windows user meets first, run under Wine: the texts of a held port and of a read the
// driver aborted, the program's folders when it lives in a Cyrillic folder or cannot write its
// own, console text, the end of a closed console window and the lock of the crash log.

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <ostream>
#include <set>
#include <thread>

#include "connections/uSerialPort.h"
#include "foundation/appExceptions.h"
#include "foundation/appLogging.h"
#include "platform/platCancel.h"
#include "platform/platCrashSignals.h"
#include "platform/platFiles.h"
#include "platform/platProcess.h"
#include "platform/win/platWin.h"
#include "support/TestSupport.h"

namespace probrix {
namespace {

namespace fs = std::filesystem;
using platform::PathOfUtf8;
using platform::Utf8OfPath;

// The port's own translation of a device failure into its exception.
class TPortUnderTest : public TSerialPort {
 public:
  using TSerialPort::RaiseIOError;
  using TSerialPort::RaiseReadError;
};

TEST(WinSerialPort, AHeldPortIsBusyAndADriverAbortIsALineFault) {
  TPortUnderTest Port;
  Port.SetPortName("COM7");
  const EInOutError Held = test::Caught<EInOutError>(
      [&] { Port.RaiseIOError(platform::SerialOpenError(ERROR_ACCESS_DENIED), ""); });
  EXPECT_EQ(Held.Message,
            " Доступ к порту COM7 закрыт. Возможно он используется другой программой.");
  EXPECT_EQ(Held.ErrorCode, 5);

  // One framing error at a wrong baud rate: the attempt fails, the search goes on.
  const EInOutError Fault = test::Caught<EInOutError>([&] {
    Port.RaiseReadError(platform::SerialTransferError(ERROR_OPERATION_ABORTED, false, CE_FRAME));
  });
  EXPECT_EQ(Fault.ErrorCode, 995);
  EXPECT_NE(Fault.Message.find("ошибка кадра"), std::string::npos) << Fault.Message;
  // Only the program's own stop reads as one.
  EXPECT_THROW(Port.RaiseReadError(platform::SerialTransferError(ERROR_OPERATION_ABORTED, true, 0)),
               EAbort);
}

std::set<std::string> Entries(const fs::path& Folder) {
  std::set<std::string> Names;
  for (const fs::directory_entry& E : fs::directory_iterator(Folder))
    Names.insert(Utf8OfPath(E.path().filename()));
  return Names;
}

class WinLogging : public ::testing::Test {
 protected:
  void TearDown() override { FinalizeLogging(); }

  // Starts the logging facility for a program file in Folder.
  void Start(const fs::path& Folder, std::function<bool(const std::string&)> Writable = {}) {
    TLoggingOptions Options;
    Options.ModulePathOverride = Utf8OfPath(Folder / "probrix-cli.exe");
    Options.ChangeCurrentDirectory = false;
    Options.IsFolderWritable = std::move(Writable);
    InitializeLogging(Options);
  }

  test::TTempDir Temp_;
};

TEST_F(WinLogging, AProgramInACyrillicFolderFindsItsFilesThere) {
  const fs::path Program = Temp_.Path() / PathOfUtf8("Программа");
  fs::create_directory(Program);
  std::ofstream(Program / "probrix-cli.exe") << "";
  std::ofstream(Program / "Debug.ini", std::ios::binary)
      << "[Debug]\r\nDebugMode=1\r\nShowTime=1\r\n";
  Start(Program);

  const std::string Folder = Utf8OfPath(Program) + "/";
  EXPECT_EQ(DebugIniFileName(), Folder + "Debug.ini");
  EXPECT_TRUE(DebugSwitches().DebugMode) << "Debug.ini is read";
  EXPECT_TRUE(DebugSwitches().ShowTime);
  EXPECT_FALSE(DebugSwitches().DebugLog);
  EXPECT_EQ(LogsFolder(), Folder + "Logs/");
  EXPECT_EQ(AppIniFileName(), Folder + "probrix-cli.ini");

  const std::string DayFolder = GetAppLogFolder();
  ASSERT_EQ(DayFolder.rfind(Folder + "Logs/", 0), 0u) << DayFolder;
  EXPECT_TRUE(fs::is_directory(PathOfUtf8(DayFolder)));
  WriteAppLog("строка");
  EXPECT_FALSE(fs::is_empty(PathOfUtf8(DayFolder)));
  // Nothing beside the program's own files, and no folder under a name read in another code
  // page.
  EXPECT_EQ(Entries(Program), (std::set<std::string>{"Debug.ini", "Logs", "probrix-cli.exe"}));
  EXPECT_EQ(Entries(Temp_.Path()), std::set<std::string>{"Программа"});
}

TEST_F(WinLogging, AProgramFolderThatCannotBeWrittenUsesLocalAppData) {
  const fs::path Program = Temp_.Path() / "Program Files" / "Probrix";
  fs::create_directories(Program);
  std::ofstream(Program / "probrix-cli.exe") << "";
  // A Unix shell's variables (Wine passes them on) are no per-user folder of Windows.
  const std::string Home = platform::EnvironmentVariable("HOME");
  ASSERT_TRUE(::SetEnvironmentVariableW(L"HOME", L"/home/probrix-test"));
  ASSERT_TRUE(::SetEnvironmentVariableW(L"XDG_STATE_HOME", L"/home/probrix-test/state"));
  Start(Program, [](const std::string&) { return false; });
  ::SetEnvironmentVariableW(L"HOME", Home.empty() ? nullptr : platform::WideFromUtf8(Home).c_str());
  ::SetEnvironmentVariableW(L"XDG_STATE_HOME", nullptr);

  const std::string LocalAppData = platform::EnvironmentVariable("LOCALAPPDATA");
  ASSERT_FALSE(LocalAppData.empty());
  const std::string User = platform::UserFolders().State;
  ASSERT_FALSE(User.empty());
  EXPECT_EQ(User, Utf8OfPath(PathOfUtf8(LocalAppData)) + "/Probrix/");
  EXPECT_EQ(LogsFolder(), User + "Logs/");
  EXPECT_EQ(AppIniFileName(), User + "probrix-cli.ini");
  EXPECT_EQ(DebugIniFileName(), User + "Debug.ini");
  EXPECT_EQ(Entries(Program), std::set<std::string>{"probrix-cli.exe"})
      << "nothing is written beside the program";
}

// The console stream: UTF-8 in, whole UTF-16 characters out, also when a character is cut at
// the end of the buffer.
TEST(WinConsole, UnicodeTextReachesTheConsoleWhole) {
  std::wstring Shown;
  int Writes = 0;
  platform::TUtf16StreamBuf Buffer([&](std::wstring_view Text) {
    Shown += Text;
    ++Writes;
    return true;
  });
  std::ostream Out(&Buffer);
  Out << "Порт COM5: прибор найден" << std::flush;
  EXPECT_EQ(Shown,
            L"\x041F\x043E\x0440\x0442 COM5: \x043F\x0440\x0438\x0431\x043E\x0440 "
            L"\x043D\x0430\x0439\x0434\x0435\x043D");

  // 1023 bytes and a two-byte letter: the buffer fills in the middle of the letter.
  Shown.clear();
  Out << std::string(1023, 'x') << "Ж€" << std::flush;
  EXPECT_EQ(Shown, std::wstring(1023, L'x') + L"\x0416\x20AC");
  EXPECT_EQ(Shown.find(L'\xFFFD'), std::wstring::npos) << "no letter cut in two";
  EXPECT_GE(Writes, 3) << "a full buffer was written before the flush";

  Shown.clear();
  Out << "a\xFF"
         "b"
      << std::flush;
  EXPECT_EQ(Shown,
            L"a\xFFFD"
            L"b")
      << "bytes that are not UTF-8";

  platform::TUtf16StreamBuf Failing([](std::wstring_view) { return false; });
  std::ostream Lost(&Failing);
  Lost << "x" << std::flush;
  EXPECT_FALSE(Lost) << "a console that takes nothing fails the stream";
}

// Closing the console window: the stop is asked for, and the process is held until the program
// says its work and its logs are done.
TEST(WinConsole, ClosingTheWindowWaitsForTheEndOfTheWork) {
  static platform::TCancelEvent Stop;
  static platform::TCancelEvent Done;
  platform::InstallStopSignals(Stop, Done);

  std::atomic<bool> DoneWhenReturned{false};
  std::atomic<bool> DoneSet{false};
  std::atomic<BOOL> Handled{FALSE};
  std::thread System([&] {
    Handled = platform::ConsoleControlHandler(CTRL_CLOSE_EVENT);
    DoneWhenReturned = DoneSet.load();
  });
  EXPECT_TRUE(Stop.WaitFor(10000));
  DoneSet = true;
  Done.Set();
  System.join();
  EXPECT_TRUE(Handled.load());
  EXPECT_TRUE(DoneWhenReturned.load()) << "the handler returned before the work was done";

  // Ctrl+C only asks for the stop: the program goes on to its end by itself.
  Stop.Reset();
  Done.Reset();
  EXPECT_TRUE(platform::ConsoleControlHandler(CTRL_C_EVENT));
  EXPECT_TRUE(Stop.IsSet());
  EXPECT_FALSE(platform::ConsoleControlHandler(CTRL_C_EVENT + 100)) << "not ours";
}

// The crash log and the other writers of a log file take turns through one lock.
TEST(WinFiles, TheCrashLogTakesTheWritersLock) {
  const test::TTempDir Dir;
  const std::wstring Path = (Dir.Path() / "14_probrix-cli_app_errors.log").wstring();
  const platform::TWinHandle Crash(platform::OpenFileForAppend(Path.c_str()));
  ASSERT_TRUE(Crash.Valid());
  EXPECT_EQ(platform::LockWholeFile(Crash.Get(), 0), 0u);

  const platform::TWinHandle Other(::CreateFileW(Path.c_str(), GENERIC_READ | GENERIC_WRITE,
                                                 FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                                 OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  ASSERT_TRUE(Other.Valid());
  EXPECT_EQ(platform::LockWholeFile(Other.Get(), 5), static_cast<DWORD>(ERROR_LOCK_VIOLATION));
  platform::UnlockWholeFile(Crash.Get());
  EXPECT_EQ(platform::LockWholeFile(Other.Get(), 0), 0u);
  platform::UnlockWholeFile(Other.Get());

  // What the crash log appends lands at the end.
  ASSERT_EQ(platform::AppendToFile(Utf8OfPath(fs::path(Path)), "one\r\n", 100).Step,
            platform::TAppendStep::asNone);
  EXPECT_TRUE(platform::SignalSafeAppend(Utf8OfPath(fs::path(Path)).c_str(), "two\r\n", 5));
  std::ifstream In(fs::path(Path), std::ios::binary);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(In), {}), "one\r\ntwo\r\n");
}

}  // namespace
}  // namespace probrix
