#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <stdexcept>

#include "LogTestUtils.h"
#include "LoggingFixture.h"
#include "foundation/appErrorHooks.h"
#include "foundation/appExceptions.h"
#include "foundation/appLogging.h"

extern char** environ;

namespace probrix {
namespace {

namespace fs = std::filesystem;
using test::ReadLogLines;

class ErrorHooksTest : public test::LoggingFixture {};

TEST(RuntimeErrorNamesTest, TableAndSignalMapping) {
  EXPECT_EQ(RuntimeErrorName(0), "reNone");
  EXPECT_EQ(RuntimeErrorName(2), "reInvalidPtr");
  EXPECT_EQ(RuntimeErrorName(24), "reSafeCallError");
  EXPECT_EQ(RuntimeErrorName(25), "25");
  EXPECT_EQ(RuntimeErrorName(200), "200");
  EXPECT_EQ(RuntimeErrorName(RuntimeErrorOfSignal(SIGSEGV, SEGV_MAPERR)), "reAccessViolation");
  EXPECT_EQ(RuntimeErrorName(RuntimeErrorOfSignal(SIGFPE, FPE_INTDIV)), "reDivByZero");
  EXPECT_EQ(RuntimeErrorName(RuntimeErrorOfSignal(SIGFPE, FPE_FLTDIV)), "reZeroDivide");
  EXPECT_EQ(RuntimeErrorName(RuntimeErrorOfSignal(SIGABRT, SI_TKILL)), "reAssertionFailed");
}

TEST_F(ErrorHooksTest, RuntimeErrorLinesGoToAppErrors) {
  Start();
  LogRuntimeError(2, 0x1234);
  LogRuntimeError(200, 0xDEADBEEF);
  EXPECT_EQ(ReadLogLines(DayDir() / "14_tool_app_errors.log"),
            (std::vector<std::string>{
                "14:05:06.789 Неперехваченное исключение (ErrorProc): ErrorCode=reInvalidPtr, "
                "ErrorAddr=0x00001234",
                "14:05:06.789 Неперехваченное исключение (ErrorProc): ErrorCode=200, "
                "ErrorAddr=0xDEADBEEF"}));
}

TEST_F(ErrorHooksTest, NoApplicationLogNoLines) {
  LogRuntimeError(11, 0);
  LogUnhandledException(nullptr, 0);
  EXPECT_TRUE(test::FilesBelow(Temp.Path()).size() == 1u);  // only the program file
}

std::exception_ptr Captured(auto Thrower) {
  try {
    Thrower();
  } catch (...) {
    return std::current_exception();
  }
  return nullptr;
}

__attribute__((noinline)) void SomeFunctionOfThisProgram() { asm volatile(""); }

TEST(UnhandledExceptionDescriptionTest, ClassModuleAddressAndPoint) {
  const auto own = Captured([] { throw EConvertError::Create("Неверное число"); });
  const auto address = reinterpret_cast<std::uintptr_t>(&SomeFunctionOfThisProgram);
  const std::string text = UnhandledExceptionDescription(own, address);
  ASSERT_TRUE(test::Matches(
      text, "Exception EConvertError in module test_logging at {hex}.\r\nНеверное число.\r\n"))
      << text;
  // The address is relative to where the program was loaded.
  const std::string hex =
      text.substr(text.find(" at ") + 4, text.find(".\r\n") - text.find(" at ") - 4);
  EXPECT_GE(hex.size(), 8u);
  EXPECT_LT(std::stoull(hex, nullptr, 16), address);

  const auto dotted = Captured([] { throw std::runtime_error("Ends with a point."); });
  EXPECT_TRUE(UnhandledExceptionDescription(dotted, address)
                  .starts_with("Exception std::runtime_error in module test_logging at "));
  EXPECT_TRUE(
      UnhandledExceptionDescription(dotted, address).ends_with("\r\nEnds with a point.\r\n"));

  const auto number = Captured([] { throw 42; });
  EXPECT_TRUE(UnhandledExceptionDescription(number, 0).starts_with("Exception int in module  at "));
  EXPECT_TRUE(UnhandledExceptionDescription(number, 0).ends_with(".\r\n\r\n"));

  const auto huge = Captured([] { throw Exception(std::string(5000, 'x')); });
  EXPECT_EQ(UnhandledExceptionDescription(huge, 0).size(), 1024u);
}

TEST(ErrorHooksInstallTest, InstallSavesAndRemoveRestoresTheHandlers) {
  static bool oldProcCalled = false;
  const TExceptObjProc before = [](int, std::uintptr_t) {
    oldProcCalled = true;
    return std::make_unique<Exception>("old");
  };
  ExceptObjProc = before;
  const std::terminate_handler oldTerminate = std::get_terminate();
  struct sigaction oldSegv {};
  ::sigaction(SIGSEGV, nullptr, &oldSegv);

  InstallErrorHooks();
  EXPECT_TRUE(ErrorHooksInstalled());
  EXPECT_NE(std::get_terminate(), oldTerminate);
  struct sigaction now {};
  ::sigaction(SIGSEGV, nullptr, &now);
  EXPECT_NE(now.sa_sigaction, oldSegv.sa_sigaction);
  ASSERT_NE(ExceptObjProc, before);
  EXPECT_EQ(ExceptObjProc(SIGSEGV, 0)->Message, "old");  // handed over to the saved hook
  EXPECT_TRUE(oldProcCalled);

  RemoveErrorHooks();
  EXPECT_FALSE(ErrorHooksInstalled());
  EXPECT_EQ(std::get_terminate(), oldTerminate);
  ::sigaction(SIGSEGV, nullptr, &now);
  EXPECT_EQ(now.sa_sigaction, oldSegv.sa_sigaction);
  EXPECT_EQ(ExceptObjProc, before);

  // Without an earlier hook the mapping says so in a base exception.
  ExceptObjProc = nullptr;
  InstallErrorHooks();
  const auto e = ExceptObjProc(SIGSEGV, 0);
  RemoveErrorHooks();
  ASSERT_NE(e, nullptr);
  EXPECT_STREQ(e->ClassName(), "Exception");
  EXPECT_EQ(e->Message,
            "Оригинальная процедура для ExceptObjProc не задана (OldExceptObjProc=nil)");
  EXPECT_EQ(ExceptObjProc, nullptr);
}

// Runs a copy of the helper program from a temporary folder; returns its wait status.
class HelperProcessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Helper = fs::weakly_canonical(Temp.Path()) / "probrix_logging_helper";
    fs::copy_file(PROBRIX_LOGGING_HELPER, Helper);
  }

