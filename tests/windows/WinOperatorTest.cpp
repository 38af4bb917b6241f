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
  TPortUnderTest port;
  port.SetPortName("COM7");
  const EInOutError held = test::Caught<EInOutError>(
      [&] { port.RaiseIOError(platform::SerialOpenError(ERROR_ACCESS_DENIED), ""); });
  EXPECT_EQ(held.Message,
            " Доступ к порту COM7 закрыт. Возможно он используется другой программой.");
  EXPECT_EQ(held.ErrorCode, 5);

  // One framing error at a wrong baud rate: the attempt fails, the search goes on.
  const EInOutError fault = test::Caught<EInOutError>([&] {
    port.RaiseReadError(platform::SerialTransferError(ERROR_OPERATION_ABORTED, false, CE_FRAME));
  });
  EXPECT_EQ(fault.ErrorCode, 995);
  EXPECT_NE(fault.Message.find("ошибка кадра"), std::string::npos) << fault.Message;
  // Only the program's own stop reads as one.
  EXPECT_THROW(port.RaiseReadError(platform::SerialTransferError(ERROR_OPERATION_ABORTED, true, 0)),
               EAbort);
}

std::set<std::string> Entries(const fs::path& Folder) {
  std::set<std::string> names;
  for (const fs::directory_entry& e : fs::directory_iterator(Folder))
    names.insert(Utf8OfPath(e.path().filename()));
  return names;
}

class WinLogging : public ::testing::Test {
 protected:
  void TearDown() override { FinalizeLogging(); }

  // Starts the logging facility for a program file in Folder.
  void Start(const fs::path& Folder, std::function<bool(const std::string&)> Writable = {}) {
    TLoggingOptions options;
    options.ModulePathOverride = Utf8OfPath(Folder / "probrix-cli.exe");
    options.ChangeCurrentDirectory = false;
    options.IsFolderWritable = std::move(Writable);
    InitializeLogging(options);
  }

  test::TTempDir Temp_;
};

TEST_F(WinLogging, AProgramInACyrillicFolderFindsItsFilesThere) {
  const fs::path program = Temp_.Path() / PathOfUtf8("Программа");
  fs::create_directory(program);
  std::ofstream(program / "probrix-cli.exe") << "";
  std::ofstream(program / "Debug.ini", std::ios::binary)
      << "[Debug]\r\nDebugMode=1\r\nShowTime=1\r\n";
  Start(program);

  const std::string folder = Utf8OfPath(program) + "/";
  EXPECT_EQ(DebugIniFileName(), folder + "Debug.ini");
  EXPECT_TRUE(DebugSwitches().DebugMode) << "Debug.ini is read";
  EXPECT_TRUE(DebugSwitches().ShowTime);
  EXPECT_FALSE(DebugSwitches().DebugLog);
  EXPECT_EQ(LogsFolder(), folder + "Logs/");
  EXPECT_EQ(AppIniFileName(), folder + "probrix-cli.ini");

  const std::string dayFolder = GetAppLogFolder();
  ASSERT_EQ(dayFolder.rfind(folder + "Logs/", 0), 0u) << dayFolder;
  EXPECT_TRUE(fs::is_directory(PathOfUtf8(dayFolder)));
  WriteAppLog("строка");
  EXPECT_FALSE(fs::is_empty(PathOfUtf8(dayFolder)));
  // Nothing beside the program's own files, and no folder under a name read in another code
  // page.
  EXPECT_EQ(Entries(program), (std::set<std::string>{"Debug.ini", "Logs", "probrix-cli.exe"}));
  EXPECT_EQ(Entries(Temp_.Path()), std::set<std::string>{"Программа"});
}

TEST_F(WinLogging, AProgramFolderThatCannotBeWrittenUsesLocalAppData) {
  const fs::path program = Temp_.Path() / "Program Files" / "Probrix";
  fs::create_directories(program);
  std::ofstream(program / "probrix-cli.exe") << "";
  // A Unix shell's variables (Wine passes them on) are no per-user folder of Windows.
  const std::string home = platform::EnvironmentVariable("HOME");
  ASSERT_TRUE(::SetEnvironmentVariableW(L"HOME", L"/home/probrix-test"));
  ASSERT_TRUE(::SetEnvironmentVariableW(L"XDG_STATE_HOME", L"/home/probrix-test/state"));
  Start(program, [](const std::string&) { return false; });
  ::SetEnvironmentVariableW(L"HOME", home.empty() ? nullptr : platform::WideFromUtf8(home).c_str());
  ::SetEnvironmentVariableW(L"XDG_STATE_HOME", nullptr);

  const std::string localAppData = platform::EnvironmentVariable("LOCALAPPDATA");
  ASSERT_FALSE(localAppData.empty());
  const std::string user = platform::UserFolders().State;
  ASSERT_FALSE(user.empty());
  EXPECT_EQ(user, Utf8OfPath(PathOfUtf8(localAppData)) + "/Probrix/");
  EXPECT_EQ(LogsFolder(), user + "Logs/");
  EXPECT_EQ(AppIniFileName(), user + "probrix-cli.ini");
  EXPECT_EQ(DebugIniFileName(), user + "Debug.ini");
  EXPECT_EQ(Entries(program), std::set<std::string>{"probrix-cli.exe"})
      << "nothing is written beside the program";
}

