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
    const fs::path helper = Temp_.Path() / ("crash_helper_" + Mode + ".exe");
    fs::copy_file(platform::PathOfUtf8(PROBRIX_CRASH_HELPER), helper,
                  fs::copy_options::overwrite_existing);
    std::wstring command = L"\"" + helper.wstring() + L"\" " + platform::WideFromUtf8(Mode);
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process{};
    // No error box of the system: the test waits for the process to end by itself.
    ::SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
    if (!::CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr,
                          Temp_.Path().wstring().c_str(), &startup, &process)) {
      ADD_FAILURE() << "CreateProcess failed: " << ::GetLastError();
      return 0;
    }
    ::WaitForSingleObject(process.hProcess, 60000);
    DWORD code = 0;
    ::GetExitCodeProcess(process.hProcess, &code);
    ::CloseHandle(process.hThread);
    ::CloseHandle(process.hProcess);
    return code;
  }

  // The lines of the app_errors logs under Logs\ beside the helper, in UTF-8.
  std::vector<std::string> AppErrorLines() const {
    std::vector<std::string> lines;
    std::error_code error;
    for (fs::recursive_directory_iterator it(Temp_.Path() / "Logs", error), end;
         !error && it != end; it.increment(error)) {
      if (it->path().filename().string().find("app_errors") == std::string::npos) continue;
      std::ifstream in(it->path(), std::ios::binary);
      std::string line;
      while (std::getline(in, line)) {
        EXPECT_TRUE(!line.empty() && line.back() == '\r') << "CR LF line ends";
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(Cp1251ToUtf8(line));
      }
    }
    return lines;
  }

  test::TTempDir Temp_;
};

bool Contains(const std::vector<std::string>& Lines, const std::string& Text) {
  for (const std::string& line : Lines)
    if (line.find(Text) != std::string::npos) return true;
  return false;
}

TEST_F(CrashCapture, FaultsOfTheProcessorLeaveTheErrorProcLine) {
  struct TCase {
    const char* Mode;
    const char* Line;
  };
  for (const TCase& c : {TCase{"null", "(ErrorProc): ErrorCode=reAccessViolation, ErrorAddr=0x"},
                         TCase{"divide", "(ErrorProc): ErrorCode=reDivByZero, ErrorAddr=0x"}}) {
    const DWORD code = Run(c.Mode);
    EXPECT_NE(code, 0u) << c.Mode << ": the process fails";
    EXPECT_NE(code, STILL_ACTIVE) << c.Mode << ": and ends";
    const std::vector<std::string> lines = AppErrorLines();
    EXPECT_TRUE(Contains(lines, c.Line)) << c.Mode << ": " << ::testing::PrintToString(lines);
    fs::remove_all(Temp_.Path() / "Logs");
  }
}

// MinGW emulates thread_local with an allocation on a thread's first use; inside the crash
// filter that would wait for a heap the crash may hold. (Wine's heap serves small blocks without
// its lock, so a crash while another thread holds it cannot show the hang here.)
TEST_F(CrashCapture, TheFilterNeitherAllocatesNorUsesThreadStorage) {
  const DWORD code = Run("count");
  EXPECT_EQ(code, 0x7000u) << "0x7000 plus the calls counted in the filter (3: counting failed)";
  EXPECT_TRUE(Contains(AppErrorLines(), "(ErrorProc): ErrorCode=reAccessViolation, ErrorAddr=0x"));
}

TEST_F(CrashCapture, AnEscapedExceptionLeavesTheExceptProcLines) {
  EXPECT_NE(Run("throw"), 0u);
  const std::vector<std::string> lines = AppErrorLines();
  EXPECT_TRUE(Contains(lines, "Неперехваченное исключение (ExceptProc). Начало обработки..."))
      << ::testing::PrintToString(lines);
  EXPECT_TRUE(
      Contains(lines, "(ExceptProc): Exception EConvertError in module crash_helper_throw.exe"))
      << ::testing::PrintToString(lines);
  EXPECT_TRUE(Contains(lines, "Строка 'x' не является числом."));
}

}  // namespace
}  // namespace probrix
