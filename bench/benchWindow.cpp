// The window under a flood of search events: 100,000 attempts (every tenth one finds a device,
// so rows and protocol lines) from a real search task whose searcher answers at once. Times
// each event the window handles, compares the first and the last tenth of the run (the lists
// are short, then long), reports the process's peak memory, and then times devices added to
// the results grid while it is sorted.

#include <stdlib.h>
#include <sys/resource.h>

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QTableView>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <vector>

#include "benchReport.h"
#include "foundation/appExceptions.h"
#include "foundation/appLogging.h"
#include "search/uFinderEngine.h"
#include "search/uFinderEngineTypes.h"
#include "ui/fMain.h"
#include "ui/fMainModels.h"
#include "ui/uApplication.h"
#include "ui_fMain.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace probrix {
namespace {

constexpr int Endpoints = 2;
constexpr int AttemptsPerEndpoint = 50000;
constexpr int Attempts = Endpoints * AttemptsPerEndpoint;
// The searcher stays at most this many results ahead of the window, so the event queue stays
// short and the peak memory is the window's own.
constexpr int MaxAhead = 64;

// Handled result events; the searcher waits on it.
std::mutex PaceLock;
std::condition_variable PaceChanged;
int Handled = 0;
int Posted = 0;

// Answers at once: every tenth address is a device, the rest time out. Writes a search log of
// the usual length, as a real attempt does.
class TInstantSearcher : public IDeviceSearcher {
 public:
  ILogStrings* Log() const override { return Log_; }
  void SetLog(ILogStrings* Value) override { Log_ = Value; }
  std::int32_t ReadTimeout() const override { return 0; }
  void SetReadTimeout(std::int32_t) override {}
  std::int32_t RequestRetryCount() const override { return 1; }
  void SetRequestRetryCount(std::int32_t) override {}
  std::int32_t StartOfPacketReadTimeout() const override { return 0; }
  void SetStartOfPacketReadTimeout(std::int32_t) override {}

  void Search(std::uint8_t Address, TDeviceInfo& Info) override {
    {
      std::unique_lock lock(PaceLock);
      PaceChanged.wait(lock, [] { return Posted - Handled < MaxAhead; });
      ++Posted;
    }
    const TDateTime now = NowDateTime();
    Log_->AddFmt("Попытка %d поиска прибора MODBUS с адресом %d...", {1, Address}, now);
    Log_->Add("--q> (size=6) 11 03 03 E8 00 0A  (modbus request body)", now);
    Log_->Add("---> (size=12) 00 01 00 00 00 06 11 03 03 E8 00 0A  (ExecutionTime=0 ms)", now);
    Log_->Add("<--- Запрошена операция чтения данных", now);
    if (++Count_ % 10 == 0) {
      Log_->Add(
          "<--- (size=29) 00 01 00 00 00 17 11 03 14 00 10 00 D7 00 00 00 00 00 00 00 00 "
          "00 00 00 00 10 E1 00 00 (WaitHeaderTime=1 ms, WaitEndOfPacketTime=1 ms)",
          now);
      Info = TDeviceInfo{};
      Info.Address = Address;
      Info.DeviceType = 16;
      Info.FirmwareVersion = 215;
      Info.SerialNumber = 4321;
      return;
    }
    throw EReadSOHTimeoutError::Create("Истек таймаут ожидания начала пакета (200 ms).");
  }

 private:
  ILogStrings* Log_ = nullptr;
  int Count_ = 0;
};

struct TSample {
  int Type;
  double Us;
};

// The window with a stopwatch around its event handler.
class TTimedWindow : public TfrmMain {
 public:
  using TfrmMain::TfrmMain;
  std::vector<TSample> Samples;
  std::vector<Clock::time_point> ResultTimes;  // when each result event was handled

 protected:
  bool event(QEvent* Event) override {
    const int type = static_cast<int>(Event->type());
    if (type != msgProgressChanged && type != msgDeviceFound && type != msgSearchError)
      return TfrmMain::event(Event);
    const auto t0 = Clock::now();
    const bool result = TfrmMain::event(Event);
    const auto t1 = Clock::now();
    Samples.push_back({type, std::chrono::duration<double, std::micro>(t1 - t0).count()});
    if (type != msgProgressChanged) {
      ResultTimes.push_back(t1);
      {
        std::lock_guard guard(PaceLock);
        ++Handled;
      }
      PaceChanged.notify_one();
    }
    return result;
  }
};

long PeakRssKb() {
  rusage u{};
  ::getrusage(RUSAGE_SELF, &u);
  return u.ru_maxrss;
}

}  // namespace
}  // namespace probrix

