// Logging when files cannot be written: a Logs folder that cannot take files and a file-size
// limit make writes fail quietly, the program goes on, and no caller sees an exception. A
// settings file of random bytes loads the defaults.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#include "foundation/appFileLogs.h"
#include "foundation/appIniFiles.h"
#include "foundation/appLogging.h"
#include "logging/LoggingFixture.h"
#include "search/uSearchParams.h"
#include "support/TestSupport.h"

namespace probrix {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

class LoggingFailure : public test::LoggingFixture {
 protected:
  // Every kind of write a program makes; none may throw.
  static void WriteEverything(const fs::path& Logs) {
    EXPECT_NO_THROW(WriteAppLog("line of the application log"));
    EXPECT_NO_THROW(WriteAppLogNamed("named line", "app_errors"));
    EXPECT_NO_THROW(WriteAppLogFmt("formatted %d", "", {42}));
    EXPECT_NO_THROW(WriteLogFile("result line", (Logs / "2026_12_07" / "result.log").string()));
    EXPECT_NO_THROW(WriteThreadLog("queued line", (Logs / "queued.log").string(), true));
    EXPECT_NO_THROW((void)GetAppLogFolder());
    tFileLog log((Logs / "direct.log").string());
    EXPECT_FALSE(log.LogToFile("x", (Logs / "sub" / "direct.log").string()));
    EXPECT_FALSE(log.LogToDayFolder("x", Logs.string(), "day.log"));
  }
};

// A regular file where the Logs folder should be: nothing below it can be created, for any
// user (a read-only folder does not stop root, which the next test covers for other users).
TEST_F(LoggingFailure, LogsFolderBlockedByAFileFailsQuietly) {
  const fs::path logs = BinDir() / "Logs";
  std::ofstream(logs) << "not a folder";
  Start([](const std::string&) { return true; });
  WriteEverything(logs);

  // The program goes on: a usable path still gets its line once the queue is written.
  const fs::path usable = Temp.Path() / "usable.log";
  WriteThreadLog("still logging", usable.string(), false);
  EXPECT_TRUE(test::WaitFor([&] { return fs::exists(usable) && fs::file_size(usable) > 0; }, 2s));
  EXPECT_TRUE(fs::is_regular_file(logs));
}

TEST_F(LoggingFailure, ReadOnlyLogsFolderFailsQuietly) {
  if (geteuid() == 0) GTEST_SKIP() << "root writes into read-only folders";
  const fs::path logs = BinDir() / "Logs";
  fs::create_directories(logs);
  fs::permissions(logs, fs::perms::owner_read | fs::perms::owner_exec);
  Start([](const std::string&) { return true; });
  WriteEverything(logs);
  FinalizeLogging();
  fs::permissions(logs, fs::perms::owner_all);
  EXPECT_FALSE(fs::exists(logs / "2026_12_07" / "result.log"));
}

// In a child process with a 100-byte file-size limit (SIGXFSZ ignored, so writes past it fail
// with EFBIG): every write returns normally and no file grows past the limit.
TEST(LoggingFileSizeLimit, WritesPastTheLimitFailQuietly) {
  test::TTempDir temp;
  const fs::path file = temp.Path() / "limited.log";
  const fs::path dayRoot = temp.Path() / "Logs";
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{100, 100};
    if (setrlimit(RLIMIT_FSIZE, &limit) != 0) _exit(3);
    int code = 0;
    try {
      tFileLog log(file.string());
      bool failedOnce = false;
      for (int i = 0; i < 50; ++i) {
        WriteLogFile("a line that soon passes the limit", file.string());
        if (!log.LogToFile("direct line", file.string())) failedOnce = true;
        log.LogToDayFolder("day line", dayRoot.string(), "day.log");
      }
      if (!failedOnce) code = 4;  // the limit must have been reached
      std::error_code ec;
      if (fs::file_size(file, ec) > 100 || ec) code = 5;
      // A write cut short by the limit is taken back: the file holds whole lines only.
      std::ifstream in(file, std::ios::binary);
      const std::string bytes(std::istreambuf_iterator<char>(in), {});
      if (bytes.size() < 2 || bytes.substr(bytes.size() - 2) != "\r\n") code = 6;
    } catch (...) {
      code = 2;
    }
    _exit(code);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status)) << "signal " << (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
  EXPECT_EQ(WEXITSTATUS(status), 0)
      << "2: an exception escaped, 4: no write failed, 5: too big, 6: a torn line";
}

TEST(SettingsFailure, RandomBytesLoadTheDefaults) {
  test::TTempDir temp;
  std::mt19937 random(20261207);
  const TSearchSettings defaults;
  for (int round = 0; round < 20; ++round) {
    const fs::path path = temp.Path() / ("settings" + std::to_string(round) + ".ini");
    {
      std::ofstream out(path, std::ios::binary);
      if (round % 2 == 1) out << "[SearchParams]\r\n";  // noise inside the right section too
      for (int i = 0; i < 4096; ++i) {
        char c = static_cast<char>(random() & 0xFF);
        if (c == '[') c = ']';  // no section header can come out of the noise
        out.put(c);
      }
    }
    TSearchSettings loaded;
    ASSERT_NO_THROW(loaded = LoadSearchSettings(TIniFile(path)));
    EXPECT_TRUE(loaded.SerialPorts.empty());
    EXPECT_TRUE(loaded.BaudRates.empty());
    EXPECT_TRUE(loaded.TCPConnections.empty());
    EXPECT_TRUE(loaded.Protocols.empty());
    EXPECT_EQ(loaded.SearchSingleOrvatbusDevice, defaults.SearchSingleOrvatbusDevice);
    EXPECT_EQ(loaded.OrvatbusAddresses, defaults.OrvatbusAddresses);
    EXPECT_EQ(loaded.ModbusAddresses, defaults.ModbusAddresses);
    EXPECT_EQ(loaded.RequestRetryCount, defaults.RequestRetryCount);
    EXPECT_EQ(loaded.StartOfPacketReadTimeout, defaults.StartOfPacketReadTimeout);
    EXPECT_EQ(loaded.WritePacketTimeout, defaults.WritePacketTimeout);
    EXPECT_EQ(loaded.SaveSearchLogs, defaults.SaveSearchLogs);
  }
}

}  // namespace
}  // namespace probrix
