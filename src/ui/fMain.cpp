#include "ui/fMain.h"

#include <QClipboard>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFileDialog>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QHeaderView>
#include <QKeyEvent>
#include <QMenu>
#include <QSaveFile>
#include <QScreen>
#include <QTabBar>
#include <QUrl>
#include <algorithm>
#include <mutex>
#include <numeric>

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

#if defined(__SANITIZE_THREAD__)
#include <sanitizer/tsan_interface.h>
#endif

namespace probrix {

namespace {

constexpr int kClientWidth = 715;
constexpr int kClientHeight = 582;

// The window's place and size live in the settings file beside the search parameters.
constexpr std::string_view kPlacementSection = "FormPlacement";

// Qt hands a posted event to the window's thread under its own locks, which ThreadSanitizer
// cannot see (Qt is not instrumented); these two calls tell it about the hand-over.
void AnnotateHandOver([[maybe_unused]] QEvent* Event) {
#if defined(__SANITIZE_THREAD__)
  __tsan_release(Event);
#endif
}

void AnnotateTakeOver([[maybe_unused]] QEvent* Event) {
#if defined(__SANITIZE_THREAD__)
  __tsan_acquire(Event);
#endif
}

// Posts a search event from the worker thread; the window owns it from then on.
void PostSearchEvent(QObject* Receiver, QEvent* Event) {
  AnnotateHandOver(Event);
  QCoreApplication::postEvent(Receiver, Event);
}

// A search event as posted by the task's handlers; the event owns its record.
class TSearchTaskMessage : public QEvent {
 public:
  TSearchTaskMessage(int AType, std::unique_ptr<TSearchTaskEventArgs> AArgs)
      : QEvent(static_cast<QEvent::Type>(AType)), Args_(std::move(AArgs)) {}
  template <class T>
  const T& Args() const {
    return static_cast<const T&>(*Args_);
  }

 private:
  std::unique_ptr<TSearchTaskEventArgs> Args_;
};

class TSearchFinishedMessage : public QEvent {
 public:
  TSearchFinishedMessage(bool AAborted, std::string ARunError)
      : QEvent(static_cast<QEvent::Type>(msgSearchFinished)),
        Aborted(AAborted),
        RunError(std::move(ARunError)) {}
  bool Aborted;
  std::string RunError;  // the error that ended the run early; empty when it did not
};

// A log file the threaded logger could not write: its path and the reason.
const int msgLogWriteFailed = QEvent::registerEventType();
class TLogWriteFailedMessage : public QEvent {
 public:
  TLogWriteFailedMessage(std::string APath, std::string AReason)
      : QEvent(static_cast<QEvent::Type>(msgLogWriteFailed)),
        Path(std::move(APath)),
        Reason(std::move(AReason)) {}
  std::string Path, Reason;
};

// A record of the range sweep (TSweepProgress, TSweepMiss), posted as the task's events are.
const int msgSweepProgress = QEvent::registerEventType();
const int msgSweepMiss = QEvent::registerEventType();
template <class TRecord>
class TSweepMessage : public QEvent {
 public:
  TSweepMessage(int AType, TRecord ARecord)
      : QEvent(static_cast<QEvent::Type>(AType)), Record(std::move(ARecord)) {}
  TRecord Record;
};

TCheckItems CheckItems(const QListWidget* List) {
  TCheckItems items;
  items.reserve(static_cast<std::size_t>(List->count()));
  for (int i = 0; i < List->count(); ++i) {
    const QListWidgetItem* item = List->item(i);
    items.emplace_back(item->text().toStdString(), item->checkState() == Qt::Checked);
  }
  return items;
}

void AddCheckItem(QListWidget* List, const std::string& Text, bool Checked) {
  auto* item = new QListWidgetItem(QString::fromStdString(Text), List);
  item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsUserCheckable);
  item->setCheckState(Checked ? Qt::Checked : Qt::Unchecked);
  item->setToolTip(item->text());
}

void ApplyCheckItems(QListWidget* List, const TCheckItems& Items) {
  for (int i = 0; i < List->count() && i < static_cast<int>(Items.size()); ++i)
    List->item(i)->setCheckState(Items[static_cast<std::size_t>(i)].second ? Qt::Checked
                                                                           : Qt::Unchecked);
}

std::vector<std::string> CheckedTexts(const QListWidget* List) {
  std::vector<std::string> texts;
  for (int i = 0; i < List->count(); ++i)
    if (List->item(i)->checkState() == Qt::Checked)
      texts.push_back(List->item(i)->text().toStdString());
  return texts;
}

QListWidgetItem* SelectedItem(const QListWidget* List) {
  QListWidgetItem* item = List->currentItem();
  return item != nullptr && item->isSelected() ? item : nullptr;
}

}  // namespace

