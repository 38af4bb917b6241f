// The main window's parameter controls: defaults, key filter, enabling rules, the check-list
// menu, the port list refresh, deleting endpoints, and that every text fits its control.

#include <gtest/gtest.h>
#include <stdlib.h>

#include <QAction>
#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QPushButton>
#include <QScrollBar>
#include <QSpinBox>
#include <QTabBar>
#include <QTabWidget>
#include <QTest>
#include <QToolButton>

#include "UiTestSupport.h"
#include "support/TestSupport.h"
#include "ui/fMain.h"
#include "ui_fMain.h"

namespace probrix {
namespace {

// Sets PROBRIX_EXTRA_PORTS for the lifetime of the object.
class TExtraPorts {
 public:
  explicit TExtraPorts(const std::string& Value) {
    if (const char* old = getenv("PROBRIX_EXTRA_PORTS")) Old_ = old, HadOld_ = true;
    setenv("PROBRIX_EXTRA_PORTS", Value.c_str(), 1);
  }
  ~TExtraPorts() {
    if (HadOld_) {
      setenv("PROBRIX_EXTRA_PORTS", Old_.c_str(), 1);
    } else {
      unsetenv("PROBRIX_EXTRA_PORTS");
    }
  }
  void Set(const std::string& Value) { setenv("PROBRIX_EXTRA_PORTS", Value.c_str(), 1); }

