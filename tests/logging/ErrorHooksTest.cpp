#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <set>
#include <stdexcept>

#include "LogTestUtils.h"
#include "LoggingFixture.h"
#include "connections/uSerialPort.h"
#include "foundation/appErrorHooks.h"
#include "foundation/appExceptions.h"
#include "foundation/appLogging.h"
#include "platform/platCrashSignals.h"
#include "search/uFinderEngine.h"

extern char** environ;

namespace probrix {
namespace {

// A sanitizer brings its own allocator and its own crash report, which ends the process with
// an exit status instead of the signal.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool Sanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr bool Sanitized = true;
#else
constexpr bool Sanitized = false;
#endif
#else
constexpr bool Sanitized = false;
#endif

namespace fs = std::filesystem;
using test::ReadLogLines;

class ErrorHooksTest : public test::LoggingFixture {};

TEST(RuntimeErrorNamesTest, TableAndSignalMapping) {
  EXPECT_EQ(RuntimeErrorName(0), "reNone");
  EXPECT_EQ(RuntimeErrorName(2), "reInvalidPtr");
  EXPECT_EQ(RuntimeErrorName(24), "reSafeCallError");
  EXPECT_EQ(RuntimeErrorName(25), "25");
  EXPECT_EQ(RuntimeErrorName(200), "200");
  EXPECT_EQ(
      RuntimeErrorName(RuntimeErrorOfCrash(platform::CrashKindOfSignal(SIGSEGV, SEGV_MAPERR))),
      "reAccessViolation");
  EXPECT_EQ(RuntimeErrorName(RuntimeErrorOfCrash(platform::CrashKindOfSignal(SIGFPE, FPE_INTDIV))),
            "reDivByZero");
  EXPECT_EQ(RuntimeErrorName(RuntimeErrorOfCrash(platform::CrashKindOfSignal(SIGFPE, FPE_FLTDIV))),
            "reZeroDivide");
  EXPECT_EQ(RuntimeErrorName(RuntimeErrorOfCrash(platform::CrashKindOfSignal(SIGABRT, SI_TKILL))),
            "reAssertionFailed");
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
  const TExceptObjProc before = [](platform::TCrashKind, std::uintptr_t) {
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
  EXPECT_EQ(ExceptObjProc(platform::TCrashKind::crAccessViolation, 0)->Message,
            "old");  // handed over to the saved hook
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
  const auto e = ExceptObjProc(platform::TCrashKind::crAccessViolation, 0);
  RemoveErrorHooks();
  ASSERT_NE(e, nullptr);
  EXPECT_STREQ(e->ClassName(), "Exception");
  EXPECT_EQ(e->Message,
            "Оригинальная процедура для ExceptObjProc не задана (OldExceptObjProc=nil)");
  EXPECT_EQ(ExceptObjProc, nullptr);
}

// The crash handler's clock cannot ask the C library (which takes a lock); the offsets it
// prepared must agree with the C library's on both sides of every hour of the coming year,
// daylight-saving changes included.
TEST(CrashClockTest, PreparedOffsetsFollowTheTimeZoneForAYear) {
  const char* old = std::getenv("TZ");
  const std::string saved = old ? old : "";
  // Central European rules, spelt out so that no time zone files are needed.
  ::setenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3", 1);
  ::tzset();
  platform::TLocalTimeTable table;
  table.Prepare();
  const time_t start = ::time(nullptr) / 3600 * 3600 + 3600;
  int mismatches = 0;
  std::set<long> offsets;
  for (time_t hour = start; hour < start + 365 * 24 * 3600; hour += 3600) {
    for (const time_t t : {hour - 1, hour}) {
      tm local{};
      ::localtime_r(&t, &local);
      offsets.insert(local.tm_gmtoff);
      if (table.UtcOffset(t) != local.tm_gmtoff && ++mismatches <= 3)
        ADD_FAILURE() << "at " << t << ": " << table.UtcOffset(t) << " != " << local.tm_gmtoff;
    }
  }
  if (old) {
    ::setenv("TZ", saved.c_str(), 1);
  } else {
    ::unsetenv("TZ");
  }
  ::tzset();
  EXPECT_EQ(mismatches, 0);
  EXPECT_EQ(offsets, (std::set<long>{3600, 7200}));
}

// Runs a copy of the helper program from a temporary folder; returns its wait status.
class HelperProcessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Helper = fs::weakly_canonical(Temp.Path()) / "probrix_logging_helper";
    fs::copy_file(PROBRIX_LOGGING_HELPER, Helper);
  }

  // The helper's wait status; a helper still running after a generous deadline counts as hung
  // and is killed.
  struct TRun {
    int Status = -1;
    bool Hung = false;
  };

