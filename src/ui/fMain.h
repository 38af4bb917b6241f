#pragma once

// The main window: the search parameters and their settings file, running a search on the
// search task's worker thread, and showing its progress, found devices and protocol lines.

#include <QElapsedTimer>
#include <QWidget>
#include <memory>
#include <string>
#include <vector>

#include "foundation/appLogging.h"
#include "search/uAttemptTraffic.h"
#include "search/uFinderEngine.h"
#include "search/uSearchParams.h"
#include "search/uSearchProgress.h"
#include "search/uSearchRecorder.h"
#include "search/uSearchReport.h"

class QListWidget;
class QMenu;
class QTimer;

namespace Ui {
class TfrmMain;
}

namespace probrix {

class TFoundDevicesModel;
class TSearchProtocolModel;
enum class TProtocolLineKind : std::uint8_t;

class TfrmMain : public QWidget {
  Q_OBJECT

 public:
  // IniFileName: the settings file; empty: AppIniFileName of the logging facility.
  explicit TfrmMain(QWidget* Parent = nullptr, std::string IniFileName = {});
  ~TfrmMain() override;

  Ui::TfrmMain* Form() const { return Ui_.get(); }
  TFoundDevicesModel* FoundDevices() const { return FoundDevices_; }
  TSearchProtocolModel* SearchProtocol() const { return SearchProtocol_; }
  QMenu* CheckListMenu() const { return pmCheckListBox_; }
  const std::string& IniFileName() const { return IniFileName_; }
  // The result log of the current (or last) search; empty before the first search.
  const std::string& ResultLogFileName() const { return Recorder_->ResultLogPath(); }
  // From the start of a search until its finished event (also while it is stopping).
  bool Searching() const { return Task_ != nullptr; }
  // The attempts of the current (or last) search as its events told them.
  const TSearchProgress& Progress() const { return Progress_; }
  // The traffic of the latest attempts, whether or not attempt logs are written.
  const TAttemptTrafficStore& Traffic() const { return Traffic_; }
  // Test hook: other bounds for the store (it is emptied).
  void SetTrafficBounds(std::size_t MaxAttempts, std::size_t MaxBytes);
  // The worst case beyond which a search is only started after the operator has agreed.
  static constexpr std::int64_t LongSearchMs = 10 * 60 * 1000;

  // The settings that have no control.
  int RequestRetryCount() const { return RequestRetryCount_; }
  int WritePacketTimeout() const { return WritePacketTimeout_; }

  void LoadSettings();
  void SaveSettings();
  void RefreshSerialPortList();

  void StartSearch();
  // Asks the running task to stop, disables both search buttons, shows "Поиск остановлен" and
  // returns at once; the task ends in the background and is freed when its finished event
  // arrives.
  void StopSearch();

  // The window's handlers, public so that tests drive them as the controls do.
  void btnStartSearchClick();
  void btnStopSearchClick();
  void btnShowLogFoldersClick();
  void btnRefreshSerialPortListClick() { RefreshSerialPortList(); }
  void cbOrvatbusClick();
  void cbSearchSingleOrvatbusDeviceClick();
  void cbModbusClick();
  // Opens the check-list menu for List (the list it was opened on; nullptr: another control).
  void PopupCheckListMenu(QListWidget* List, const QPoint& GlobalPos);
  void miSelectAllClick();
  void miDeselectAllClick();
  void InvertSelectionClick();
  void acAddTCPEndpointExecute();
  void acDelTCPEndpointExecute();
  void acEditTCPEndpointExecute();
  void acDelTCPEndpointUpdate();
  void acEditTCPEndpointUpdate();
  // The results grid's commands: the selected rows to the clipboard as tab-separated text,
  // the whole table to a CSV file chosen by the operator.
  void acCopyFoundDevicesExecute();
  void acSaveFoundDevicesExecute();
  // Writes the whole table as CSV (UTF-8 with a byte order mark, ';' separated); a failure
  // throws EInOutError and leaves an existing file as it was.
  void SaveFoundDevices(const std::string& FileName) const;
  // "найденные_приборы_2026-12-08_1530.csv": the date and time the results' search started
  // (now, before any search).
  std::string SuggestedCsvFileName() const;
  // The traffic pane: the attempt of the selected device or protocol line, read from memory.
  void ShowAttemptFrames();
  // The list on which the check-list menu was last opened (nullptr: none of the three).
  QListWidget* PopupComponent() const { return PopupComponent_; }
  void SetPopupComponent(QListWidget* List) { PopupComponent_ = List; }

 protected:
  bool event(QEvent* Event) override;
  void closeEvent(QCloseEvent* Event) override;
  bool eventFilter(QObject* Watched, QEvent* Event) override;