 private:
  std::string Old_;
  bool HadOld_ = false;
};

QListWidgetItem* FindItem(QListWidget* List, const QString& Text) {
  const auto found = List->findItems(Text, Qt::MatchExactly);
  return found.isEmpty() ? nullptr : found.first();
}

class MainWindow : public ::testing::Test {
 protected:
  std::string IniFile() const { return (Dir.Path() / "probrix.ini").string(); }
  test::TTempDir Dir;
};

TEST_F(MainWindow, StartsWithTheDefaults) {
  TfrmMain w(nullptr, IniFile());
  auto& f = *w.Form();
  EXPECT_EQ(w.windowTitle(), QString("Поиск приборов ТЕЛУРИКС"));
  EXPECT_EQ(w.size(), QSize(715, 582));
  EXPECT_TRUE(f.cbOrvatbus->isChecked());
  EXPECT_TRUE(f.cbSearchSingleOrvatbusDevice->isChecked());
  EXPECT_EQ(f.edOrvatbusAddresses->text(), "0-31");
  EXPECT_FALSE(f.cbModbusRTU->isChecked());
  EXPECT_FALSE(f.cbModbusTCP->isChecked());
  EXPECT_EQ(f.edModbusAddresses->text(), "0-247");
  EXPECT_TRUE(f.cbOrvatAscii->isChecked());
  EXPECT_FALSE(f.cbSaveSearchLogs->isChecked());
  EXPECT_EQ(f.seStartOfPacketReadTimeout->value(), 200);
  EXPECT_EQ(f.seStartOfPacketReadTimeout->minimum(), 10);
  EXPECT_EQ(f.seStartOfPacketReadTimeout->maximum(), 10000);
  EXPECT_EQ(f.seStartOfPacketReadTimeout->singleStep(), 10);
  EXPECT_EQ(w.RequestRetryCount(), 1);
  EXPECT_EQ(w.WritePacketTimeout(), 100);
  EXPECT_EQ(f.clbTCPEndpoints->count(), 0);
  ASSERT_EQ(f.clbBaudRates->count(), 8);
  QStringList checked;
  for (int i = 0; i < 8; ++i)
    if (f.clbBaudRates->item(i)->checkState() == Qt::Checked)
      checked << f.clbBaudRates->item(i)->text();
  EXPECT_EQ(checked, QStringList({"9600", "115200"}));
  EXPECT_EQ(f.clbBaudRates->item(0)->text(), "1200");
  EXPECT_TRUE(f.btnStartSearch->isEnabled());
  EXPECT_FALSE(f.btnStopSearch->isEnabled());
  EXPECT_TRUE(f.btnShowLogFolders->isHidden());
  EXPECT_TRUE(f.LProgress->text().isEmpty());
  EXPECT_TRUE(f.pcResults->tabBar()->isHidden());
  EXPECT_EQ(f.pcResults->currentWidget(), f.tsFoundDevices);
  EXPECT_FALSE(f.acDelTCPEndpoint->isEnabled());
  EXPECT_FALSE(f.acEditTCPEndpoint->isEnabled());
  EXPECT_TRUE(f.acAddTCPEndpoint->isEnabled());
}

TEST_F(MainWindow, OrvatbusAddressKeyFilter) {
  TfrmMain w(nullptr, IniFile());
  auto& f = *w.Form();
  f.cbSearchSingleOrvatbusDevice->setChecked(false);
  QLineEdit* ed = f.edOrvatbusAddresses;
  ed->clear();
  QTest::keyClicks(ed, "1.5a-7 x;9");
  EXPECT_EQ(ed->text(), "1,5-79");
  QTest::keyClick(ed, Qt::Key_Backspace);
  EXPECT_EQ(ed->text(), "1,5-7");
  QTest::keyClick(ed, Qt::Key_Home);
  QTest::keyClick(ed, Qt::Key_Delete);
  EXPECT_EQ(ed->text(), ",5-7");
  // The Modbus list takes any text.
  f.cbModbusRTU->setChecked(true);
  f.edModbusAddresses->clear();
  QTest::keyClicks(f.edModbusAddresses, "1.x");
  EXPECT_EQ(f.edModbusAddresses->text(), "1.x");
}

TEST_F(MainWindow, EnablingRules) {
  TfrmMain w(nullptr, IniFile());
  auto& f = *w.Form();
  // Single-device mode on: the box is enabled, the address edit is not.
  EXPECT_TRUE(f.cbSearchSingleOrvatbusDevice->isEnabled());
  EXPECT_FALSE(f.edOrvatbusAddresses->isEnabled());
  QTest::mouseClick(f.cbSearchSingleOrvatbusDevice, Qt::LeftButton);
  EXPECT_FALSE(f.cbSearchSingleOrvatbusDevice->isChecked());
  EXPECT_TRUE(f.edOrvatbusAddresses->isEnabled());
  QTest::mouseClick(f.cbOrvatbus, Qt::LeftButton);
  EXPECT_FALSE(f.cbSearchSingleOrvatbusDevice->isEnabled());
  EXPECT_FALSE(f.edOrvatbusAddresses->isEnabled());
  f.cbSearchSingleOrvatbusDevice->setChecked(true);
  QTest::mouseClick(f.cbOrvatbus, Qt::LeftButton);
  EXPECT_TRUE(f.cbSearchSingleOrvatbusDevice->isEnabled());
  EXPECT_FALSE(f.edOrvatbusAddresses->isEnabled());

  EXPECT_FALSE(f.edModbusAddresses->isEnabled());
  QTest::mouseClick(f.cbModbusTCP, Qt::LeftButton);
  EXPECT_TRUE(f.edModbusAddresses->isEnabled());
  QTest::mouseClick(f.cbModbusRTU, Qt::LeftButton);
  QTest::mouseClick(f.cbModbusTCP, Qt::LeftButton);
  EXPECT_TRUE(f.edModbusAddresses->isEnabled());
  QTest::mouseClick(f.cbModbusRTU, Qt::LeftButton);
  EXPECT_FALSE(f.edModbusAddresses->isEnabled());
}

TEST_F(MainWindow, CheckListMenuActsOnTheListItWasOpenedOn) {
  TfrmMain w(nullptr, IniFile());
  auto& f = *w.Form();
  auto states = [](QListWidget* L) {
    QString s;
    for (int i = 0; i < L->count(); ++i) s += L->item(i)->checkState() == Qt::Checked ? '1' : '0';
    return s;
  };
  ASSERT_EQ(states(f.clbBaudRates), "00010001");
  w.PopupCheckListMenu(f.clbBaudRates, w.mapToGlobal(QPoint(10, 10)));
  EXPECT_EQ(w.PopupComponent(), f.clbBaudRates);
  w.CheckListMenu()->hide();
  f.miInvertSelection->trigger();
  EXPECT_EQ(states(f.clbBaudRates), "11101110");
  f.miSelectAll->trigger();
  EXPECT_EQ(states(f.clbBaudRates), "11111111");
  f.miDeselectAll->trigger();
  EXPECT_EQ(states(f.clbBaudRates), "00000000");
  // Opened on something else: the commands do nothing.
  w.PopupCheckListMenu(nullptr, w.mapToGlobal(QPoint(10, 10)));
  w.CheckListMenu()->hide();
  f.miSelectAll->trigger();
  EXPECT_EQ(states(f.clbBaudRates), "00000000");
}

TEST_F(MainWindow, PortRefreshKeepsStatesAndChecksNewPorts) {
  TExtraPorts ports("/tmp/ui-sim/COM10:/tmp/ui-sim/COM2");
  TfrmMain w(nullptr, IniFile());
  QListWidget* list = w.Form()->clbSerialPorts;
  QListWidgetItem* com10 = FindItem(list, "/tmp/ui-sim/COM10");
  ASSERT_NE(com10, nullptr);
  ASSERT_NE(FindItem(list, "/tmp/ui-sim/COM2"), nullptr);
  EXPECT_EQ(com10->checkState(), Qt::Checked);  // new ports are checked
  com10->setCheckState(Qt::Unchecked);

  ports.Set("/tmp/ui-sim/COM10:/tmp/ui-sim/COM7");
  QTest::mouseClick(w.Form()->btnRefreshSerialPortList, Qt::LeftButton);
  ASSERT_NE(FindItem(list, "/tmp/ui-sim/COM10"), nullptr);
  EXPECT_EQ(FindItem(list, "/tmp/ui-sim/COM10")->checkState(), Qt::Unchecked);
  ASSERT_NE(FindItem(list, "/tmp/ui-sim/COM7"), nullptr);
  EXPECT_EQ(FindItem(list, "/tmp/ui-sim/COM7")->checkState(), Qt::Checked);
  EXPECT_EQ(FindItem(list, "/tmp/ui-sim/COM2"), nullptr);
  // The platform's order: digit runs compare as numbers.
  EXPECT_LT(list->row(FindItem(list, "/tmp/ui-sim/COM7")),
            list->row(FindItem(list, "/tmp/ui-sim/COM10")));
}

TEST_F(MainWindow, DeletingAnEndpointNeedsASelection) {
  uitest::WriteFileBytes(Dir.Path() / "probrix.ini",
                         "[SearchParams]\r\nTCPConnections=\"10.0.0.1:502=1,10.0.0.2:502=0\"\r\n");
  TfrmMain w(nullptr, IniFile());
  auto& f = *w.Form();
  ASSERT_EQ(f.clbTCPEndpoints->count(), 2);
  EXPECT_EQ(f.clbTCPEndpoints->item(0)->checkState(), Qt::Checked);
  EXPECT_EQ(f.clbTCPEndpoints->item(1)->checkState(), Qt::Unchecked);
  f.acDelTCPEndpoint->trigger();  // disabled: nothing happens
  EXPECT_EQ(f.clbTCPEndpoints->count(), 2);
  f.clbTCPEndpoints->setCurrentRow(0);
  EXPECT_TRUE(f.acDelTCPEndpoint->isEnabled());
  EXPECT_TRUE(f.acEditTCPEndpoint->isEnabled());
  QTest::mouseClick(f.btnDeleteTCPEndpoint, Qt::LeftButton);
  ASSERT_EQ(f.clbTCPEndpoints->count(), 1);
  EXPECT_EQ(f.clbTCPEndpoints->item(0)->text(), "10.0.0.2:502");
  f.clbTCPEndpoints->clearSelection();
  EXPECT_FALSE(f.acDelTCPEndpoint->isEnabled());
  EXPECT_FALSE(f.acEditTCPEndpoint->isEnabled());
}

TEST_F(MainWindow, LongPortPathsAreElidedInTheMiddleWithinTheList) {
  const std::string folder = "/tmp/a-rather-long-folder-of-simulated-serial-ports/ports";
  TExtraPorts ports(folder + "/ttySIM0:" + folder + "/ttySIM1");
  TfrmMain w(nullptr, IniFile());
  w.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&w));
  QListWidget* list = w.Form()->clbSerialPorts;
  QListWidgetItem* port = FindItem(list, QString::fromStdString(folder + "/ttySIM1"));
  ASSERT_NE(port, nullptr);
  // The item is no wider than the list, so the text is elided where the list says: in the
  // middle, keeping the device name; the tool tip keeps the whole path.
  EXPECT_GT(list->fontMetrics().horizontalAdvance(port->text()), list->viewport()->width());
  EXPECT_LE(list->visualItemRect(port).right(), list->viewport()->width());
  EXPECT_EQ(list->horizontalScrollBar()->maximum(), 0);
  EXPECT_EQ(list->textElideMode(), Qt::ElideMiddle);
  EXPECT_TRUE(port->toolTip().startsWith(port->text())) << port->toolTip().toStdString();
}

