// The main window: its controls and how they answer the operator, starting and stopping a
// search. The settings mapping (fMainSettings.cpp), the search events (fMainSearchEvents.cpp) and
// the export of results (fMainExport.cpp) are files of their own.

#include "ui/fMain.h"

#include <QCloseEvent>
#include <QDesktopServices>
#include <QDir>
#include <QFontMetrics>
#include <QHeaderView>
#include <QKeyEvent>
#include <QMenu>
#include <QScrollBar>
#include <QTabBar>
#include <QTimer>
#include <QUrl>
#include <algorithm>
#include <utility>

#include "connections/uSerialPort.h"
#include "foundation/appDateTime.h"
#include "foundation/appLogging.h"
#include "foundation/appSysUtils.h"
#include "search/uSearchReport.h"
#include "ui/fMainModels.h"
#include "ui/fMainViews.h"
#include "ui/fQuestionBox.h"
#include "ui/fTCPConnectionProps.h"
#include "ui/uApplication.h"
#include "ui_fMain.h"

namespace probrix {

namespace {

constexpr int ClientWidth = 715;
constexpr int ClientHeight = 582;

QListWidgetItem* SelectedItem(const QListWidget* List) {
  QListWidgetItem* item = List->currentItem();
  return item != nullptr && item->isSelected() ? item : nullptr;
}

}  // namespace

TfrmMain::TfrmMain(QWidget* Parent, std::string IniFileName)
    : QWidget(Parent),
      Ui_(std::make_unique<Ui::TfrmMain>()),
      IniFileName_(std::move(IniFileName)),
      // Told on the logger's thread, while the window exists, once per file.
      Recorder_(std::make_unique<TSearchRecorder>(
          [this](const std::string& Path, const std::string& Reason) {
            PostLogWriteFailed(Path, Reason);
          })) {
  if (IniFileName_.empty()) IniFileName_ = AppIniFileName();
  Ui_->setupUi(this);
  auto& f = *Ui_;
  // The designed size is the least and the first one; the results take any extra room.
  setWindowFlags(Qt::Window);
  setMinimumSize(ClientWidth, ClientHeight);
  resize(ClientWidth, ClientHeight);

  FoundDevices_ = new TFoundDevicesModel(this);
  SearchProtocol_ = new TSearchProtocolModel(this);
  f.dbgrFoundDevices->setModel(FoundDevices_);
  f.lbSearchProtocol->setModel(SearchProtocol_);
  QHeaderView* rows = f.dbgrFoundDevices->verticalHeader();
  rows->hide();
  rows->setSectionResizeMode(QHeaderView::Fixed);
  rows->setDefaultSectionSize(f.dbgrFoundDevices->fontMetrics().height() + 6);
  // Each column is at least as wide as its designed width and its title, and grows with its
  // contents as rows arrive; the sorted column also makes room for the sort mark.
  QHeaderView* columns = f.dbgrFoundDevices->horizontalHeader();
  columns->setHighlightSections(false);
  for (int c = 0; c < TFoundDevicesModel::FieldCount; ++c)
    columns->resizeSection(
        c, std::max(TFoundDevicesModel::ColumnWidth(c), columns->sectionSizeHint(c)));
  columns->setStretchLastSection(true);
  // Rows stay in the order found until a title is clicked.
  columns->setSortIndicator(-1, Qt::AscendingOrder);
  f.dbgrFoundDevices->setSortingEnabled(true);
  connect(columns, &QHeaderView::sortIndicatorChanged, this, [columns](int Column, Qt::SortOrder) {
    if (Column >= 0 && columns->sectionSize(Column) < columns->sectionSizeHint(Column))
      columns->resizeSection(Column, columns->sectionSizeHint(Column));
  });
  connect(FoundDevices_, &QAbstractItemModel::rowsInserted, this,
          [this](const QModelIndex&, int First, int Last) {
            FitColumnsToRows(First, Last);
            ShowFoundDevicesCount();
          });
  connect(FoundDevices_, &QAbstractItemModel::modelReset, this,
          [this] { ShowFoundDevicesCount(); });
  f.acCopyFoundDevices->setShortcut(QKeySequence::Copy);
  f.acCopyFoundDevices->setShortcutContext(Qt::WidgetWithChildrenShortcut);
  f.dbgrFoundDevices->addActions({f.acCopyFoundDevices, f.acSaveFoundDevices});

  // Long port paths and endpoint names are elided in the middle, keeping the device name; the
  // tool tip holds the whole text.
  for (QListWidget* list : {f.clbSerialPorts, f.clbBaudRates, f.clbTCPEndpoints}) {
    list->setItemDelegate(new TViewportWideDelegate(list));
    list->setTextElideMode(Qt::ElideMiddle);
  }

  // The right-hand column is as wide as its widest button; long progress texts are elided.
  const QFontMetrics bold(f.LProgress->font());
  const int column = std::max(
      {f.btnStartSearch->sizeHint().width(), f.btnStopSearch->sizeHint().width(),
       f.btnShowLogFolders->sizeHint().width(), bold.horizontalAdvance("Протокол: OrvatASCII") + 4,
       bold.horizontalAdvance("255.255.255.255:65535") + 4});
  for (QWidget* w : std::initializer_list<QWidget*>{f.btnStartSearch, f.btnStopSearch, f.LProgress,
                                                    f.LFoundDevices, f.btnShowLogFolders})
    w->setFixedWidth(column);
  f.LProgress->setFixedHeight(3 * f.LProgress->fontMetrics().lineSpacing() + 4);
  // The logs-folder button keeps its room while hidden, so nothing around it moves.
  QSizePolicy keepRoom = f.btnShowLogFolders->sizePolicy();
  keepRoom.setRetainSizeWhenHidden(true);
  f.btnShowLogFolders->setSizePolicy(keepRoom);

  pmCheckListBox_ = new QMenu(this);
  pmCheckListBox_->setObjectName("pmCheckListBox");
  pmCheckListBox_->addAction(f.miSelectAll);
  pmCheckListBox_->addAction(f.miDeselectAll);
  pmCheckListBox_->addAction(f.miInvertSelection);
  f.btnAddTCPEndpoint->setDefaultAction(f.acAddTCPEndpoint);
  f.btnDeleteTCPEndpoint->setDefaultAction(f.acDelTCPEndpoint);
  f.btnEditTCPEndpoint->setDefaultAction(f.acEditTCPEndpoint);

  auto bind = [this](auto* Sender, auto Signal, auto Handler) {
    connect(Sender, Signal, this,
            [this, Handler] { RunHandler([this, Handler] { (this->*Handler)(); }); });
  };
  bind(f.btnStartSearch, &QPushButton::clicked, &TfrmMain::btnStartSearchClick);
  bind(f.btnStopSearch, &QPushButton::clicked, &TfrmMain::btnStopSearchClick);
  bind(f.btnShowLogFolders, &QPushButton::clicked, &TfrmMain::btnShowLogFoldersClick);
  bind(f.btnRefreshSerialPortList, &QPushButton::clicked, &TfrmMain::btnRefreshSerialPortListClick);
  bind(f.cbOrvatbus, &QCheckBox::toggled, &TfrmMain::cbOrvatbusClick);
  bind(f.cbSearchSingleOrvatbusDevice, &QCheckBox::toggled,
       &TfrmMain::cbSearchSingleOrvatbusDeviceClick);
  bind(f.cbModbusRTU, &QCheckBox::toggled, &TfrmMain::cbModbusClick);
  bind(f.cbModbusTCP, &QCheckBox::toggled, &TfrmMain::cbModbusClick);
  bind(f.miSelectAll, &QAction::triggered, &TfrmMain::miSelectAllClick);
  bind(f.miDeselectAll, &QAction::triggered, &TfrmMain::miDeselectAllClick);
  bind(f.miInvertSelection, &QAction::triggered, &TfrmMain::InvertSelectionClick);
  bind(f.acAddTCPEndpoint, &QAction::triggered, &TfrmMain::acAddTCPEndpointExecute);
  bind(f.acDelTCPEndpoint, &QAction::triggered, &TfrmMain::acDelTCPEndpointExecute);
  bind(f.acEditTCPEndpoint, &QAction::triggered, &TfrmMain::acEditTCPEndpointExecute);
  bind(f.acCopyFoundDevices, &QAction::triggered, &TfrmMain::acCopyFoundDevicesExecute);
  bind(f.acSaveFoundDevices, &QAction::triggered, &TfrmMain::acSaveFoundDevicesExecute);
  bind(f.clbTCPEndpoints, &QListWidget::itemSelectionChanged, &TfrmMain::acDelTCPEndpointUpdate);
  bind(f.clbTCPEndpoints, &QListWidget::itemSelectionChanged, &TfrmMain::acEditTCPEndpointUpdate);
  for (QListWidget* list : {f.clbSerialPorts, f.clbBaudRates, f.clbTCPEndpoints}) {
    connect(list, &QWidget::customContextMenuRequested, this, [this, list](const QPoint& At) {
      RunHandler([&] { PopupCheckListMenu(list, list->viewport()->mapToGlobal(At)); });
    });
  }
  f.edOrvatbusAddresses->installEventFilter(this);
  // Attempt logs follow the check box, during a search as well.
  connect(f.cbSaveSearchLogs, &QCheckBox::toggled, this,
          [this](bool Checked) { Recorder_->SetSaveAttemptLogs(Checked); });

  SetUpKeyboard();
  SetUpAttemptFrames();
  tmrSearchTime_ = new QTimer(this);
  tmrSearchTime_->setInterval(1000);
  connect(tmrSearchTime_, &QTimer::timeout, this, [this] { ShowSearchTime(); });

  FormCreate();

  // The baud rates are a fixed list: show all of them without scrolling. The port and endpoint
  // lists take the height their columns leave, at least four lines.
  QListWidget* bauds = f.clbBaudRates;
  const int line = bauds->sizeHintForRow(0), frame = 2 * bauds->frameWidth() + 2;
  bauds->setFixedHeight(line * bauds->count() + frame);
  f.clbLineFormats->setFixedHeight(line * f.clbLineFormats->count() + frame);
  for (QListWidget* list : {f.clbSerialPorts, f.clbTCPEndpoints})
    list->setMinimumHeight(4 * line + frame);
  f.laySearchParams->setStretch(2, 1);
  // A larger font may need more than the designed size.
  setMinimumSize(minimumSize().expandedTo(layout()->minimumSize()));
  resize(size().expandedTo(minimumSize()));
}

TfrmMain::~TfrmMain() {
  // No more warnings of unwritable logs are posted to the window.
  Recorder_.reset();
  // The task's destructor cancels the attempt in progress and waits for its worker, which ends
  // within milliseconds; events it posts meanwhile go with the window.
  Task_.reset();
}

void TfrmMain::FormCreate() {
  auto& f = *Ui_;
  // 1. The application title is the caption; the placement is read with the settings.
  setWindowTitle(QString::fromUtf8(ApplicationTitle));
  // 2. The results area shows its one page without tabs.
  f.LProgress->clear();
  f.pcResults->setTabVisible(f.pcResults->indexOf(f.tsSearchProtocol), false);
  f.pcResults->setCurrentWidget(f.tsFoundDevices);
  f.pcResults->tabBar()->hide();
  f.pcResults->setDocumentMode(true);
  SearchProtocol_->Clear();
  ShowFoundDevicesCount();
  f.btnStartSearch->setEnabled(true);
  f.btnStopSearch->setEnabled(false);
  f.btnShowLogFolders->hide();
  // 3. Ports.
  RefreshSerialPortList();
  // 4. Baud rates.
  f.clbBaudRates->clear();
  for (int baud : BaudRateChoices)
    AddCheckItem(f.clbBaudRates, IntToStr(baud), baud == 9600 || baud == 115200);
  // 4a. Line formats: the window's four, 8N1 ticked (the settings may add 8E2 or 8O2).
  f.clbLineFormats->clear();
  for (std::size_t i = 0; i < WindowLineFormatCount; ++i)
    AddCheckItem(f.clbLineFormats, LineFormatName(SearchLineFormats[i]),
                 SearchLineFormats[i] == DefaultLineFormat);
  // 5. Protocols.
  f.cbOrvatbus->setChecked(true);
  f.cbSearchSingleOrvatbusDevice->setChecked(true);
  f.edOrvatbusAddresses->setText(QString::fromUtf8(DefaultOrvatbusAddresses));
  f.cbModbusRTU->setChecked(false);
  f.edModbusAddresses->setText(QString::fromUtf8(DefaultModbusAddresses));
  f.cbOrvatAscii->setChecked(true);
  cbOrvatbusClick();
  cbModbusClick();
  acDelTCPEndpointUpdate();
  acEditTCPEndpointUpdate();
  // 6. Settings.
  LoadSettings();
}

void TfrmMain::RefreshSerialPortList() {
  QListWidget* list = Ui_->clbSerialPorts;
  const TCheckItems before = CheckItems(list);
  std::vector<std::string> names;
  TSerialPort::GetPortNames(names);
  list->clear();
  for (const std::string& name : names) {
    bool checked = true;  // a new port is checked
    for (const auto& [text, state] : before) {
      if (text == name) {
        checked = state;
        break;
      }
    }
    AddCheckItem(list, name, checked);
    // USB adapters are told apart by maker, product and serial number; other ports by name.
    const std::string about = PortDescriptionText(TSerialPort::DescribePort(name));
    if (!about.empty())
      list->item(list->count() - 1)
          ->setToolTip(QString::fromStdString(SafeLogText(name) + "\n" + SafeLogText(about)));
  }
}

bool TfrmMain::edAddressesKeyPress(QKeyEvent* Key) {
  // Keys that carry no character (arrows, Delete, Tab, editing shortcuts) are not typing.
  if (Key->key() == Qt::Key_Backspace || Key->key() == Qt::Key_Delete) return false;
  if (Key->modifiers() & (Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier)) return false;
  const QString text = Key->text();
  if (text.isEmpty() ||
      (text.size() == 1 && (text[0].unicode() < 0x20 || text[0].unicode() == 0x7F)))
    return false;
  if (text.size() == 1) {
    const char16_t c = text[0].unicode();
    if ((c >= u'0' && c <= u'9') || c == u',' || c == u'-') return false;
    if (c == u'.') {
      Ui_->edOrvatbusAddresses->insert(",");
      return true;
    }
  }
  return true;  // any other character is dropped
}

bool TfrmMain::eventFilter(QObject* Watched, QEvent* Event) {
  if (Watched == Ui_->edOrvatbusAddresses && Event->type() == QEvent::KeyPress) {
    bool consumed = false;
    RunHandler([&] { consumed = edAddressesKeyPress(static_cast<QKeyEvent*>(Event)); });
    return consumed;
  }
  return QWidget::eventFilter(Watched, Event);
}

void TfrmMain::cbOrvatbusClick() {
  auto& f = *Ui_;
  f.cbSearchSingleOrvatbusDevice->setEnabled(f.cbOrvatbus->isChecked());
  cbSearchSingleOrvatbusDeviceClick();
}

void TfrmMain::cbSearchSingleOrvatbusDeviceClick() {
  auto& f = *Ui_;
  f.edOrvatbusAddresses->setEnabled(f.cbOrvatbus->isChecked() &&
                                    !f.cbSearchSingleOrvatbusDevice->isChecked());
}

void TfrmMain::cbModbusClick() {
  auto& f = *Ui_;
  f.edModbusAddresses->setEnabled(f.cbModbusRTU->isChecked() || f.cbModbusTCP->isChecked());
}

void TfrmMain::PopupCheckListMenu(QListWidget* List, const QPoint& GlobalPos) {
  auto& f = *Ui_;
  const bool ours = List == f.clbSerialPorts || List == f.clbBaudRates || List == f.clbTCPEndpoints;
  PopupComponent_ = ours ? List : nullptr;
  pmCheckListBox_->popup(GlobalPos);
}

void TfrmMain::miSelectAllClick() {
  if (PopupComponent_ == nullptr) return;
  for (int i = 0; i < PopupComponent_->count(); ++i)
    PopupComponent_->item(i)->setCheckState(Qt::Checked);
}

void TfrmMain::miDeselectAllClick() {
  if (PopupComponent_ == nullptr) return;
  for (int i = 0; i < PopupComponent_->count(); ++i)
    PopupComponent_->item(i)->setCheckState(Qt::Unchecked);
}

void TfrmMain::InvertSelectionClick() {
  if (PopupComponent_ == nullptr) return;
  for (int i = 0; i < PopupComponent_->count(); ++i) {
    QListWidgetItem* item = PopupComponent_->item(i);
    item->setCheckState(item->checkState() == Qt::Checked ? Qt::Unchecked : Qt::Checked);
  }
}

void TfrmMain::acAddTCPEndpointExecute() {
  QListWidget* list = Ui_->clbTCPEndpoints;
  TfrmTCPConnectionProps dialog(this);
  if (list->count() > 0) {
    // Propose the address after the last endpoint, with its port.
    dialog.SetEndpointText(list->item(list->count() - 1)->text().toStdString());
    dialog.StepAddress(+1);
  }
  if (dialog.Execute()) AddCheckItem(list, dialog.EndpointText(), false);
}

void TfrmMain::acDelTCPEndpointExecute() {
  if (QListWidgetItem* item = SelectedItem(Ui_->clbTCPEndpoints)) delete item;
  acDelTCPEndpointUpdate();
  acEditTCPEndpointUpdate();
}

void TfrmMain::acEditTCPEndpointExecute() {
  QListWidgetItem* item = SelectedItem(Ui_->clbTCPEndpoints);
  if (item == nullptr) return;
  TfrmTCPConnectionProps dialog(this);
  dialog.SetEndpointText(item->text().toStdString());
  if (dialog.Execute()) {
    item->setText(QString::fromStdString(dialog.EndpointText()));
    item->setToolTip(item->text());
  }
}

void TfrmMain::acDelTCPEndpointUpdate() {
  Ui_->acDelTCPEndpoint->setEnabled(SelectedItem(Ui_->clbTCPEndpoints) != nullptr);
}

void TfrmMain::acEditTCPEndpointUpdate() {
  Ui_->acEditTCPEndpoint->setEnabled(SelectedItem(Ui_->clbTCPEndpoints) != nullptr);
}

// --- Closing ----------------------------------------------------------------------------

bool TfrmMain::FormCloseQuery() {
  // A search that is already stopping is not asked about again.
  if (Task_ == nullptr || Task_->Aborted()) return true;
  if (Closing_) return false;  // the question is already open
  Closing_ = true;
  const std::uint8_t answer =
      ShowQuestion("Завершеие работы", "Прервать поиск и выйти из програмы?", this, true,
                   TQuestionPosition::poOwnerFormCenter);
  Closing_ = false;
  return answer == qaYes;
}

void TfrmMain::FormClose() {
  StopSearch();
  SaveSettings();
}

void TfrmMain::closeEvent(QCloseEvent* Event) {
  bool allowed = false;
  RunHandler([&] { allowed = FormCloseQuery(); });
  if (!allowed) {
    Event->ignore();
    return;
  }
  // A failure to save the settings is shown, and the window still closes.
  RunHandler([this] { FormClose(); });
  Event->accept();
}

// --- Running a search -------------------------------------------------------------------

void TfrmMain::StartSearch() {
  auto& f = *Ui_;
  // The plan is checked before anything changes: a refused start leaves the results, the
  // protocol and the label as they were, and puts the focus on the field at fault.
  const TSearchChoice choice = CurrentChoice();
  auto task = std::make_unique<TSearchDevicesTask>();
  try {
    FillSearchPlan(*task, choice);
  } catch (...) {
    FocusFieldAtFault(choice);
    throw;
  }
  const TPlanAttempts plan = CountPlanAttempts(*task);
  if (!ConfirmLongSearch(plan)) return;

  // The focus goes to the stop button before the start button is disabled under it.
  f.btnStopSearch->setEnabled(true);
  f.btnStopSearch->setFocus(Qt::OtherFocusReason);
  f.btnStartSearch->setEnabled(false);
  SearchProtocol_->Clear();
  FoundDevices_->Clear();
  Traffic_.Clear();
  ShowAttemptFrames();
  f.btnShowLogFolders->hide();
  LockParameters(true);
  SearchStarted_ = NowDateTime();
  Searched_ = true;
  Recorder_->SetSaveAttemptLogs(f.cbSaveSearchLogs->isChecked());
  Recorder_->BeginSearch(SearchStarted_);

  Task_ = std::move(task);
  // The window keeps the traffic of recent attempts in memory, logged to files or not.
  Task_->LogTraffic = true;
  AttachTaskHandlers(*Task_);
  BeginProgress(plan);
  Task_->Start();
}

void TfrmMain::StopSearch() {
  if (Task_ == nullptr) return;
  // The task cancels its attempt and ends in the background; the window goes on and frees it
  // when the finished event arrives (FinishSearch). Until then neither button applies.
  Task_->Stop();
  auto& f = *Ui_;
  // Disabling the focused stop button moves the focus on; it comes back to the start button.
  FocusToStart_ = FocusToStart_ || f.btnStopSearch->hasFocus();
  f.btnStartSearch->setEnabled(false);
  f.btnStopSearch->setEnabled(false);
  SetProgressText("Поиск остановлен");
}

void TfrmMain::FinishSearch() {
  Task_.reset();  // its worker has ended (or never started): nothing to wait for
  Recorder_->EndSearch();
  auto& f = *Ui_;
  const bool hadFocus = std::exchange(FocusToStart_, false) || focusWidget() == f.btnStopSearch ||
                        focusWidget() == f.btnStartSearch;
  f.btnStartSearch->setEnabled(true);
  f.btnStopSearch->setEnabled(false);
  f.btnShowLogFolders->setVisible(f.cbSaveSearchLogs->isChecked());
  LockParameters(false);
  Progress_.Finished();
  tmrSearchTime_->stop();
  SearchTimeMs_ = SearchClock_.isValid() ? SearchClock_.elapsed() : 0;
  ShowProgress();
  ShowSearchTime();
  // Back to the start button, unless the operator has gone elsewhere meanwhile.
  if (hadFocus || focusWidget() == nullptr || !focusWidget()->isEnabled())
    f.btnStartSearch->setFocus(Qt::OtherFocusReason);
}

void TfrmMain::LockParameters(bool Locked) {
  auto& f = *Ui_;
  for (QWidget* w : std::initializer_list<QWidget*>{
           f.gbSerialPorts, f.gbBaudRates, f.pnLineFormats, f.gpTCPEndpoints, f.cbOrvatbus,
           f.cbSearchSingleOrvatbusDevice, f.lblOrvatbusAddresses, f.edOrvatbusAddresses,
           f.cbModbusRTU, f.cbModbusTCP, f.lblModbusAddresses, f.edModbusAddresses, f.cbOrvatAscii,
           f.lblStartOfPacketReadTimeout, f.seStartOfPacketReadTimeout,
           f.lblStartOfPacketReadTimeoutUnit, f.lblParallelConnections, f.seParallelConnections})
    w->setEnabled(!Locked);
  if (Locked) return;
  // The enabling rules of the protocol controls apply again.
  cbOrvatbusClick();
  cbModbusClick();
}

void TfrmMain::SetTrafficBounds(std::size_t MaxAttempts, std::size_t MaxBytes) {
  Traffic_ = TAttemptTrafficStore(MaxAttempts, MaxBytes);
}

void TfrmMain::btnStartSearchClick() { StartSearch(); }

void TfrmMain::btnStopSearchClick() { StopSearch(); }

void TfrmMain::btnShowLogFoldersClick() {
  std::string folder = GetAppLogFolder();
  if (folder.empty()) folder = QDir::currentPath().toStdString();
  // The desktop's file manager, started without a shell.
  if (!QDesktopServices::openUrl(QUrl::fromLocalFile(QString::fromStdString(folder))))
    throw EOSError::CreateFmt("Не удалось открыть папку %s", {folder});
}

void TfrmMain::SetProgressText(const std::string& Text) {
  QLabel* label = Ui_->LProgress;
  QString full = QString::fromStdString(Text);
  full.replace("\r\n", "\n");
  // A long port path would widen the column: each line is elided in the middle instead, and
  // the whole text stays in the tool tip.
  const QFontMetrics metrics(label->font());
  QStringList lines = full.split('\n');
  bool elided = false;
  for (QString& line : lines) {
    const QString shortLine = metrics.elidedText(line, Qt::ElideMiddle, label->width());
    elided = elided || shortLine != line;
    line = shortLine;
  }
  label->setText(lines.join('\n'));
  label->setToolTip(elided ? full : QString());
  label->setProperty("FullText", full);
}

void TfrmMain::ShowProtocolLine(const std::string& Line, TProtocolLineKind Kind,
                                std::uint64_t AttemptId) {
  TSearchProtocolView* view = Ui_->lbSearchProtocol;
  // The list follows the newest line while the operator is at its end: the last line current
  // (or none) and the list scrolled to the bottom.
  const int before = SearchProtocol_->rowCount();
  const QModelIndex current = view->currentIndex();
  const QScrollBar* bar = view->verticalScrollBar();
  const bool following =
      (!current.isValid() || current.row() == before - 1) && bar->value() >= bar->maximum();
  SearchProtocol_->Append(QString::fromStdString(Line), Kind, AttemptId);
  if (!following || SearchProtocol_->rowCount() == before) return;
  Following_ = true;
  view->setCurrentIndex(SearchProtocol_->index(SearchProtocol_->rowCount() - 1));
  view->scrollToBottom();
  Following_ = false;
}

// --- Found devices ----------------------------------------------------------------------

void TfrmMain::FitColumnsToRows(int First, int Last) {
  QTableView* grid = Ui_->dbgrFoundDevices;
  QHeaderView* columns = grid->horizontalHeader();
  const int gridLine = grid->showGrid() ? 1 : 0;
  for (int c = 0; c < TFoundDevicesModel::FieldCount; ++c) {
    int width = columns->sectionSize(c);
    for (int r = First; r <= Last; ++r)
      width =
          std::max(width, grid->sizeHintForIndex(FoundDevices_->index(r, c)).width() + gridLine);
    if (width > columns->sectionSize(c)) columns->resizeSection(c, width);
  }
}

void TfrmMain::ShowFoundDevicesCount() {
  Ui_->LFoundDevices->setText(
      QString::fromStdString(Format("Найдено приборов: %d", {FoundDevices_->rowCount()})));
}

}  // namespace probrix