 private:
  void FormCreate();
  bool FormCloseQuery();
  void FormClose();
  // edAddressesKeyPress: true when the key is consumed.
  bool edAddressesKeyPress(QKeyEvent* Key);
  void SetProgressText(const std::string& Text);

  void HandleProgress(const TProgressChangedEventArgs& Args);
  // The attempt's log moves from the event to the traffic store.
  void HandleDeviceFound(TDeviceFoundEventArgs& Args);
  void HandleSearchError(TSearchErrorEventArgs& Args);
  void HandleSearchFinished(bool Aborted);
  // The sweep of the plan's address ranges: its progress in the label, and one protocol line
  // (and result log line) for each address that accepted no connection.
  void HandleSweepProgress(const TSweepProgress& Progress);
  void HandleSweepMiss(const TSweepMiss& Miss);
  // Frees the task, whose worker has ended, and restores the buttons.
  void FinishSearch();
  // A line of the protocol list (the recorder has logged what goes to a log). The list follows
  // the newest line unless the operator has selected an older one or scrolled up.
  void ShowProtocolLine(const std::string& Line, TProtocolLineKind Kind = {},
                        std::uint64_t AttemptId = 0);
  // Keys, mnemonics and the Tab order (fMainKeyboard.cpp).
  void SetUpKeyboard();
  // The focus to the control whose value refused the start.
  void FocusFieldAtFault(const TSearchChoice& Choice);
  // The parameters that do not apply to a running search are locked during it; the search
  // log switch, which applies at once, stays live.
  void LockParameters(bool Locked);
  // Progress over the plan's attempts (fMainProgress.cpp): the bar, the time, the label.
  // A plan whose worst case is long is started only when the operator says so.
  bool ConfirmLongSearch(const TPlanAttempts& Plan);
  void BeginProgress(const TPlanAttempts& Plan);
  void ShowProgress();
  void ShowSearchTime();
  // Which view the traffic pane follows: the one the operator selected in last.
  enum class TFramesSource : std::uint8_t { fsProtocol, fsFoundDevices };
  void SetUpAttemptFrames();
  void ScheduleAttemptFrames(TFramesSource Source, bool ByOperator);
  void ShowFramesText(const std::string& Title, const std::string& Text);
  // From the logger's thread: the window is told on its own thread.
  void PostLogWriteFailed(const std::string& Path, const std::string& Reason);
  void HandleLogWriteFailed(const std::string& Path, const std::string& Reason);
  void HandleRunError(const std::string& Error);
  void AttachTaskHandlers(TSearchDevicesTask& Task);
  void FitColumnsToRows(int First, int Last);
  void ShowFoundDevicesCount();
  // The selected rows of the grid, in the order shown.
  std::vector<int> SelectedFoundDevices() const;

  TSearchChoice CurrentChoice() const;
  // The ticked formats of "Формат линии", in the list's order.
  std::vector<TLineFormat> CheckedLineFormats() const;
  void LoadWindowPlacement(const TIniFile& Ini);
  void SaveWindowPlacement(TIniFile& Ini);

  std::unique_ptr<Ui::TfrmMain> Ui_;
  TFoundDevicesModel* FoundDevices_ = nullptr;  // children of the window
  TSearchProtocolModel* SearchProtocol_ = nullptr;
  QMenu* pmCheckListBox_ = nullptr;
  QListWidget* PopupComponent_ = nullptr;
  std::string IniFileName_;
  int RequestRetryCount_ = 1;
  int WritePacketTimeout_ = 100;
  std::unique_ptr<TSearchDevicesTask> Task_;
  // What the searches leave in files; it tells the window of a log that cannot be written.
  std::unique_ptr<TSearchRecorder> Recorder_;
  std::string CsvFolder_;      // where the last CSV file went
  TDateTime SearchStarted_{};  // of the results shown
  bool Searched_ = false;
  TSearchProgress Progress_;
  QElapsedTimer SearchClock_;
  QTimer* tmrSearchTime_ = nullptr;
  std::int64_t SearchTimeMs_ = 0;  // the last search's duration once it has ended
  TAttemptTrafficStore Traffic_;
  TFramesSource FramesSource_ = TFramesSource::fsProtocol;
  bool Following_ = false;     // the list selects its newest line itself
  bool FocusToStart_ = false;  // the stop button had the focus when it was pressed
  QTimer* tmrAttemptFrames_ = nullptr;
  bool Closing_ = false;       // a close request is being answered
  bool CloseAllowed_ = false;  // FormClose ran; the window may go
};

}  // namespace probrix