// Carries write failures from the logger's thread to the window while the window exists.
class TLogFailureSink {
 public:
  explicit TLogFailureSink(QObject* Receiver) : Receiver_(Receiver) {}
  void Detach() {
    std::lock_guard guard(Lock_);
    Receiver_ = nullptr;
  }
  void Post(const std::string& Path, const std::string& Reason) {
    std::lock_guard guard(Lock_);
    if (Receiver_ != nullptr) PostSearchEvent(Receiver_, new TLogWriteFailedMessage(Path, Reason));
  }

 private:
  std::mutex Lock_;
  QObject* Receiver_;
};

TfrmMain::TfrmMain(QWidget* Parent, std::string IniFileName)
    : QWidget(Parent),
      Ui_(std::make_unique<Ui::TfrmMain>()),
      IniFileName_(std::move(IniFileName)),
      LogFailures_(std::make_shared<TLogFailureSink>(this)) {
  if (IniFileName_.empty()) IniFileName_ = AppIniFileName();
  Ui_->setupUi(this);
  auto& f = *Ui_;
  // The designed size is the least and the first one; the results take any extra room.
  setWindowFlags(Qt::Window);
  setMinimumSize(kClientWidth, kClientHeight);
  resize(kClientWidth, kClientHeight);

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

  FormCreate();

  // The baud rates are a fixed list: show all of them without scrolling. The port and endpoint
  // lists take the height their columns leave, at least four lines.
  QListWidget* bauds = f.clbBaudRates;
  const int line = bauds->sizeHintForRow(0), frame = 2 * bauds->frameWidth() + 2;
  bauds->setFixedHeight(line * bauds->count() + frame);
  for (QListWidget* list : {f.clbSerialPorts, f.clbTCPEndpoints})
    list->setMinimumHeight(4 * line + frame);
  f.laySearchParams->setStretch(2, 1);
  // A larger font may need more than the designed size.
  setMinimumSize(minimumSize().expandedTo(layout()->minimumSize()));
  resize(size().expandedTo(minimumSize()));
}

TfrmMain::~TfrmMain() {
  LogFailures_->Detach();
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
  f.btnStartSearch->setEnabled(true);
  f.btnStopSearch->setEnabled(false);
  f.btnShowLogFolders->hide();
  // 3. Ports.
  RefreshSerialPortList();
  // 4. Baud rates.
  f.clbBaudRates->clear();
  for (int baud : BaudRateChoices)
    AddCheckItem(f.clbBaudRates, IntToStr(baud), baud == 9600 || baud == 115200);
  // 5. Protocols.
  f.cbOrvatbus->setChecked(true);
  f.cbSearchSingleOrvatbusDevice->setChecked(true);
  f.edOrvatbusAddresses->setText("0-31");
  f.cbModbusRTU->setChecked(false);
  f.edModbusAddresses->setText("0-247");
  f.cbOrvatAscii->setChecked(true);
  cbOrvatbusClick();
  cbModbusClick();
  acDelTCPEndpointUpdate();
  acEditTCPEndpointUpdate();
  // 6. Settings.
  LoadSettings();
}