int main(int argc, char** argv) {
  using namespace probrix;
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  TProbrixApplication application(argc, argv);
  const std::string folder = bench::StartLoggingInTemporaryFolder("probrix-bench-ui");
  if (folder.empty()) return 2;
  ::unsetenv("PROBRIX_EXTRA_PORTS");

  SetDeviceSearcherFactory([](const std::string&, std::int32_t, TDeviceProtocol,
                              TConnectionType) -> std::unique_ptr<IDeviceSearcher> {
    return std::make_unique<TInstantSearcher>();
  });

  // Two endpoints, Modbus TCP only, 50,000 addresses each ("0-255" repeated).
  const fs::path ini = fs::path(folder) / "probrix.ini";
  {
    std::ofstream out(ini, std::ios::binary);
    out << "[SearchParams]\r\nTCPConnections=\"127.0.0.1:1502=1,127.0.0.2:1502=1\"\r\n";
  }
  std::string addresses;
  int listed = 0;
  while (listed + 256 <= AttemptsPerEndpoint) {
    addresses += "0-255,";
    listed += 256;
  }
  addresses += "0-" + std::to_string(AttemptsPerEndpoint - listed - 1);

  const long rssBefore = PeakRssKb();
  TTimedWindow window(nullptr, ini.string());
  auto& f = *window.Form();
  for (QListWidget* list : {f.clbSerialPorts})
    for (int i = 0; i < list->count(); ++i) list->item(i)->setCheckState(Qt::Unchecked);
  f.cbOrvatbus->setChecked(false);
  f.cbOrvatAscii->setChecked(false);
  f.cbModbusRTU->setChecked(false);
  f.cbModbusTCP->setChecked(true);
  f.edModbusAddresses->setText(QString::fromStdString(addresses));
  window.show();
  application.processEvents();
  const long rssShown = PeakRssKb();

  window.Samples.reserve(2 * Attempts + 16);
  window.ResultTimes.reserve(Attempts + 16);
  const auto t0 = Clock::now();
  window.StartSearch();
  const auto deadline = t0 + std::chrono::minutes(5);
  while (f.LProgress->text() != "Поиск завершен" && Clock::now() < deadline)
    application.processEvents(QEventLoop::WaitForMoreEvents, 50);
  const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
  const long rssPeak = PeakRssKb();
  const int rows = window.FoundDevices()->rowCount();
  const int lines = window.SearchProtocol()->rowCount();

  std::vector<double> results, progress, first, last;
  const std::size_t tenth = static_cast<std::size_t>(Attempts / 10);
  std::size_t index = 0;
  for (const TSample& s : window.Samples) {
    if (s.Type == msgProgressChanged) {
      progress.push_back(s.Us);
      continue;
    }
    results.push_back(s.Us);
    if (index < tenth) first.push_back(s.Us);
    if (index >= static_cast<std::size_t>(Attempts) - tenth) last.push_back(s.Us);
    ++index;
  }
  // Wall time per result over each tenth (painting and everything else included).
  double firstWall = 0, lastWall = 0;
  const auto& times = window.ResultTimes;
  if (times.size() == static_cast<std::size_t>(Attempts)) {
    firstWall = std::chrono::duration<double, std::micro>(times[tenth - 1] - times[0]).count() /
                static_cast<double>(tenth - 1);
    lastWall = std::chrono::duration<double, std::micro>(times.back() - times[times.size() - tenth])
                   .count() /
               static_cast<double>(tenth - 1);
  }

  const bool complete = rows == Attempts / 10 && lines == Attempts;
  const double median = bench::Median(results), worst = bench::Quantile(results, 1.0);
  const double firstMedian = bench::Median(first), lastMedian = bench::Median(last);
  using bench::Fixed;
  bench::Result("window: time per search event, median / worst (100,000 rows and lines)",
                Fixed(median * 1e-3, 3) + " / " + Fixed(worst * 1e-3, 1) + " ms",
                "median <= 0.2 ms", complete && median <= 200,
                std::to_string(rows) + " rows, " + std::to_string(lines) + " protocol lines in " +
                    Fixed(wall, 1) + " s; progress events: median " +
                    Fixed(bench::Median(progress) * 1e-3, 3) + " ms" +
                    (complete ? "" : "; NOT every event arrived"));
  // Growth: the last tenth may cost at most half as much again as the first.
  const bool flat = lastMedian <= 1.5 * firstMedian + 5 && lastWall <= 1.5 * firstWall + 5;
  bench::Result("window: per-event time, first 10% vs last 10% of the lists",
                Fixed(firstMedian, 1) + " µs vs " + Fixed(lastMedian, 1) + " µs",
                "no growth with the list's length", flat,
                "wall per event incl. painting: " + Fixed(firstWall, 1) + " µs vs " +
                    Fixed(lastWall, 1) + " µs");
  bench::Result("window: peak memory", Fixed(rssPeak / 1024.0, 1) + " MiB", "report", true,
                "window shown: " + Fixed(rssShown / 1024.0, 1) + " MiB; before the window: " +
                    Fixed(rssBefore / 1024.0, 1) + " MiB; growth per line " +
                    Fixed((rssPeak - rssShown) * 1024.0 / Attempts, 0) + " bytes");

  // Devices found while the grid is sorted go to their place: a binary search on the sorted
  // column (texts compared naturally) and an insertion in the middle of the view.
  f.dbgrFoundDevices->sortByColumn(TFoundDevicesModel::fldConnectionString, Qt::DescendingOrder);
  constexpr int SortedRows = 10000;
  std::vector<double> sorted;
  sorted.reserve(SortedRows);
  for (int i = 0; i < SortedRows; ++i) {
    TFoundDeviceRow row{
        i % 248, "127.0.0." + std::to_string(i % 250) + ":1502", 1, "ModbusTCP", "R4748", 4321,
        "2.15"};
    const auto s0 = Clock::now();
    window.FoundDevices()->Append(std::move(row));
    sorted.push_back(std::chrono::duration<double, std::micro>(Clock::now() - s0).count());
    if (i % 64 == 0) application.processEvents();  // painting, as a stream of events allows
  }
  const double sortedMedian = bench::Median(sorted);
  bench::Result(
      "window: a found device into the sorted table, median / worst",
      Fixed(sortedMedian * 1e-3, 3) + " / " + Fixed(bench::Quantile(sorted, 1.0) * 1e-3, 1) + " ms",
      "median <= 0.2 ms", sortedMedian <= 200,
      std::to_string(SortedRows) + " rows added to " + std::to_string(rows) +
          ", sorted by connection, descending");

  window.close();
  SetDeviceSearcherFactory({});
  FinalizeLogging();
  std::error_code ignored;
  fs::remove_all(folder, ignored);
  return complete ? 0 : 1;
}