  TRun Run(const char* Mode) {
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) env.emplace_back(*e);
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
    TRun run;
    if (rc != 0) return run;
    const auto ended = [&] { return ::waitpid(pid, &run.Status, WNOHANG) == pid; };
    if (!test::WaitFor(ended, std::chrono::seconds(60))) {
      run.Hung = true;
      ::kill(pid, SIGKILL);
      while (::waitpid(pid, &run.Status, 0) < 0 && errno == EINTR) {
      }
    }
    return run;
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

// Ended by Signal, or, in a sanitizer build, by the sanitizer's report.
bool EndedBy(int Status, int Signal) {
  return Sanitized ? FailedAbnormally(Status) : WIFSIGNALED(Status) && WTERMSIG(Status) == Signal;
}

TEST_F(HelperProcessTest, StartUpFromTheProgramFile) {
  const int status = Run("write").Status;
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  const auto lines = LogLines("");
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_TRUE(test::HasTimeStamp(lines[0]));
  EXPECT_EQ(lines[0].substr(13), "cwd=" + fs::weakly_canonical(Temp.Path()).string());
  EXPECT_EQ(lines[1].substr(13), "ini=" + Helper.string() + ".ini");
}

TEST_F(HelperProcessTest, UncaughtExceptionLeavesTwoLinesInAppErrors) {
  const int status = Run("throw").Status;
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
  const int status = Run("null").Status;
  EXPECT_TRUE(FailedAbnormally(status));
  const auto lines = LogLines("_app_errors");
  ASSERT_EQ(lines.size(), 1u) << ::testing::PrintToString(lines);
  EXPECT_TRUE(test::Matches(lines[0].substr(13),
                            "Неперехваченное исключение (ErrorProc): ErrorCode=reAccessViolation, "
                            "ErrorAddr=0x{hex}"))
      << lines[0];
}

TEST_F(HelperProcessTest, IntegerDivisionByZeroIsReDivByZero) {
  const int status = Run("divide").Status;
  EXPECT_TRUE(FailedAbnormally(status));
  const auto lines = LogLines("_app_errors");
  ASSERT_EQ(lines.size(), 1u) << ::testing::PrintToString(lines);
  EXPECT_NE(lines[0].find("(ErrorProc): ErrorCode=reDivByZero, ErrorAddr=0x"), std::string::npos)
      << lines[0];
}

// Crashes where the old hook could not log: while another thread holds the application log's
// lock, inside the allocator while it holds its own lock, and on a worker thread whose stack
// ran out. Each leaves its line and ends the process with the crash instead of hanging it.
TEST_F(HelperProcessTest, CrashesInHardPlacesLeaveTheirLineAndEnd) {
  struct TCase {
    const char* Mode;
    int Signal;
    const char* ErrorName;
  };
  const TCase cases[] = {{"locked", SIGSEGV, "reAccessViolation"},
                         {"heap", SIGABRT, "reAssertionFailed"},
                         {"thread-overflow", SIGSEGV, "reStackOverflow"}};
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Mode);
    // A sanitizer's allocator finds the second free itself and never aborts inside a lock.
    if (Sanitized && std::string(c.Mode) == "heap") continue;
    fs::remove_all(Temp.Path() / "Logs");
    const TRun run = Run(c.Mode);
    ASSERT_FALSE(run.Hung);
    EXPECT_TRUE(EndedBy(run.Status, c.Signal)) << run.Status;
    const auto lines = LogLines("_app_errors");
    ASSERT_EQ(lines.size(), 1u) << ::testing::PrintToString(lines);
    EXPECT_TRUE(test::HasTimeStamp(lines[0])) << lines[0];
    EXPECT_TRUE(test::Matches(lines[0].substr(13),
                              std::string("Неперехваченное исключение (ErrorProc): ErrorCode=") +
                                  c.ErrorName + ", ErrorAddr=0x{hex}"))
        << lines[0];
  }
}

// Whether the calling thread has an alternate signal stack, on which a crash handler still
// runs after the thread's own stack ran out.
int HasSignalStack() {
  stack_t current{};
  return ::sigaltstack(nullptr, &current) == 0 && !(current.ss_flags & SS_DISABLE) ? 1 : 0;
}

TEST(ThreadSignalStackTest, EveryThreadTheProgramStartsHasOne) {
  std::atomic<int> searchWorker{-1}, logWriter{-1}, serialEvents{-1};

  TSearchDevicesTask task;
  task.OnSearchFinished = [&](TSearchDevicesTask*, bool) { searchWorker = HasSignalStack(); };
  task.Start();

  TThreadLogger logger(
      [&](const std::string&, const std::string&, bool) { logWriter = HasSignalStack(); });
  logger.Add("line", "target", false, false);

  const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(master, 0);
  ASSERT_EQ(::grantpt(master), 0);
  ASSERT_EQ(::unlockpt(master), 0);
  TSerialPort port;
  port.SetPortName(::ptsname(master));
  port.OnDataReceived = [&](TSerialPort&, TSerialData) { serialEvents = HasSignalStack(); };
  port.Open();
  ASSERT_EQ(::write(master, "x", 1), 1);

  EXPECT_TRUE(
      test::WaitFor([&] { return searchWorker >= 0 && logWriter >= 0 && serialEvents >= 0; }));
  port.Close();
  ::close(master);
  EXPECT_EQ(searchWorker, 1);
  EXPECT_EQ(logWriter, 1);
  EXPECT_EQ(serialEvents, 1);
}

}  // namespace
}  // namespace probrix