void TfrmMain::LoadSettings() {
  auto& f = *Ui_;
  const TIniFile ini(IniFileName_);
  TSearchSettings s = LoadSearchSettings(ini);
  // Numbers outside their ranges are taken as the spin box would take them, and said once.
  for (const std::string& notice : ClampSearchSettings(s, WindowPlanLimits))
    ShowProtocolLine(FormatDateTime("hh:nn:ss.zzz", NowDateTime()) + " " + SafeLogText(notice));

  TCheckItems ports = CheckItems(f.clbSerialPorts);
  ApplyCheckStates(ports, s.SerialPorts);
  ApplyCheckItems(f.clbSerialPorts, ports);
  TCheckItems bauds = CheckItems(f.clbBaudRates);
  ApplyCheckStates(bauds, s.BaudRates);
  ApplyCheckItems(f.clbBaudRates, bauds);
  for (const auto& pair : s.TCPConnections) AddCheckItem(f.clbTCPEndpoints, pair.first, false);
  TCheckItems endpoints = CheckItems(f.clbTCPEndpoints);
  ApplyCheckStates(endpoints, s.TCPConnections);
  ApplyCheckItems(f.clbTCPEndpoints, endpoints);

  TProtocolChoice protocols{f.cbOrvatbus->isChecked(), f.cbModbusRTU->isChecked(),
                            f.cbModbusTCP->isChecked(), f.cbOrvatAscii->isChecked()};
  protocols = DecodeProtocols(s.Protocols, protocols);
  f.cbOrvatbus->setChecked(protocols.Orvatbus);
  f.cbModbusRTU->setChecked(protocols.ModbusRTU);
  f.cbModbusTCP->setChecked(protocols.ModbusTCP);
  f.cbOrvatAscii->setChecked(protocols.OrvatAscii);

  f.cbSearchSingleOrvatbusDevice->setChecked(s.SearchSingleOrvatbusDevice);
  f.edOrvatbusAddresses->setText(QString::fromStdString(s.OrvatbusAddresses));
  f.edModbusAddresses->setText(QString::fromStdString(s.ModbusAddresses));
  cbOrvatbusClick();
  cbModbusClick();

  RequestRetryCount_ = s.RequestRetryCount;
  f.seStartOfPacketReadTimeout->setValue(s.StartOfPacketReadTimeout);
  WritePacketTimeout_ = s.WritePacketTimeout;
  f.cbSaveSearchLogs->setChecked(s.SaveSearchLogs);
  f.seParallelConnections->setValue(s.ParallelConnections);

  LoadWindowPlacement(ini);
}

void TfrmMain::SaveSettings() {
  auto& f = *Ui_;
  TIniFile ini(IniFileName_);
  TSearchSettings v;
  v.SearchSingleOrvatbusDevice = f.cbSearchSingleOrvatbusDevice->isChecked();
  v.OrvatbusAddresses = f.edOrvatbusAddresses->text().toStdString();
  v.ModbusAddresses = f.edModbusAddresses->text().toStdString();
  v.RequestRetryCount = RequestRetryCount_;
  v.StartOfPacketReadTimeout = f.seStartOfPacketReadTimeout->value();
  v.WritePacketTimeout = WritePacketTimeout_;
  v.SaveSearchLogs = f.cbSaveSearchLogs->isChecked();
  v.ParallelConnections = f.seParallelConnections->value();
  const TProtocolChoice protocols{f.cbOrvatbus->isChecked(), f.cbModbusRTU->isChecked(),
                                  f.cbModbusTCP->isChecked(), f.cbOrvatAscii->isChecked()};
  SaveSearchSettings(ini, EncodeCheckList(CheckItems(f.clbSerialPorts)),
                     EncodeCheckList(CheckItems(f.clbBaudRates)),
                     EncodeCheckList(CheckItems(f.clbTCPEndpoints)), EncodeProtocols(protocols), v);
  SaveWindowPlacement(ini);
}