  int Run(const char* Mode) {
    // The hooks log from inside a signal handler on purpose.
    std::string tsan = "TSAN_OPTIONS=report_signal_unsafe=0";
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
      const std::string var = *e;
      if (var.starts_with("TSAN_OPTIONS=")) {
        tsan = var + ":report_signal_unsafe=0";
      } else {
        env.push_back(var);
      }
    }
    env.push_back(tsan);
    std::vector<char*> envp;
    for (auto& s : env) envp.push_back(s.data());
    envp.push_back(nullptr);
    std::string path = Helper.string();
    std::string mode = Mode;
    char* argv[] = {path.data(), mode.data(), nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    // The runtime's own report of the failure is not this test's business.
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    pid_t pid = 0;
    const int rc = posix_spawn(&pid, path.c_str(), &actions, nullptr, argv, envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) return -1;
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return status;
  }

  // The lines of the one "<hour>_probrix_logging_helper<Suffix>.log" the helper wrote.
  std::vector<std::string> LogLines(const std::string& Suffix) {
    std::vector<std::string> lines;
    int found = 0;
    for (const auto& file : test::FilesBelow(Temp.Path() / "Logs")) {
      const std::string name = file.filename().string();
      if (test::Matches(name, "{d}{d}_probrix_logging_helper" + Suffix + ".log")) {
        ++found;
        for (auto& l : ReadLogLines(file)) lines.push_back(l);
      }
    }
    EXPECT_GE(found, 1) << "no log file " << Suffix;
    return lines;
  }

  test::TTempDir Temp;
  fs::path Helper;
};

bool FailedAbnormally(int Status) { return !(WIFEXITED(Status) && WEXITSTATUS(Status) == 0); }

TEST_F(HelperProcessTest, StartUpFromTheProgramFile) {
  const int status = Run("write");
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  const auto lines = LogLines("");
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_TRUE(test::HasTimeStamp(lines[0]));
  EXPECT_EQ(lines[0].substr(13), "cwd=" + fs::weakly_canonical(Temp.Path()).string());
  EXPECT_EQ(lines[1].substr(13), "ini=" + Helper.string() + ".ini");
}

TEST_F(HelperProcessTest, UncaughtExceptionLeavesTwoLinesInAppErrors) {
  const int status = Run("throw");
  EXPECT_TRUE(FailedAbnormally(status));
  const auto lines = LogLines("_app_errors");
  std::vector<std::string> stamped;
  for (const auto& l : lines)
    if (test::HasTimeStamp(l)) stamped.push_back(l.substr(13));
  ASSERT_EQ(stamped.size(), 2u) << ::testing::PrintToString(lines);
  EXPECT_EQ(stamped[0], "Неперехваченное исключение (ExceptProc). Начало обработки...");
  EXPECT_TRUE(test::Matches(stamped[1],
                            "Неперехваченное исключение (ExceptProc): Exception EConvertError in "
                            "module probrix_logging_helper at {hex}."))
      << stamped[1];
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[2], "Строка 'x' не является числом.");
  EXPECT_EQ(lines[3], "");
}

TEST_F(HelperProcessTest, NullDereferenceLeavesTheErrorProcLine) {
  const int status = Run("null");
  EXPECT_TRUE(FailedAbnormally(status));
  const auto lines = LogLines("_app_errors");
  ASSERT_EQ(lines.size(), 1u) << ::testing::PrintToString(lines);
  EXPECT_TRUE(test::Matches(lines[0].substr(13),
                            "Неперехваченное исключение (ErrorProc): ErrorCode=reAccessViolation, "
                            "ErrorAddr=0x{hex}"))
      << lines[0];
}

TEST_F(HelperProcessTest, IntegerDivisionByZeroIsReDivByZero) {
  const int status = Run("divide");
  EXPECT_TRUE(FailedAbnormally(status));
  const auto lines = LogLines("_app_errors");
  ASSERT_EQ(lines.size(), 1u) << ::testing::PrintToString(lines);
  EXPECT_NE(lines[0].find("(ErrorProc): ErrorCode=reDivByZero, ErrorAddr=0x"), std::string::npos)
      << lines[0];
}

}  // namespace
}  // namespace probrix
