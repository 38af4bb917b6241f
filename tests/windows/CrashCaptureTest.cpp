// Crashes of a real Windows process leave their line in the app_errors log beside the program:
// the unhandled-exception filter for faults of the processor, the terminate handler for an
// exception that escapes main.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "foundation/appCodePage.h"
#include "platform/platFiles.h"
#include "platform/win/platWin.h"
#include "support/TestSupport.h"

namespace probrix {
namespace {

namespace fs = std::filesystem;

class CrashCapture : public ::testing::Test {
 protected:
  // Runs a copy of the helper in the temporary folder (its logs go beside it) with Mode;
  // returns its exit code.
  DWORD Run(const std::string& Mode) {
    // One copy per run: a crashed process may hold its file a while longer.
    const fs::path Helper = Temp_.Path() / ("crash_helper_" + Mode + ".exe");
    fs::copy_file(platform::PathOfUtf8(PROBRIX_CRASH_HELPER), Helper,
                  fs::copy_options::overwrite_existing);
    std::wstring Command = L"\"" + Helper.wstring() + L"\" " + platform::WideFromUtf8(Mode);
    STARTUPINFOW Startup{};
    Startup.cb = sizeof(Startup);
    PROCESS_INFORMATION Process{};
    // No error box of the system: the test waits for the process to end by itself.
    ::SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
    if (!::CreateProcessW(nullptr, Command.data(), nullptr, nullptr, FALSE, 0, nullptr,
                          Temp_.Path().wstring().c_str(), &Startup, &Process)) {
      ADD_FAILURE() << "CreateProcess failed: " << ::GetLastError();
      return 0;
    }
    ::WaitForSingleObject(Process.hProcess, 60000);
    DWORD Code = 0;
    ::GetExitCodeProcess(Process.hProcess, &Code);
    ::CloseHandle(Process.hThread);
    ::CloseHandle(Process.hProcess);
    return Code;
  }

  // The lines of the app_errors logs under Logs\ beside the helper, in UTF-8.
  std::vector<std::string> AppErrorLines() const {
    std::vector<std::string> Lines;
    std::error_code Error;
    for (fs::recursive_directory_iterator It(Temp_.Path() / "Logs", Error), End;
         !Error && It != End; It.increment(Error)) {
      if (It->path().filename().string().find("app_errors") == std::string::npos) continue;
      std::ifstream In(It->path(), std::ios::binary);
      std::string Line;
      while (std::getline(In, Line)) {
        EXPECT_TRUE(!Line.empty() && Line.back() == '\r') << "CR LF line ends";
        if (!Line.empty() && Line.back() == '\r') Line.pop_back();
        Lines.push_back(Cp1251ToUtf8(Line));
      }
    }
    return Lines;
  }

  test::TTempDir Temp_;
};

bool Contains(const std::vector<std::string>& Lines, const std::string& Text) {
  for (const std::string& Line : Lines)
    if (Line.find(Text) != std::string::npos) return true;
  return false;
}

TEST_F(CrashCapture, FaultsOfTheProcessorLeaveTheErrorProcLine) {
  struct TCase {
    const char* Mode;
    const char* Line;
  };
  for (const TCase& C : {TCase{"null", "(ErrorProc): ErrorCode=reAccessViolation, ErrorAddr=0x"},
                         TCase{"divide", "(ErrorProc): ErrorCode=reDivByZero, ErrorAddr=0x"}}) {
    const DWORD Code = Run(C.Mode);
    EXPECT_NE(Code, 0u) << C.Mode << ": the process fails";
    EXPECT_NE(Code, STILL_ACTIVE) << C.Mode << ": and ends";
    const std::vector<std::string> Lines = AppErrorLines();
    EXPECT_TRUE(Contains(Lines, C.Line)) << C.Mode << ": " << ::testing::PrintToString(Lines);
    fs::remove_all(Temp_.Path() / "Logs");
  }
}

// MinGW emulates thread_local with an allocation on a thread's first use; inside the crash
// filter that would wait for a heap the crash may hold. (Wine's heap serves small blocks without
// its lock, so a crash while another thread holds it cannot show the hang here.)
TEST_F(CrashCapture, TheFilterNeitherAllocatesNorUsesThreadStorage) {
  const DWORD Code = Run("count");
  EXPECT_EQ(Code, 0x7000u) << "0x7000 plus the calls counted in the filter (3: counting failed)";
  EXPECT_TRUE(Contains(AppErrorLines(), "(ErrorProc): ErrorCode=reAccessViolation, ErrorAddr=0x"));
}

TEST_F(CrashCapture, AnEscapedExceptionLeavesTheExceptProcLines) {
  EXPECT_NE(Run("throw"), 0u);
  const std::vector<std::string> Lines = AppErrorLines();
  EXPECT_TRUE(Contains(Lines, "Неперехваченное исключение (ExceptProc). Начало обработки..."))
      << ::testing::PrintToString(Lines);
  EXPECT_TRUE(
      Contains(Lines, "(ExceptProc): Exception EConvertError in module crash_helper_throw.exe"))
      << ::testing::PrintToString(Lines);
  EXPECT_TRUE(Contains(Lines, "Строка 'x' не является числом."));
}

}  // namespace
}  // namespace probrix
