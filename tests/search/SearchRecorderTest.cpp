// The recorder of a search, through the real threaded logger into a temporary folder: what goes
// to the result log and to the attempt logs, and how a log that cannot be written is told.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "foundation/appCodePage.h"
#include "foundation/appLogging.h"
#include "platform/platFiles.h"
#include "search/uSearchRecorder.h"
#include "support/TestSupport.h"

namespace probrix {
namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;

// The logging facility of a pretend program in a temporary folder, for the test's life.
class SearchRecorder : public ::testing::Test {
 protected:
  void SetUp() override {
    const fs::path program = Temp.Path() / "bin" / "tool";
    fs::create_directories(program.parent_path());
    std::ofstream(program) << "";
    TLoggingOptions options;
    options.Argv0 = platform::Utf8OfPath(program);
    options.ModulePathOverride = options.Argv0;
    options.ChangeCurrentDirectory = false;
    InitializeLogging(options);
    Folder = Temp.Path() / "logs";
    fs::create_directories(Folder);
  }
  void TearDown() override { FinalizeLogging(); }

  // A file's lines, decoded from Windows-1251 and split at CR LF.
  static std::vector<std::string> LinesOf(const fs::path& File) {
    std::ifstream in(File, std::ios::binary);
    const std::string text = Cp1251ToUtf8(
        std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()));
    std::vector<std::string> lines;
    for (std::size_t start = 0; start < text.size();) {
      const std::size_t end = text.find("\r\n", start);
      lines.push_back(text.substr(start, end - start));
      start = end == std::string::npos ? text.size() : end + 2;
    }
    return lines;
  }
  std::vector<std::string> FileNames() const {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(Folder))
      names.push_back(platform::Utf8OfPath(entry.path().filename()));
    std::sort(names.begin(), names.end());
    return names;
  }

  test::TTempDir Temp;
  fs::path Folder;
  const TDateTime Time = EncodeDateTime(2026, 12, 7, 17, 30, 45, 219);
  const TSearchAttempt Port{"COM5", 9600, TDeviceProtocol::dpModbusRtu,
                            TConnectionType::ctSerialPort, 17};
};

TEST_F(SearchRecorder, EveryLineToTheResultLogEachAttemptLogToAFileOfItsOwn) {
  TSearchRecorder recorder;
  recorder.BeginSearch(Time, platform::Utf8OfPath(Folder));
  EXPECT_EQ(
      recorder.ResultLogPath(),
      platform::Utf8OfPath(Folder / platform::PathOfUtf8("173045_219__результаты_поиска.log")));
  recorder.SetSaveAttemptLogs(true);

  TDeviceInfo device;
  device.Address = 17;
  device.DeviceType = 16;
  const std::string found =
      recorder.DeviceFound(Time, Port, device, "17:30:45.100 Найден прибор MODBUS\r\n");
  EXPECT_EQ(found, "17:30:45.219 [COM5:9600,ModbusRTU,17]: прибор найден");
  TSearchAttempt held = Port;
  held.Address = 18;
  const std::vector<std::string> failed =
      recorder.SearchError(Time, held, "Ошибка открытия порта",
                           "Порт COM5 используется другой программой", "a\r\nb\r\n");
  EXPECT_THAT(failed, ElementsAre("17:30:45.219 [COM5:9600,ModbusRTU,18]: Ошибка открытия порта",
                                  "17:30:45.219 [COM5:9600,ModbusRTU,18]: Порт COM5 используется "
                                  "другой программой"));
  // A device found after the error line of its own attempt: that line carried the log.
  TDeviceInfo other;
  other.Address = 18;
  other.OtherMaker = true;
  const std::string after = recorder.DeviceFound(Time, held, other, std::string());
  // Without attempt logs the lines still go to the result log.
  recorder.SetSaveAttemptLogs(false);
  TSearchAttempt silent = Port;
  silent.Address = 19;
  const std::vector<std::string> timeout =
      recorder.SearchError(Time, silent, "Нет ответа", "", "c\r\n");
  const std::string ended = recorder.RunError(Time, "[EOSError] disk");
  recorder.Flush();

  EXPECT_THAT(LinesOf(platform::PathOfUtf8(recorder.ResultLogPath())),
              ElementsAre(found, failed[0], failed[1], after, timeout[0], ended));
  EXPECT_EQ(ended, "17:30:45.219 Поиск прерван ошибкой: [EOSError] disk");
  EXPECT_THAT(FileNames(), ElementsAre("173045_219_COM5_9600_ModbusRTU_17.log",
                                       "173045_219_COM5_9600_ModbusRTU_18.log",
                                       "173045_219__результаты_поиска.log"));
  EXPECT_THAT(LinesOf(Folder / "173045_219_COM5_9600_ModbusRTU_17.log"),
              ElementsAre("17:30:45.100 Найден прибор MODBUS"));
  EXPECT_THAT(LinesOf(Folder / "173045_219_COM5_9600_ModbusRTU_18.log"), ElementsAre("a", "b"));
  EXPECT_FALSE(recorder.ResultLogIncomplete());
}