void TfrmMain::LoadWindowPlacement(const TIniFile& Ini) {
  // The size: never below the designed one, nor beyond the largest screen.
  QSize largest;
  for (const QScreen* screen : QGuiApplication::screens())
    largest = largest.expandedTo(screen->availableGeometry().size());
  const QSize stored(Ini.ReadInteger(kPlacementSection, "Width", width()),
                     Ini.ReadInteger(kPlacementSection, "Height", height()));
  resize(largest.isValid() ? stored.boundedTo(largest).expandedTo(minimumSize())
                           : stored.expandedTo(minimumSize()));
  if (Ini.ReadBool(kPlacementSection, "Maximized", false))
    setWindowState(windowState() | Qt::WindowMaximized);

  if (!Ini.ValueExists(kPlacementSection, "Left") || !Ini.ValueExists(kPlacementSection, "Top"))
    return;
  const QPoint at(Ini.ReadInteger(kPlacementSection, "Left", 0),
                  Ini.ReadInteger(kPlacementSection, "Top", 0));
  // A position on a screen that is no longer there would hide the window: keep the default.
  const QRect title(at, QSize(width(), 32));
  for (const QScreen* screen : QGuiApplication::screens()) {
    if (screen->availableGeometry().intersects(title)) {
      move(at);
      return;
    }
  }
}