TEST_F(MainWindow, SearchButtonsStayPutWhenTheLogsFolderButtonAppears) {
  TfrmMain w(nullptr, IniFile());
  auto& f = *w.Form();
  w.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&w));
  const auto places = [&] {
    QCoreApplication::sendPostedEvents(nullptr, QEvent::LayoutRequest);
    return QList<QRect>{QRect(f.btnStartSearch->mapTo(&w, QPoint()), f.btnStartSearch->size()),
                        QRect(f.btnStopSearch->mapTo(&w, QPoint()), f.btnStopSearch->size()),
                        f.lbSearchProtocol->geometry(), f.dbgrFoundDevices->geometry()};
  };
  const QList<QRect> hidden = places();
  f.btnShowLogFolders->show();
  EXPECT_EQ(places(), hidden);
}

// Every caption must be readable with the default font: no control is smaller than what its
// text needs. UI_SCREENSHOT=<file.png> also saves a picture of the window.
TEST_F(MainWindow, EveryTextFitsItsControl) {
  TfrmMain w(nullptr, IniFile());
  w.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&w));
  QCoreApplication::processEvents();
  const auto check = [](QWidget* W) {
    EXPECT_GE(W->width(), W->minimumSizeHint().width()) << W->objectName().toStdString();
    EXPECT_GE(W->height(), W->minimumSizeHint().height()) << W->objectName().toStdString();
  };
  for (auto* b : w.findChildren<QAbstractButton*>()) {
    if (!b->isVisibleTo(&w)) continue;
    EXPECT_GE(b->width(), b->sizeHint().width()) << b->objectName().toStdString();
    check(b);
  }
  for (auto* l : w.findChildren<QLabel*>()) {
    if (!l->isVisibleTo(&w)) continue;
    if (l->wordWrap()) {
      // A wrapped label fits when its lines at its width fit its height.
      check(l);
      EXPECT_GE(l->height(), l->heightForWidth(l->width())) << l->objectName().toStdString();
      continue;
    }
    EXPECT_GE(l->width(), l->sizeHint().width()) << l->objectName().toStdString();
    EXPECT_GE(l->height(), l->sizeHint().height()) << l->objectName().toStdString();
  }
  for (auto* g : w.findChildren<QGroupBox*>()) check(g);
  for (auto* e : w.findChildren<QLineEdit*>())
    if (qobject_cast<QAbstractSpinBox*>(e->parentWidget()) == nullptr) check(e);
  // The whole window's content fits the fixed client area.
  EXPECT_LE(w.layout()->minimumSize().width(), 715);
  EXPECT_LE(w.layout()->minimumSize().height(), 582);
  uitest::SaveScreenshot(&w, "main");
}

}  // namespace
}  // namespace probrix