TEST_F(SearchRecorder, WithoutAFolderTheLogsGoToTheApplicationLogsDayFolder) {
  TSearchRecorder recorder;
  recorder.BeginSearch(Time);
  recorder.SetSaveAttemptLogs(true);
  const std::string day = GetAppLogFolder();
  ASSERT_FALSE(day.empty());
  EXPECT_EQ(recorder.ResultLogPath(), day + "173045_219__результаты_поиска.log");
  recorder.SearchError(Time, Port, "Нет ответа", "", "x\r\n");
  recorder.Flush();
  EXPECT_TRUE(
      fs::is_regular_file(platform::PathOfUtf8(day + "173045_219_COM5_9600_ModbusRTU_17.log")));
  EXPECT_TRUE(fs::is_regular_file(platform::PathOfUtf8(recorder.ResultLogPath())));
}

// A log that cannot be written (here a folder stands where its file would go) is told once per
// file, on the logger's thread; the search goes on, and the others are written.
TEST_F(SearchRecorder, AnUnwritableLogIsToldOncePerFile) {
  std::mutex lock;
  std::vector<std::pair<std::string, std::string>> told;
  auto recorder =
      std::make_unique<TSearchRecorder>([&](const std::string& Path, const std::string& Reason) {
        const std::lock_guard guard(lock);
        told.emplace_back(Path, Reason);
      });
  recorder->BeginSearch(Time, platform::Utf8OfPath(Folder));
  recorder->SetSaveAttemptLogs(true);
  const std::string attemptLog = platform::Utf8OfPath(Folder / AttemptLogFileName(Time, Port));
  fs::create_directory(platform::PathOfUtf8(attemptLog));
  recorder->SearchError(Time, Port, "Нет ответа", "", "x\r\n");
  recorder->Flush();
  EXPECT_FALSE(recorder->ResultLogIncomplete()) << "the result log was written";
  EXPECT_EQ(LinesOf(platform::PathOfUtf8(recorder->ResultLogPath())).size(), 1u);

  // The result log itself, several times: told once, and the search knows it is incomplete.
  const TDateTime later = EncodeDateTime(2026, 12, 7, 17, 31, 0, 0);
  fs::create_directory(Folder / platform::PathOfUtf8("173100_000__результаты_поиска.log"));
  recorder->BeginSearch(later, platform::Utf8OfPath(Folder));
  recorder->SetSaveAttemptLogs(false);
  for (int i = 0; i < 3; ++i) {
    recorder->SearchError(later, Port, "Нет ответа", "", "x\r\n");
    recorder->Flush();
  }
  recorder->RunError(later, "[EOSError] disk");
  recorder->Flush();
  EXPECT_TRUE(recorder->ResultLogIncomplete());
  {
    const std::lock_guard guard(lock);
    ASSERT_EQ(told.size(), 2u);
    EXPECT_EQ(told[0].first, attemptLog);
    EXPECT_EQ(told[1].first, recorder->ResultLogPath());
    EXPECT_FALSE(told[1].second.empty()) << "the reason";
  }

  // Once the recorder is gone nobody is told; its queued lines are still tried.
  recorder->SearchError(later, Port, "Нет ответа", "", "x\r\n");
  recorder.reset();
  FlushThreadLog();
  const std::lock_guard guard(lock);
  EXPECT_EQ(told.size(), 2u);
}

}  // namespace
}  // namespace probrix
