// The window from the keyboard: F5 starts a search and Esc stops it, Return presses the focused
// button, Tab goes through every control in reading order (the results and the protocol list
// included, the grid not trapping it cell by cell), and group titles and buttons carry
// mnemonics (in the form).

#include <QKeySequence>
#include <QPushButton>
#include <QShortcut>
#include <QTabBar>

#include "ui/fMain.h"
#include "ui_fMain.h"

namespace probrix {

void TfrmMain::SetUpKeyboard() {
  auto& f = *Ui_;
  // A button pressed through its shortcut runs its handler exactly as a click does; a button
  // that does not apply (disabled) ignores it.
  const auto press = [](QPushButton* Button) {
    if (Button->isEnabled() && Button->isVisible()) Button->click();
  };
  auto* start = new QShortcut(QKeySequence(Qt::Key_F5), this);
  start->setContext(Qt::WindowShortcut);
  connect(start, &QShortcut::activated, this, [=] { press(f.btnStartSearch); });
  auto* stop = new QShortcut(QKeySequence(Qt::Key_Escape), this);
  stop->setContext(Qt::WindowShortcut);
  connect(stop, &QShortcut::activated, this, [=] { press(f.btnStopSearch); });
  for (QPushButton* button :
       {f.btnRefreshSerialPortList, f.btnStartSearch, f.btnStopSearch, f.btnShowLogFolders})
    button->setAutoDefault(true);  // Return presses the focused button

  // The results' tab widget shows one page without its tab bar: Tab would hand the focus to the
  // hidden bar, and no control would get it.
  f.pcResults->setFocusPolicy(Qt::NoFocus);
  f.pcResults->tabBar()->setFocusPolicy(Qt::NoFocus);
  f.dbgrFoundDevices->setTabKeyNavigation(false);
  f.lbSearchProtocol->setTabKeyNavigation(false);
  // Tool buttons take the focus from Tab like any other control.
  for (QWidget* w : std::initializer_list<QWidget*>{f.btnAddTCPEndpoint, f.btnDeleteTCPEndpoint,
                                                    f.btnEditTCPEndpoint})
    w->setFocusPolicy(Qt::StrongFocus);
  const QWidget* order[] = {f.clbSerialPorts,
                            f.btnRefreshSerialPortList,
                            f.clbBaudRates,
                            f.clbLineFormats,
                            f.clbTCPEndpoints,
                            f.btnAddTCPEndpoint,
                            f.btnDeleteTCPEndpoint,
                            f.btnEditTCPEndpoint,
                            f.cbOrvatbus,
                            f.cbSearchSingleOrvatbusDevice,
                            f.edOrvatbusAddresses,
                            f.cbModbusRTU,
                            f.cbModbusTCP,
                            f.edModbusAddresses,
                            f.cbOrvatAscii,
                            f.seStartOfPacketReadTimeout,
                            f.seParallelConnections,
                            f.cbSaveSearchLogs,
                            f.dbgrFoundDevices,
                            f.cbProtocolFilter,
                            f.lbSearchProtocol,
                            f.edAttemptFrames,
                            f.btnStartSearch,
                            f.btnStopSearch,
                            f.btnShowLogFolders};
  for (std::size_t i = 1; i < std::size(order); ++i)
    setTabOrder(const_cast<QWidget*>(order[i - 1]), const_cast<QWidget*>(order[i]));
}

}  // namespace probrix
