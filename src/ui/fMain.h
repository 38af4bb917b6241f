#pragma once

// The main window: the search parameters and their settings file, running a search on the
// search task's worker thread, and showing its progress, found devices and protocol lines.

#include <QWidget>
#include <memory>
#include <string>
#include <vector>

#include "foundation/appLogging.h"
#include "search/uFinderEngine.h"
#include "search/uSearchParams.h"
#include "search/uSearchRecorder.h"
#include "search/uSearchReport.h"

class QListWidget;
class QMenu;

namespace Ui {
class TfrmMain;
}

namespace probrix {

class TFoundDevicesModel;
class TSearchProtocolModel;

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
  void HandleDeviceFound(const TDeviceFoundEventArgs& Args);
  void HandleSearchError(const TSearchErrorEventArgs& Args);
  void HandleSearchFinished(bool Aborted);
  // The sweep of the plan's address ranges: its progress in the label, and one protocol line
  // (and result log line) for each address that accepted no connection.
  void HandleSweepProgress(const TSweepProgress& Progress);
  void HandleSweepMiss(const TSweepMiss& Miss);
  // Frees the task, whose worker has ended, and restores the buttons.
  void FinishSearch();
  // A line of the protocol list (the recorder has logged what goes to a log).
  void ShowProtocolLine(const std::string& Line);
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
  bool Closing_ = false;       // a close request is being answered
  bool CloseAllowed_ = false;  // FormClose ran; the window may go
};

}  // namespace probrix
