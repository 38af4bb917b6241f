#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <set>
#include <thread>

#include "LogTestUtils.h"
#include "foundation/appCodePage.h"
#include "foundation/appExceptions.h"
#include "foundation/appFileLogs.h"
#include "support/TestSupport.h"

namespace probrix {
namespace {

namespace fs = std::filesystem;
using test::ReadBytes;
using test::ReadLogLines;

using test::TFakeClock;

// Holds the advisory lock of a file the way another writer does during its append.
class TFileHolder {
 public:
  explicit TFileHolder(const fs::path& Path) {
    fs::create_directories(Path.parent_path());
    Fd_ = ::open(Path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    if (Fd_ >= 0) Locked_ = ::flock(Fd_, LOCK_EX) == 0;
  }
  ~TFileHolder() {
    if (Fd_ >= 0) ::close(Fd_);
  }
  bool Locked() const { return Locked_; }

 private:
  int Fd_ = -1;
  bool Locked_ = false;
};

class FileLogsTest : public ::testing::Test {
 protected:
  test::TTempDir Temp;
  TFakeClock Clock;
  fs::path Dir() const { return Temp.Path(); }
};

TEST(MakeSafeFileNameTest, ReplacesExactlyTheTenReservedCharacters) {
  EXPECT_EQ(MakeSafeFileName("a\"b'c*d/e:f<g>h?i\\j|k", '_'), "a_b_c_d_e_f_g_h_i_j_k");
  const std::string kept = "Имя файла\t.log-+=[]{}%#;,!";
  EXPECT_EQ(MakeSafeFileName(kept, '_'), kept);
  EXPECT_EQ(MakeSafeFileName("", '_'), "");
}

TEST(RaiseFileLogErrorTest, MessageCarriesCodeTextAndStep) {
  try {
    RaiseFileLogError("WriteFile", ENOSPC);
    FAIL() << "no exception";
  } catch (const EOSError& e) {
    EXPECT_EQ(e.ErrorCode, ENOSPC);
    EXPECT_EQ(e.Message, Format("System Error.  Code: %d.\r\n%s (funcName=WriteFile)",
                                {ENOSPC, std::string(strerror(ENOSPC))}));
  }
  try {
    RaiseFileLogError("SetFilePointer", 0);
    FAIL() << "no exception";
  } catch (const EOSError& e) {
    EXPECT_EQ(e.ErrorCode, 0);
    EXPECT_EQ(e.Message, "A call to an OS function failed (funcName=SetFilePointer)");
  }
}

TEST_F(FileLogsTest, LinesAreStampedCp1251WithCrLf) {
  const fs::path file = Dir() / "14_tool.exe.log";
  tFileLog log(file.string());
  log.SetClock(Clock.Clock());
  EXPECT_TRUE(log.Log("Поиск начат"));
  EXPECT_TRUE(log.LogRaw("raw line\r\n"));
  EXPECT_TRUE(log.Log("two\r\nlines"));
  const std::string expected =
      "14:05:06.789 Поиск начат\r\nraw line\r\n\r\n"
      "14:05:06.789 two\r\nlines\r\n";
  EXPECT_EQ(ReadBytes(file), Utf8ToCp1251(expected));
  // Really single-byte Windows-1251 on disk: "П" is 0xCF.
  EXPECT_EQ(static_cast<unsigned char>(ReadBytes(file)[13]), 0xCF);
}

TEST_F(FileLogsTest, TimeSeparatedLogRollsOverByHourAndDay) {
  tTimeSeparatedFileLog log(QuoteFormatLiteral(Dir().string() + "/Logs/") +
                            R"(YYYY"_"MM"_"DD"/"HH"_tool.log")");
  log.SetClock(Clock.Clock());
  const fs::path day = Dir() / "Logs" / "2026_12_07";
  EXPECT_FALSE(fs::exists(day));
  EXPECT_TRUE(log.Log("first"));
  EXPECT_TRUE(fs::is_regular_file(day / "14_tool.log"));
  EXPECT_EQ(log.FileName(), (day / "14_tool.log").string());

  Clock.Set(2026, 12, 7, 15, 0, 0, 0);
  EXPECT_TRUE(log.Log("next hour"));
  Clock.Set(2026, 12, 8, 0, 0, 0, 1);
  EXPECT_TRUE(log.Log("after midnight"));

  EXPECT_EQ(ReadLogLines(day / "14_tool.log"), std::vector<std::string>{"14:05:06.789 first"});
  EXPECT_EQ(ReadLogLines(day / "15_tool.log"), std::vector<std::string>{"15:00:00.000 next hour"});
  EXPECT_EQ(ReadLogLines(Dir() / "Logs" / "2026_12_08" / "00_tool.log"),
            std::vector<std::string>{"00:00:00.001 after midnight"});

  // The folder is made when the name changes, not looked at with every write; one removed
  // within the hour is made again by the next write, and nothing is lost.
  fs::remove_all(Dir() / "Logs");
  EXPECT_TRUE(log.Log("folder gone"));
  EXPECT_TRUE(log.LogNamed("named too", "search"));
  EXPECT_EQ(ReadLogLines(Dir() / "Logs" / "2026_12_08" / "00_tool.log"),
            std::vector<std::string>{"00:00:00.001 folder gone"});
  EXPECT_EQ(ReadLogLines(Dir() / "Logs" / "2026_12_08" / "00_tool_search.log"),
            std::vector<std::string>{"00:00:00.001 named too"});
}

TEST_F(FileLogsTest, PatternFolderWithQuotesIsTakenLiterally) {
  const std::string folder = Dir().string() + "/my \"odd\" 'folder' yyyy/";
  tTimeSeparatedFileLog log(QuoteFormatLiteral(folder) + R"(HH".log")");
  log.SetClock(Clock.Clock());
  EXPECT_TRUE(log.Log("x"));
  EXPECT_TRUE(fs::is_regular_file(folder + "14.log"));
}

TEST_F(FileLogsTest, NamedVariantsGoBeforeTheExtensionWithSafeNames) {
  tFileLog log((Dir() / "14_tool.exe.log").string());
  log.SetClock(Clock.Clock());
  EXPECT_TRUE(log.LogNamed("err", "app_errors"));
  EXPECT_TRUE(log.LogNamed("colon", "a:b/c"));
  EXPECT_TRUE(log.LogNamed("quote", "it's"));
  EXPECT_TRUE(log.LogNamedRaw("plain", ""));
  EXPECT_EQ(ReadLogLines(Dir() / "14_tool.exe_app_errors.log"),
            std::vector<std::string>{"14:05:06.789 err"});
  EXPECT_EQ(ReadLogLines(Dir() / "14_tool.exe_a_b_c.log"),
            std::vector<std::string>{"14:05:06.789 colon"});
  EXPECT_EQ(ReadLogLines(Dir() / "14_tool.exe_it_s.log"),
            std::vector<std::string>{"14:05:06.789 quote"});
  EXPECT_EQ(ReadLogLines(Dir() / "14_tool.exe.log"), std::vector<std::string>{"plain"});
  EXPECT_EQ(test::FilesBelow(Dir()).size(), 4u);
}

TEST_F(FileLogsTest, NameGoesAtTheEndOfAFileWithoutExtension) {
  const fs::path folder = Dir() / "dotted.folder";
  tFileLog log((folder / "14_probrix").string());
  EXPECT_THROW(log.LogNamed("x", "app_errors"), EOSError);  // the folder does not exist
  fs::create_directories(folder);
  EXPECT_TRUE(log.LogNamed("x", "app_errors"));
  EXPECT_TRUE(fs::exists(folder / "14_probrix_app_errors"));
}

TEST_F(FileLogsTest, HeaderOnlyAtTheTopOfFilesTheLogCreates) {
  const fs::path file = Dir() / "result.log";
  {
    std::ofstream existing(Dir() / "result_old.log", std::ios::binary);
    existing << "kept\r\n";
  }
  tFileLog log(file.string());
  log.SetClock(Clock.Clock());
  log.SetFileOptions("", "Заголовок", "");
  log.SetFileOptions("old", "Header", "");
  log.SetFileOptions("raw", "Raw header", "");
  EXPECT_TRUE(log.Log("one"));
  EXPECT_TRUE(log.Log("two"));
  EXPECT_TRUE(log.LogNamed("three", "old"));
  EXPECT_TRUE(log.LogNamed("upper", "OLD"));  // options are found without regard to case
  EXPECT_TRUE(log.LogNamedRaw("four", "raw"));
  EXPECT_EQ(ReadLogLines(file), (std::vector<std::string>{"14:05:06.789 Заголовок",
                                                          "14:05:06.789 one", "14:05:06.789 two"}));
  EXPECT_EQ(ReadLogLines(Dir() / "result_old.log"),
            (std::vector<std::string>{"kept", "14:05:06.789 three"}));
  EXPECT_EQ(ReadLogLines(Dir() / "result_OLD.log"),
            (std::vector<std::string>{"14:05:06.789 Header", "14:05:06.789 upper"}));
  EXPECT_EQ(ReadLogLines(Dir() / "result_raw.log"),
            (std::vector<std::string>{"Raw header", "four"}));
  // A blank header leaves the earlier one; removing forgets it.
  log.SetFileOptions("", "  ", "");
  fs::remove(file);
  EXPECT_TRUE(log.LogRaw("five"));
  EXPECT_EQ(ReadLogLines(file), (std::vector<std::string>{"Заголовок", "five"}));
  log.RemoveFileOptions("");
  fs::remove(file);
  EXPECT_TRUE(log.LogRaw("six"));
  EXPECT_EQ(ReadLogLines(file), std::vector<std::string>{"six"});
}

TEST_F(FileLogsTest, RegisteredExtensionReplacesTheFileExtension) {
  tFileLog log((Dir() / "14_tool.exe.log").string());
  log.SetFileOptions("", "", ".txt");
  log.SetFileOptions("csv data", "", ".csv");
  EXPECT_TRUE(log.LogRaw("a"));
  EXPECT_TRUE(log.LogNamedRaw("b", "csv data"));
  EXPECT_TRUE(fs::exists(Dir() / "14_tool.exe.txt"));
  EXPECT_TRUE(fs::exists(Dir() / "14_tool.exe_csv data.csv"));
  log.RemoveFileOptions("");
  EXPECT_TRUE(log.LogRaw("c"));
  EXPECT_EQ(ReadLogLines(Dir() / "14_tool.exe.log"), std::vector<std::string>{"c"});
}

TEST_F(FileLogsTest, LogToFileRefusesBlankPathsAndCreatesFolderChains) {
  tFileLog log("");
  log.SetClock(Clock.Clock());
  EXPECT_FALSE(log.LogToFile("x", ""));
  EXPECT_FALSE(log.LogToFileRaw("x", "   "));
  EXPECT_TRUE(test::FilesBelow(Dir()).empty());

  const fs::path deep = Dir() / "a" / "b" / "c" / "173045_219__результаты_поиска.log";
  EXPECT_TRUE(log.LogToFile("found", deep.string()));
  EXPECT_TRUE(log.LogToFileRaw("raw", deep.string()));
  EXPECT_EQ(ReadLogLines(deep), (std::vector<std::string>{"14:05:06.789 found", "raw"}));
  // A chain removed between two writes is made again.
  fs::remove_all(Dir() / "a");
  EXPECT_TRUE(log.LogToFileRaw("again", deep.string()));
  EXPECT_EQ(ReadLogLines(deep), std::vector<std::string>{"again"});
  // A file where a folder should be: the folder cannot be made, and the reason says so.
  { std::ofstream blocker(Dir() / "blocker"); }
  EXPECT_EQ(log.AppendToFile("x", (Dir() / "blocker" / "x.log").string(), false)
                .rfind("CreateDirectory: ", 0),
            0u);
  // The path is used as given: reserved characters are not replaced.
  const fs::path odd = Dir() / "x:y.log";
  EXPECT_TRUE(log.LogToFileRaw("odd", odd.string()));
  EXPECT_TRUE(fs::exists(odd));
}

TEST_F(FileLogsTest, LogToDayFolderUsesTheDateAndASafeName) {
  tFileLog log("");
  log.SetClock(Clock.Clock());
  EXPECT_TRUE(log.LogToDayFolder("day", Dir().string(), "COM1:ModbusRTU.log"));
  EXPECT_TRUE(log.LogToDayFolderRaw("raw", Dir().string() + "/", "COM1:ModbusRTU.log"));
  EXPECT_EQ(ReadLogLines(Dir() / "2026_12_07" / "COM1_ModbusRTU.log"),
            (std::vector<std::string>{"14:05:06.789 day", "raw"}));

  SetDefaultLogsFolder((Dir() / "Logs").string());
  EXPECT_TRUE(log.LogToDayFolder("default", " ", "d.log"));
  SetDefaultLogsFolder("");
  EXPECT_TRUE(fs::exists(Dir() / "Logs" / "2026_12_07" / "d.log"));

  // A folder that cannot be created is a plain false.
  { std::ofstream blocker(Dir() / "file"); }
  EXPECT_FALSE(log.LogToDayFolder("x", (Dir() / "file").string(), "n.log"));
}

TEST_F(FileLogsTest, FileHeldByAnotherWriterFailsAsAnOpenFailure) {
  const fs::path file = Dir() / "held.log";
  TFileHolder holder(file);
  ASSERT_TRUE(holder.Locked());
  tFileLog log(file.string());
  try {
    log.Log("x");
    FAIL() << "no exception";
  } catch (const EOSError& e) {
    EXPECT_EQ(e.ErrorCode, EWOULDBLOCK);
    EXPECT_TRUE(e.Message.starts_with("System Error.  Code: ")) << e.Message;
    EXPECT_TRUE(e.Message.ends_with(" (funcName=CreateFile)")) << e.Message;
  }
  EXPECT_THROW(log.LogNamedRaw("x", ""), EOSError);
  EXPECT_FALSE(log.LogToFile("x", file.string()));
  EXPECT_TRUE(ReadBytes(file).empty());
}

TEST_F(FileLogsTest, UncreatableFolderGivesEmptyNameAndCreateFileFailure) {
  { std::ofstream blocker(Dir() / "Logs"); }  // a file where the folder should be
  tTimeSeparatedFileLog log(QuoteFormatLiteral(Dir().string() + "/Logs/") + R"(DD"/"HH".log")");
  log.SetClock(Clock.Clock());
  EXPECT_EQ(log.FileName(), "");
  try {
    log.Log("x");
    FAIL() << "no exception";
  } catch (const EOSError& e) {
    EXPECT_TRUE(e.Message.ends_with(" (funcName=CreateFile)")) << e.Message;
  }
  EXPECT_FALSE(log.LogToDayFolder("x", (Dir() / "Logs").string(), "a.log"));
}

TEST_F(FileLogsTest, ConcurrentWritersNeverInterleaveLines) {
  const fs::path file = Dir() / "shared.log";
  tFileLog first(file.string());
  tFileLog second(file.string());  // a second log object on the same file, as another process
  constexpr int ThreadCount = 4;
  constexpr int LineCount = 200;
  std::vector<std::thread> threads;
  for (int t = 0; t < ThreadCount; ++t) {
    threads.emplace_back([&, t] {
      tFileLog& log = t % 2 ? second : first;
      const std::string payload(100, static_cast<char>('a' + t));
      for (int i = 0; i < LineCount; ++i) {
        try {
          log.LogRaw(Format("%d %d %s", {t, i, payload}));
        } catch (const Exception&) {
          // counted below as a missing line
        }
      }
    });
  }
  for (auto& th : threads) th.join();
  const auto lines = ReadLogLines(file);
  ASSERT_EQ(lines.size(), static_cast<std::size_t>(ThreadCount * LineCount));
  std::vector<int> next(ThreadCount, 0);
  for (const std::string& line : lines) {
    int t = -1, i = -1;
    ASSERT_EQ(std::sscanf(line.c_str(), "%d %d", &t, &i), 2) << line;
    ASSERT_TRUE(t >= 0 && t < ThreadCount);
    EXPECT_EQ(i, next[t]++) << "lines of one writer out of order";
    EXPECT_EQ(line.substr(line.size() - 100), std::string(100, static_cast<char>('a' + t)));
  }
}

}  // namespace
}  // namespace probrix