void TfrmMain::SaveWindowPlacement(TIniFile& Ini) {
  // A maximised window keeps the place and size it returns to.
  const QRect normal = isMaximized() ? normalGeometry() : QRect(pos(), size());
  if (normal.isValid()) {
    Ini.WriteInteger(kPlacementSection, "Left", normal.x());
    Ini.WriteInteger(kPlacementSection, "Top", normal.y());
    Ini.WriteInteger(kPlacementSection, "Width", normal.width());
    Ini.WriteInteger(kPlacementSection, "Height", normal.height());
  }
  Ini.WriteBool(kPlacementSection, "Maximized", isMaximized());
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

TSearchChoice TfrmMain::CurrentChoice() const {
  auto& f = *Ui_;
  TSearchChoice c;
  c.SerialPortNames = CheckedTexts(f.clbSerialPorts);
  for (const std::string& baud : CheckedTexts(f.clbBaudRates))
    c.BaudRates.push_back(StrToIntDef(baud, 0));
  c.TcpEndpoints = CheckedTexts(f.clbTCPEndpoints);
  c.Protocols = {f.cbOrvatbus->isChecked(), f.cbModbusRTU->isChecked(), f.cbModbusTCP->isChecked(),
                 f.cbOrvatAscii->isChecked()};
  c.SearchSingleOrvatbusDevice = f.cbSearchSingleOrvatbusDevice->isChecked();
  c.OrvatbusAddresses = f.edOrvatbusAddresses->text().toStdString();
  c.ModbusAddresses = f.edModbusAddresses->text().toStdString();
  c.RequestRetryCount = RequestRetryCount_;
  c.StartOfPacketReadTimeout = f.seStartOfPacketReadTimeout->value();
  c.ParallelConnections = f.seParallelConnections->value();
  return c;
}

void TfrmMain::AttachTaskHandlers(TSearchDevicesTask& Task) {
  // These run on the worker thread: they touch no control, only build the event records and
  // post them to the window, which owns them from then on.
  Task.OnProgressChanged = [this](TSearchDevicesTask*, const std::string& ConnectionName,
                                  std::int32_t BaudRateOrPort, TDeviceProtocol Protocol,
                                  TConnectionType ConnectionType, std::uint8_t Address) {
    PostSearchEvent(this, new TSearchTaskMessage(msgProgressChanged,
                                                 std::make_unique<TProgressChangedEventArgs>(
                                                     ConnectionName, BaudRateOrPort, Protocol,
                                                     ConnectionType, Address)));
  };
  Task.OnDeviceFound = [this](TSearchDevicesTask*, const std::string& ConnectionName,
                              std::int32_t BaudRateOrPort, TDeviceProtocol Protocol,
                              TConnectionType ConnectionType, std::uint8_t Address,
                              const TDeviceInfo& DeviceInfo, const TSearchLog& Log) {
    PostSearchEvent(
        this, new TSearchTaskMessage(msgDeviceFound,
                                     std::make_unique<TDeviceFoundEventArgs>(
                                         ConnectionName, BaudRateOrPort, Protocol, ConnectionType,
                                         Address, DeviceInfo, Log.Text())));
  };
  Task.OnSearchError = [this](TSearchDevicesTask*, const std::string& ConnectionName,
                              std::int32_t BaudRateOrPort, TDeviceProtocol Protocol,
                              TConnectionType ConnectionType, std::uint8_t Address,
                              const Exception& Error, const TSearchLog& Log) {
    PostSearchEvent(
        this, new TSearchTaskMessage(
                  msgSearchError, std::make_unique<TSearchErrorEventArgs>(
                                      ConnectionName, BaudRateOrPort, Protocol, ConnectionType,
                                      Address, SearchErrorText(Error, ConnectionType), Log.Text(),
                                      SearchErrorReason(Error))));
  };
  Task.OnSweepProgress = [this](TSearchDevicesTask*, const TSweepProgress& Progress) {
    PostSearchEvent(this, new TSweepMessage<TSweepProgress>(msgSweepProgress, Progress));
  };
  Task.OnSweepMiss = [this](TSearchDevicesTask*, const TSweepMiss& Miss) {
    PostSearchEvent(this, new TSweepMessage<TSweepMiss>(msgSweepMiss, Miss));
  };
  Task.OnSearchFinished = [this](TSearchDevicesTask* Sender, bool Aborted) {
    PostSearchEvent(this, new TSearchFinishedMessage(Aborted, Sender->RunError()));
  };
}

void TfrmMain::StartSearch() {
  auto& f = *Ui_;
  f.btnStartSearch->setEnabled(false);
  f.btnStopSearch->setEnabled(true);
  SearchProtocol_->Clear();
  FoundDevices_->Clear();
  f.btnShowLogFolders->hide();
  ResultLogFileName_ = GetAppLogFolder() + probrix::ResultLogFileName(NowDateTime());

  // The task is the window's before its plan is filled, so that a failing address list ends
  // in FinishSearch with the buttons restored (a task never started sends no finished event).
  Task_ = std::make_unique<TSearchDevicesTask>();
  try {
    FillSearchPlan(*Task_, CurrentChoice());
  } catch (...) {
    FinishSearch();
    throw;
  }
  AttachTaskHandlers(*Task_);
  Task_->Start();
}

void TfrmMain::StopSearch() {
  if (Task_ == nullptr) return;
  // The task cancels its attempt and ends in the background; the window goes on and frees it
  // when the finished event arrives (FinishSearch). Until then neither button applies.
  Task_->Stop();
  auto& f = *Ui_;
  f.btnStartSearch->setEnabled(false);
  f.btnStopSearch->setEnabled(false);
  SetProgressText("Поиск остановлен");
}

void TfrmMain::FinishSearch() {
  Task_.reset();  // its worker has ended (or never started): nothing to wait for
  auto& f = *Ui_;
  f.btnStartSearch->setEnabled(true);
  f.btnStopSearch->setEnabled(false);
  f.btnShowLogFolders->setVisible(f.cbSaveSearchLogs->isChecked());
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

bool TfrmMain::event(QEvent* Event) {
  const int type = static_cast<int>(Event->type());
  if (type == msgProgressChanged || type == msgDeviceFound || type == msgSearchError ||
      type == msgSearchFinished || type == msgLogWriteFailed || type == msgSweepProgress ||
      type == msgSweepMiss) {
    AnnotateTakeOver(Event);
  }
  if (type == msgSweepProgress) {
    const auto& e = static_cast<TSweepMessage<TSweepProgress>&>(*Event);
    RunHandler([&] { HandleSweepProgress(e.Record); });
    return true;
  }
  if (type == msgSweepMiss) {
    const auto& e = static_cast<TSweepMessage<TSweepMiss>&>(*Event);
    RunHandler([&] { HandleSweepMiss(e.Record); });
    return true;
  }
  if (type == msgLogWriteFailed) {
    const auto& e = static_cast<TLogWriteFailedMessage&>(*Event);
    RunHandler([&] { HandleLogWriteFailed(e.Path, e.Reason); });
    return true;
  }
  switch (type) {
    case msgProgressChanged: {
      const auto& e = static_cast<TSearchTaskMessage&>(*Event);
      RunHandler([&] { HandleProgress(e.Args<TProgressChangedEventArgs>()); });
      return true;
    }
    case msgDeviceFound: {
      const auto& e = static_cast<TSearchTaskMessage&>(*Event);
      RunHandler([&] { HandleDeviceFound(e.Args<TDeviceFoundEventArgs>()); });
      return true;
    }
    case msgSearchError: {
      const auto& e = static_cast<TSearchTaskMessage&>(*Event);
      RunHandler([&] { HandleSearchError(e.Args<TSearchErrorEventArgs>()); });
      return true;
    }
    case msgSearchFinished: {
      const auto& e = static_cast<TSearchFinishedMessage&>(*Event);
      RunHandler([&] { HandleSearchFinished(e.Aborted); });
      if (!e.RunError.empty()) RunHandler([&] { HandleRunError(e.RunError); });
      return true;
    }
    default:
      return QWidget::event(Event);
  }
}

void TfrmMain::HandleProgress(const TProgressChangedEventArgs& A) {
  // Progress posted before a stop arrives after it: "Поиск остановлен" stays.
  if (Task_ != nullptr && Task_->Aborted()) return;
  SetProgressText(
      ProgressText(A.ConnectionName, A.BaudRateOrPort, A.Protocol, A.ConnectionType, A.Address));
}

void TfrmMain::HandleSweepProgress(const TSweepProgress& Progress) {
  if (Task_ != nullptr && Task_->Aborted()) return;  // as the search's progress
  SetProgressText(SweepProgressText(Progress));
}

void TfrmMain::HandleSweepMiss(const TSweepMiss& Miss) {
  // Nothing was probed there: a line of the protocol and the result log, no attempt log.
  const std::string line = SweepMissLine(NowDateTime(), Miss);
  ShowProtocolLine(line);
  WriteThreadLog(line, ResultLogFileName_, false, LogFailureHandler());
}

void TfrmMain::HandleDeviceFound(const TDeviceFoundEventArgs& A) {
  const TDeviceInfo& d = A.DeviceInfo;
  TFoundDeviceRow row;
  row.Address = d.Address;  // the address the device reported
  row.ConnectionString = ConnectionPointText(A.ConnectionName, A.BaudRateOrPort, A.ConnectionType);
  row.ConnecionType = static_cast<int>(A.ConnectionType);
  row.Protocol = FoundProtocolText(A.Protocol, d.ChecksumKind);
  TFoundDeviceCells cells = FoundDeviceCells(A.Protocol, d);
  row.DeviceType = std::move(cells.DeviceType);
  row.SerialNum = cells.SerialNum;
  row.SoftVersion = std::move(cells.SoftVersion);
  FoundDevices_->Append(std::move(row));
  AddProtocolLine(DeviceFoundLine(NowDateTime(), A.ConnectionName, A.BaudRateOrPort, A.Protocol,
                                  A.ConnectionType, A.Address, d),
                  A, A.SearchLogText);
}

void TfrmMain::HandleSearchError(const TSearchErrorEventArgs& A) {
  const std::vector<std::string> lines =
      SearchErrorLines(NowDateTime(), A.ConnectionName, A.BaudRateOrPort, A.Protocol,
                       A.ConnectionType, A.Address, A.ErrorText, A.Reason);
  // The attempt's log goes with its first line; a reason line brings none of its own.
  for (std::size_t i = 0; i < lines.size(); ++i)
    AddProtocolLine(lines[i], A, i == 0 ? A.SearchLogText : std::string());
}

void TfrmMain::ShowProtocolLine(const std::string& Line) {
  SearchProtocol_->Append(QString::fromStdString(Line));
  const QModelIndex last = SearchProtocol_->index(SearchProtocol_->rowCount() - 1);
  Ui_->lbSearchProtocol->setCurrentIndex(last);
  Ui_->lbSearchProtocol->scrollToBottom();
}

TLogWriteFailed TfrmMain::LogFailureHandler() const {
  return [sink = LogFailures_](const std::string& Path, const std::string& Reason) {
    sink->Post(Path, Reason);
  };
}

void TfrmMain::AddProtocolLine(const std::string& Line, const TSearchTaskEventArgs& A,
                               const std::string& SearchLogText) {
  ShowProtocolLine(Line);
  WriteThreadLog(Line, ResultLogFileName_, false, LogFailureHandler());
  // A device found after the error line of its own attempt brings no log of its own.
  if (Ui_->cbSaveSearchLogs->isChecked() && !SearchLogText.empty()) {
    const std::string path =
        GetAppLogFolder() + AttemptLogNames_.Next(NowDateTime(), A.ConnectionName, A.BaudRateOrPort,
                                                  A.Protocol, A.Address);
    WriteThreadLog(SearchLogText, path, false, LogFailureHandler());
  }
}

void TfrmMain::HandleLogWriteFailed(const std::string& Path, const std::string& Reason) {
  // Once per file: the search goes on, and the operator knows the file is incomplete.
  if (!UnwritableLogs_.insert(Path).second) return;
  ShowProtocolLine(FormatDateTime("hh:nn:ss.zzz", NowDateTime()) + " " +
                   SafeLogText(Format("Не удалось записать лог %s: %s", {Path, Reason})));
}

void TfrmMain::HandleRunError(const std::string& Error) {
  // The run ended early: not a finished search. Said in the label, the protocol list, the
  // result log and a message box.
  SetProgressText("Ошибка поиска");
  const std::string line = RunErrorLine(NowDateTime(), Error);
  ShowProtocolLine(line);
  WriteThreadLog(line, ResultLogFileName_, false, LogFailureHandler());
  ShowErrorMessage(RunErrorText(Error));
}

void TfrmMain::HandleSearchFinished(bool Aborted) {
  FinishSearch();
  // After a stop the operator keeps seeing "Поиск остановлен".
  if (!Aborted) SetProgressText("Поиск завершен");
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

std::vector<int> TfrmMain::SelectedFoundDevices() const {
  std::vector<int> rows;
  for (const QModelIndex& i : Ui_->dbgrFoundDevices->selectionModel()->selectedRows())
    rows.push_back(i.row());
  std::sort(rows.begin(), rows.end());
  return rows;
}

void TfrmMain::acCopyFoundDevicesExecute() {
  const std::vector<int> rows = SelectedFoundDevices();
  if (rows.empty()) return;
  QGuiApplication::clipboard()->setText(FoundDevices_->RowsText(rows, TRowsTextFormat::rtfTabs));
}

void TfrmMain::acSaveFoundDevicesExecute() {
  if (CsvFolder_.empty()) CsvFolder_ = QDir::homePath().toStdString();
  QFileDialog dialog(this, "Сохранить как");
  dialog.setAcceptMode(QFileDialog::AcceptSave);
  dialog.setNameFilter("Файлы CSV (*.csv)");
  dialog.setDefaultSuffix("csv");
  dialog.setDirectory(QString::fromStdString(CsvFolder_));
  dialog.selectFile("найденные_приборы.csv");
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return;
  const QString path = dialog.selectedFiles().first();
  CsvFolder_ = QFileInfo(path).absolutePath().toStdString();
  SaveFoundDevices(path.toStdString());
}

void TfrmMain::SaveFoundDevices(const std::string& FileName) const {
  std::vector<int> rows(static_cast<std::size_t>(FoundDevices_->rowCount()));
  std::iota(rows.begin(), rows.end(), 0);
  // UTF-8 with a byte order mark, which spreadsheet programs take as the encoding.
  const QByteArray bytes =
      "\xEF\xBB\xBF" + FoundDevices_->RowsText(rows, TRowsTextFormat::rtfCsv).toUtf8();
  // Written beside the target and renamed over it: a failed save leaves no half file.
  QSaveFile file(QString::fromStdString(FileName));
  if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.commit())
    throw EInOutError::CreateFmt("Не удалось сохранить файл %s: %s",
                                 {FileName, file.errorString().toStdString()});
}

}  // namespace probrix