// The console stream: UTF-8 in, whole UTF-16 characters out, also when a character is cut at
// the end of the buffer.
TEST(WinConsole, UnicodeTextReachesTheConsoleWhole) {
  std::wstring shown;
  int writes = 0;
  platform::TUtf16StreamBuf buffer([&](std::wstring_view Text) {
    shown += Text;
    ++writes;
    return true;
  });
  std::ostream out(&buffer);
  out << "Порт COM5: прибор найден" << std::flush;
  EXPECT_EQ(shown,
            L"\x041F\x043E\x0440\x0442 COM5: \x043F\x0440\x0438\x0431\x043E\x0440 "
            L"\x043D\x0430\x0439\x0434\x0435\x043D");

  // 1023 bytes and a two-byte letter: the buffer fills in the middle of the letter.
  shown.clear();
  out << std::string(1023, 'x') << "Ж€" << std::flush;
  EXPECT_EQ(shown, std::wstring(1023, L'x') + L"\x0416\x20AC");
  EXPECT_EQ(shown.find(L'\xFFFD'), std::wstring::npos) << "no letter cut in two";
  EXPECT_GE(writes, 3) << "a full buffer was written before the flush";

  shown.clear();
  out << "a\xFF"
         "b"
      << std::flush;
  EXPECT_EQ(shown,
            L"a\xFFFD"
            L"b")
      << "bytes that are not UTF-8";

  platform::TUtf16StreamBuf failing([](std::wstring_view) { return false; });
  std::ostream lost(&failing);
  lost << "x" << std::flush;
  EXPECT_FALSE(lost) << "a console that takes nothing fails the stream";
}

// Closing the console window: the stop is asked for, and the process is held until the program
// says its work and its logs are done.
TEST(WinConsole, ClosingTheWindowWaitsForTheEndOfTheWork) {
  static platform::TCancelEvent Stop;
  static platform::TCancelEvent Done;
  platform::InstallStopSignals(Stop, Done);

  std::atomic<bool> doneWhenReturned{false};
  std::atomic<bool> doneSet{false};
  std::atomic<BOOL> handled{FALSE};
  std::thread system([&] {
    handled = platform::ConsoleControlHandler(CTRL_CLOSE_EVENT);
    doneWhenReturned = doneSet.load();
  });
  EXPECT_TRUE(Stop.WaitFor(10000));
  doneSet = true;
  Done.Set();
  system.join();
  EXPECT_TRUE(handled.load());
  EXPECT_TRUE(doneWhenReturned.load()) << "the handler returned before the work was done";

  // Ctrl+C only asks for the stop: the program goes on to its end by itself.
  Stop.Reset();
  Done.Reset();
  EXPECT_TRUE(platform::ConsoleControlHandler(CTRL_C_EVENT));
  EXPECT_TRUE(Stop.IsSet());
  EXPECT_FALSE(platform::ConsoleControlHandler(CTRL_C_EVENT + 100)) << "not ours";
}

// The crash log and the other writers of a log file take turns through one lock.
TEST(WinFiles, TheCrashLogTakesTheWritersLock) {
  const test::TTempDir dir;
  const std::wstring path = (dir.Path() / "14_probrix-cli_app_errors.log").wstring();
  const platform::TWinHandle crash(platform::OpenFileForAppend(path.c_str()));
  ASSERT_TRUE(crash.Valid());
  EXPECT_EQ(platform::LockWholeFile(crash.Get(), 0), 0u);

  const platform::TWinHandle other(::CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                                                 FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                                 OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  ASSERT_TRUE(other.Valid());
  EXPECT_EQ(platform::LockWholeFile(other.Get(), 5), static_cast<DWORD>(ERROR_LOCK_VIOLATION));
  platform::UnlockWholeFile(crash.Get());
  EXPECT_EQ(platform::LockWholeFile(other.Get(), 0), 0u);
  platform::UnlockWholeFile(other.Get());

  // What the crash log appends lands at the end.
  ASSERT_EQ(platform::AppendToFile(Utf8OfPath(fs::path(path)), "one\r\n", 100).Step,
            platform::TAppendStep::asNone);
  EXPECT_TRUE(platform::SignalSafeAppend(Utf8OfPath(fs::path(path)).c_str(), "two\r\n", 5));
  std::ifstream in(fs::path(path), std::ios::binary);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "one\r\ntwo\r\n");
}

}  // namespace
}  // namespace probrix
