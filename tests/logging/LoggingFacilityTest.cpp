#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "LogTestUtils.h"
#include "LoggingFixture.h"
#include "foundation/appExceptions.h"
#include "foundation/appLogging.h"
#include "platform/platProcess.h"

namespace probrix {
namespace {

namespace fs = std::filesystem;
using test::ReadLogLines;
using test::TEnvOverride;

class LoggingFacilityTest : public test::LoggingFixture {};

TEST_F(LoggingFacilityTest, StartUpValuesAndCurrentDirectory) {
  Start();
  const std::string bin = BinDir().string() + "/";
  EXPECT_EQ(ModulePath(), Program.string());
  EXPECT_EQ(ModuleName(), "tool");
  EXPECT_EQ(ModuleFolder(), bin);
  EXPECT_EQ(ExeFolder(), bin);
  EXPECT_EQ(LogsFolder(), bin + "Logs/");
  EXPECT_EQ(AppIniFileName(), bin + "tool.ini");
  EXPECT_EQ(DebugIniFileName(), bin + "Debug.ini");
  EXPECT_EQ(fs::current_path(), BinDir());
  ASSERT_NE(AppLog(), nullptr);
}

TEST_F(LoggingFacilityTest, AppLogFileOfTheHourAndNamedVariants) {
  Start();
  WriteAppLog("Программа запущена");
  WriteAppLog("raw", false);
  WriteAppLogNamed("named", "app_errors");
  WriteAppLogFmt("Порт %s, адрес %d", "search", {"COM1", 17});
  EXPECT_EQ(ReadLogLines(DayDir() / "14_tool.log"),
            (std::vector<std::string>{"14:05:06.789 Программа запущена", "raw"}));
  EXPECT_EQ(ReadLogLines(DayDir() / "14_tool_app_errors.log"),
            std::vector<std::string>{"14:05:06.789 named"});
  EXPECT_EQ(ReadLogLines(DayDir() / "14_tool_search.log"),
            std::vector<std::string>{"14:05:06.789 Порт COM1, адрес 17"});
  EXPECT_EQ(GetAppLogFolder(), DayDir().string() + "/");
}

TEST_F(LoggingFacilityTest, LastMillisecondAndFirstMillisecondOfADayLandInTwoFolders) {
  Start();
  Clock.Set(2026, 12, 7, 23, 59, 59, 999);
  WriteAppLog("before");
  Clock.Set(2026, 12, 8, 0, 0, 0, 0);
  WriteAppLog("after");
  EXPECT_EQ(ReadLogLines(BinDir() / "Logs" / "2026_12_07" / "23_tool.log"),
            std::vector<std::string>{"23:59:59.999 before"});
  EXPECT_EQ(ReadLogLines(BinDir() / "Logs" / "2026_12_08" / "00_tool.log"),
            std::vector<std::string>{"00:00:00.000 after"});
}

TEST_F(LoggingFacilityTest, GetAppLogFolderCreatesTheDayFolder) {
  EXPECT_EQ(GetAppLogFolder(), "");  // no application log yet
  Start();
  EXPECT_FALSE(fs::exists(DayDir()));
  EXPECT_EQ(GetAppLogFolder(), DayDir().string() + "/");
  EXPECT_TRUE(fs::is_directory(DayDir()));
  FinalizeLogging();
  EXPECT_EQ(GetAppLogFolder(), "");
}

TEST_F(LoggingFacilityTest, BadFormatRecordsTheUnformattedTextInLogError) {
  Start();
  WriteAppLogFmt("Адрес %d", "app_errors", {"not a number"});
  EXPECT_FALSE(fs::exists(DayDir() / "14_tool_app_errors.log"));
  const auto lines = ReadLogLines(DayDir() / "14_tool_app_errors_LogError.log");
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_TRUE(lines[0].starts_with(
      "14:05:06.789 Ошибка вывода в лог: ExceptionClass=EConvertError, Message="))
      << lines[0];
  EXPECT_TRUE(lines[0].ends_with(", LogStr: Адрес %d")) << lines[0];
}

TEST_F(LoggingFacilityTest, FailedWriteGoesToTheLogErrorFileOfItsName) {
  Start();
  fs::create_directories(DayDir());
  const int fd = ::open((DayDir() / "14_tool.log").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::flock(fd, LOCK_EX), 0);
  WriteAppLog("lost line");
  WriteAppLogNamed("lost raw", "", false);
  ::close(fd);
  const auto lines = ReadLogLines(DayDir() / "14_tool__LogError.log");
  ASSERT_EQ(lines.size(), 4u);  // each message spans two physical lines
  EXPECT_EQ(lines[0],
            "14:05:06.789 Ошибка вывода в лог: ExceptionClass=EOSError, Message=System Error.  "
            "Code: " +
                std::to_string(EWOULDBLOCK) + ".");
  EXPECT_TRUE(lines[1].ends_with(" (funcName=CreateFile), LogStr: lost line")) << lines[1];
  EXPECT_TRUE(lines[2].starts_with("Ошибка вывода в лог: ExceptionClass=EOSError")) << lines[2];
  EXPECT_TRUE(lines[3].ends_with("LogStr: lost raw")) << lines[3];
}

TEST_F(LoggingFacilityTest, UnusableLogsFolderFailsQuietly) {
  WriteDebugIni(BinDir() / "Debug.ini", "DebugMode=1\r\nDebugLog=1\r\n");
  Start();
  { std::ofstream blocker(BinDir() / "Logs"); }  // nothing can be created below it
  testing::internal::CaptureStderr();
  WriteAppLog("still going");
  WriteAppLogFmt("%s", "app_errors", {"x"});
  WriteLogFile("file line", (BinDir() / "Logs" / "x.log").string());
  const std::string debug = testing::internal::GetCapturedStderr();
  EXPECT_EQ(GetAppLogFolder(), "");
  EXPECT_EQ(test::FilesBelow(BinDir()).size(), 3u);  // tool, Debug.ini, the blocker
  // The debugger copy does not depend on the file write.
  EXPECT_EQ(debug, "still going\r\nx\r\nfile line\r\n");
}

TEST_F(LoggingFacilityTest, WriteLogFileAppendsToAnyPath) {
  const fs::path target = Temp.Path() / "out" / "result.log";
  WriteLogFile("before start-up", target.string());  // no application log: nothing
  EXPECT_FALSE(fs::exists(target));
  Start();
  WriteLogFile("timed", target.string());
  WriteLogFile("raw", target.string(), false);
  WriteLogFile("blank path", "  ");
  EXPECT_EQ(ReadLogLines(target), (std::vector<std::string>{"14:05:06.789 timed", "raw"}));
}

TEST_F(LoggingFacilityTest, NoDebugIniMeansNoDebuggerOutput) {
  Start();
  testing::internal::CaptureStderr();
  WriteAppLog("line");
  DebugOutput("direct");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_FALSE(DebugSwitches().DebugMode);
}

TEST_F(LoggingFacilityTest, DebugSwitchesAndLinePrefixes) {
  WriteDebugIni(BinDir() / "Debug.ini",
                "DebugMode=1\r\nShowTime=1\r\nShowModuleName=7\r\nShowThreadID=1\r\n"
                "DebugLog=1\r\n");
  Start();
  EXPECT_TRUE(DebugSwitches().ShowModuleName);  // any non-zero value
  testing::internal::CaptureStderr();
  WriteAppLog("Поиск");
  const std::string expected =
      Format("14:05:06:789 [tool] [0x%.8x] Поиск\r\n", {platform::CurrentThreadId()});
  EXPECT_EQ(testing::internal::GetCapturedStderr(), expected);
  EXPECT_EQ(ReadLogLines(DayDir() / "14_tool.log"), std::vector<std::string>{"14:05:06.789 Поиск"});
}

TEST_F(LoggingFacilityTest, DebugModeWithoutDebugLogShowsOnlyDirectOutput) {
  WriteDebugIni(BinDir() / "Debug.ini",
                "DebugMode=1\r\nShowTime=0\r\nShowThreadID=yes\r\nDebugLog=0\r\n");
  Start();
  EXPECT_FALSE(DebugSwitches().ShowThreadID);  // not a number: off
  testing::internal::CaptureStderr();
  WriteAppLog("file only");
  DebugOutput("direct");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "direct\r\n");
}

TEST_F(LoggingFacilityTest, UnwritableProgramFolderUsesThePerUserFolders) {
  const fs::path config = Temp.Path() / "config";
  const fs::path state = Temp.Path() / "state";
  TEnvOverride configEnv("XDG_CONFIG_HOME", config.c_str());
  TEnvOverride stateEnv("XDG_STATE_HOME", state.c_str());
  std::ofstream(BinDir() / "tool.ini", std::ios::binary) << "[SearchParams]\r\nTimeout=50\r\n";
  WriteDebugIni(config / "probrix" / "Debug.ini", "DebugMode=1\r\n");

  Start([](const std::string&) { return false; });
  EXPECT_EQ(LogsFolder(), (state / "probrix" / "Logs").string() + "/");
  EXPECT_EQ(AppIniFileName(), (config / "probrix" / "tool.ini").string());
  EXPECT_EQ(DebugIniFileName(), (config / "probrix" / "Debug.ini").string());
  EXPECT_TRUE(DebugSwitches().DebugMode);
  EXPECT_EQ(fs::current_path(), BinDir());  // relative names still resolve beside the program
  // The settings placed beside the program are the user's starting point.
  EXPECT_EQ(test::ReadBytes(AppIniFileName()), "[SearchParams]\r\nTimeout=50\r\n");

  WriteAppLog("kept");
  EXPECT_EQ(ReadLogLines(state / "probrix" / "Logs" / "2026_12_07" / "14_tool.log"),
            std::vector<std::string>{"14:05:06.789 kept"});
  EXPECT_FALSE(fs::exists(BinDir() / "Logs"));
}

TEST_F(LoggingFacilityTest, WritableLogsFolderIsKeptBesideTheProgram) {
  TEnvOverride stateEnv("XDG_STATE_HOME", (Temp.Path() / "state").c_str());
  fs::create_directories(BinDir() / "Logs");
  // Only the existing Logs folder accepts files, the program folder does not.
  const std::string logs = BinDir().string() + "/Logs/";
  Start([&](const std::string& Folder) { return Folder == logs; });
  EXPECT_EQ(LogsFolder(), logs);
}

}  // namespace
}  // namespace probrix
