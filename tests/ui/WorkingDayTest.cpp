// The window over a long day's work: a refused start, the keyboard, progress over the plan, the
// protocol list that can be read back while it grows, an attempt's traffic from memory, and the
// parameters locked during a search.

#include <gtest/gtest.h>
#include <stdlib.h>

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QSpinBox>
#include <QTableView>
#include <QTest>
#include <QToolButton>

#include "UiTestSupport.h"
#include "devsim/devsimSimulator.h"
#include "foundation/appDateTime.h"
#include "support/TestSupport.h"
#include "ui/fMain.h"
#include "ui/fMainModels.h"
#include "ui/fMainViews.h"
#include "ui/fQuestionBox.h"
#include "ui_fMain.h"
#include "ui_fQuestionBox.h"

namespace probrix {
namespace {

using uitest::WaitUntil;
using uitest::WhenModal;

devsim::TDeviceConfig ModbusDevice(int Address, bool Silent = false) {
  devsim::TDeviceConfig d;
  d.Kind = devsim::TDeviceKind::dkModbus;
  d.Address = Address;
  d.DeviceType = 16;
  d.FirmwareVersion = 215;
  d.SerialNumber = 4321;
  d.Behaviour.Silent = Silent;
  return d;
}

// A window over one simulated TCP endpoint (and the given serial ports), ModbusTCP only.
class WorkingWindow : public ::testing::Test {
 protected:
  void TearDown() override { unsetenv("PROBRIX_EXTRA_PORTS"); }

  std::unique_ptr<TfrmMain> MakeWindow(const std::string& Ports = {}) {
    setenv("PROBRIX_EXTRA_PORTS", Ports.c_str(), 1);
    Endpoint = "127.0.0.1:" + std::to_string(Tcp);
    uitest::WriteFileBytes(Dir.Path() / "probrix.ini",
                           "[SearchParams]\r\nTCPConnections=\"" + Endpoint + "=1\"\r\n");
    auto w = std::make_unique<TfrmMain>(nullptr, (Dir.Path() / "probrix.ini").string());
    auto& f = *w->Form();
    for (int i = 0; i < f.clbSerialPorts->count(); ++i)
      f.clbSerialPorts->item(i)->setCheckState(
          Ports.find(f.clbSerialPorts->item(i)->text().toStdString()) != std::string::npos
              ? Qt::Checked
              : Qt::Unchecked);
    for (int i = 0; i < f.clbBaudRates->count(); ++i)
      f.clbBaudRates->item(i)->setCheckState(
          f.clbBaudRates->item(i)->text() == "9600" ? Qt::Checked : Qt::Unchecked);
    f.cbOrvatbus->setChecked(false);
    f.cbOrvatAscii->setChecked(false);
    f.cbModbusTCP->setChecked(true);
    f.edModbusAddresses->setText("1,2");
    f.seStartOfPacketReadTimeout->setValue(50);
    w->show();
    w->activateWindow();
    EXPECT_TRUE(QTest::qWaitForWindowActive(w.get()));
    return w;
  }
  static bool Finished(TfrmMain& W) {
    return WaitUntil([&] { return !W.Searching(); }, 30000);
  }
  static QStringList Lines(const TfrmMain& W) {
    QStringList lines;
    for (int i = 0; i < W.SearchProtocol()->rowCount(); ++i) lines << W.SearchProtocol()->Line(i);
    return lines;
  }

  test::TTempDir Dir;
  devsim::TSimulator Sim;
  std::uint16_t Tcp = Sim.AddTcpServer();
  std::string Endpoint;
};

TEST_F(WorkingWindow, ARefusedStartKeepsRowsLinesAndLabel) {
  Sim.AddDevice(Tcp, ModbusDevice(1));
  auto w = MakeWindow();
  auto& f = *w->Form();
  QTest::mouseClick(f.btnStartSearch, Qt::LeftButton);
  ASSERT_TRUE(Finished(*w));
  ASSERT_EQ(w->FoundDevices()->rowCount(), 1);
  const QStringList lines = Lines(*w);
  ASSERT_EQ(lines.size(), 2);

  f.edModbusAddresses->setText("0-300");
  QString text;
  WhenModal<QMessageBox>([&](QMessageBox* B) {
    text = B->text();
    B->accept();
  });
  QTest::mouseClick(f.btnStartSearch, Qt::LeftButton);
  EXPECT_TRUE(text.contains("0-300")) << text.toStdString();
  EXPECT_FALSE(w->Searching());
  EXPECT_EQ(w->FoundDevices()->rowCount(), 1);
  EXPECT_EQ(Lines(*w), lines);
  EXPECT_EQ(f.LProgress->text(), "Поиск завершен");
  EXPECT_EQ(f.LFoundDevices->text(), "Найдено приборов: 1");
  EXPECT_TRUE(f.cbModbusTCP->isEnabled());  // nothing locked
  // The field at fault has the window's focus once the message is closed.
  EXPECT_EQ(w->focusWidget(), f.edModbusAddresses);
  EXPECT_EQ(f.edModbusAddresses->selectedText(), "0-300");
}

TEST_F(WorkingWindow, KeysStartAndStopAndTheFocusFollows) {
  Sim.AddDevice(Tcp, ModbusDevice(1, true));
  auto w = MakeWindow();
  auto& f = *w->Form();
  f.edModbusAddresses->setText("0-247");  // silent: long enough to be stopped

  QTest::keyClick(w.get(), Qt::Key_F5);
  ASSERT_TRUE(w->Searching());
  EXPECT_EQ(QApplication::focusWidget(), f.btnStopSearch);
  // What does not apply to a running search is locked; the search log switch stays live.
  for (QWidget* locked : std::initializer_list<QWidget*>{
           f.clbSerialPorts, f.btnRefreshSerialPortList, f.clbBaudRates, f.clbTCPEndpoints,
           f.btnAddTCPEndpoint, f.cbOrvatbus, f.cbModbusTCP, f.edModbusAddresses, f.cbOrvatAscii,
           f.seStartOfPacketReadTimeout, f.seParallelConnections})
    EXPECT_FALSE(locked->isEnabled()) << locked->objectName().toStdString();
  EXPECT_TRUE(f.cbSaveSearchLogs->isEnabled());
  QTest::keyClick(w.get(), Qt::Key_F5);  // a second F5 starts nothing

  QTest::keyClick(w.get(), Qt::Key_Escape);
  EXPECT_EQ(f.LProgress->text(), "Поиск остановлен");
  ASSERT_TRUE(Finished(*w));
  EXPECT_EQ(QApplication::focusWidget(), f.btnStartSearch);
  EXPECT_TRUE(f.cbModbusTCP->isEnabled());
  EXPECT_TRUE(f.edModbusAddresses->isEnabled());
  EXPECT_FALSE(f.edOrvatbusAddresses->isEnabled());  // the enabling rules apply again
  EXPECT_FALSE(f.cbSearchSingleOrvatbusDevice->isEnabled());

  // Return on the focused start button.
  QTest::keyClick(f.btnStartSearch, Qt::Key_Return);
  ASSERT_TRUE(w->Searching());
  QTest::keyClick(w.get(), Qt::Key_Escape);
  ASSERT_TRUE(Finished(*w));
}

TEST_F(WorkingWindow, TabVisitsEveryControlOnceInReadingOrderAndComesBack) {
  auto w = MakeWindow();
  auto& f = *w->Form();
  // Disabled controls are skipped: the Modbus addresses, and with Orvatbus off its own two.
  f.cbModbusTCP->setChecked(false);
  TFoundDeviceRow row;
  row.ConnectionString = "COM1:9600";
  w->FoundDevices()->Append(row);
  f.clbSerialPorts->setFocus();
  ASSERT_TRUE(WaitUntil([&] { return QApplication::focusWidget() == f.clbSerialPorts; }));
  const std::vector<QWidget*> expected = {f.clbSerialPorts,
                                          f.btnRefreshSerialPortList,
                                          f.clbBaudRates,
                                          f.clbLineFormats,
                                          f.clbTCPEndpoints,
                                          f.btnAddTCPEndpoint,
                                          f.cbOrvatbus,
                                          f.cbModbusRTU,
                                          f.cbModbusTCP,
                                          f.cbOrvatAscii,
                                          f.seStartOfPacketReadTimeout,
                                          f.seParallelConnections,
                                          f.cbSaveSearchLogs,
                                          f.dbgrFoundDevices,
                                          f.cbProtocolFilter,
                                          f.lbSearchProtocol,
                                          f.edAttemptFrames,
                                          f.btnStartSearch};
  std::vector<QWidget*> visited{QApplication::focusWidget()};
  for (std::size_t i = 0; i < expected.size() + 2 && visited.size() <= expected.size(); ++i) {
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    if (QApplication::focusWidget() == f.clbSerialPorts) break;
    visited.push_back(QApplication::focusWidget());
  }
  std::vector<std::string> names, wanted;
  for (QWidget* v : visited) names.push_back(v ? v->objectName().toStdString() : "none");
  for (QWidget* e : expected) wanted.push_back(e->objectName().toStdString());
  EXPECT_EQ(names, wanted);
  EXPECT_EQ(QApplication::focusWidget(), f.clbSerialPorts);  // and round again
}

TEST_F(WorkingWindow, ProgressCountsEqualThePlansAttemptsAndALongPlanAsksFirst) {
  const std::string port = Sim.AddSerialPort();
  Sim.AddDevice(port, [] {
    auto d = ModbusDevice(2);
    return d;
  }());
  Sim.AddDevice(Tcp, ModbusDevice(1));
  auto w = MakeWindow(port);
  auto& f = *w->Form();
  f.cbModbusRTU->setChecked(true);
  f.seParallelConnections->setValue(2);
  QTest::mouseClick(f.btnStartSearch, Qt::LeftButton);
  ASSERT_TRUE(Finished(*w));
  // A port and an endpoint, each with both Modbus protocols at two addresses.
  EXPECT_EQ(w->Progress().Total(), 8);
  EXPECT_EQ(w->Progress().Done(), 8);
  EXPECT_EQ(Lines(*w).size(), 8);
  EXPECT_EQ(f.pbSearchProgress->value(), f.pbSearchProgress->maximum());
  EXPECT_EQ(f.pbSearchProgress->text(), "8 из 8");
  EXPECT_TRUE(f.LSearchTime->text().startsWith("поиск длился "))
      << f.LSearchTime->text().toStdString();

  // 248 silent addresses of 10 s each: asked first; No changes nothing.
  f.cbModbusRTU->setChecked(false);
  f.edModbusAddresses->setText("0-247");
  f.seStartOfPacketReadTimeout->setValue(10000);
  QString question;
  WhenModal<TfrmQuestionBox>([&](TfrmQuestionBox* B) {
    question = B->Form()->LQuestion->text();
    QTest::keyClick(B, Qt::Key_Y);  // No
  });
  QTest::mouseClick(f.btnStartSearch, Qt::LeftButton);
  EXPECT_EQ(question, "Поиск может продлиться до 42 мин. Начать поиск?");
  EXPECT_FALSE(w->Searching());
  EXPECT_EQ(Lines(*w).size(), 8);
  WhenModal<TfrmQuestionBox>([&](TfrmQuestionBox* B) { QTest::keyClick(B, Qt::Key_L); });  // Yes
  QTest::mouseClick(f.btnStartSearch, Qt::LeftButton);
  EXPECT_TRUE(w->Searching());
  EXPECT_EQ(w->Progress().Total(), 2 * 248);  // ModbusTCP is tried on the port as well
  // The offscreen platform does not give the window back its activation after a dialog.
  w->activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(w.get()));
  QTest::keyClick(w.get(), Qt::Key_Escape);
  ASSERT_TRUE(Finished(*w));
}

TEST_F(WorkingWindow, AnOlderLineStaysSelectedWhileTheSearchGoesOn) {
  Sim.AddDevice(Tcp, ModbusDevice(1, true));
  auto w = MakeWindow();
  auto& f = *w->Form();
  f.edModbusAddresses->setText("0-247");
  f.seStartOfPacketReadTimeout->setValue(20);
  QTest::mouseClick(f.btnStartSearch, Qt::LeftButton);
  TSearchProtocolModel& lines = *w->SearchProtocol();
  ASSERT_TRUE(WaitUntil([&] { return lines.rowCount() >= 3; }));
  EXPECT_EQ(f.lbSearchProtocol->currentIndex().row(), lines.rowCount() - 1);  // following
  f.lbSearchProtocol->setCurrentIndex(lines.index(0));
  const int seen = lines.rowCount();
  ASSERT_TRUE(WaitUntil([&] { return lines.rowCount() >= seen + 3; }));
  EXPECT_EQ(f.lbSearchProtocol->currentIndex().row(), 0);
  EXPECT_TRUE(f.lbSearchProtocol->selectionModel()->isRowSelected(0));
  EXPECT_EQ(f.lbSearchProtocol->FirstVisibleLine(), 0);
  // Back at the end, the list follows again.
  f.lbSearchProtocol->setCurrentIndex(lines.index(lines.rowCount() - 1));
  const int again = lines.rowCount();
  ASSERT_TRUE(WaitUntil([&] { return lines.rowCount() >= again + 3; }));
  EXPECT_GE(f.lbSearchProtocol->currentIndex().row(), again + 2);
  QTest::keyClick(w.get(), Qt::Key_Escape);
  ASSERT_TRUE(Finished(*w));
}

TEST_F(WorkingWindow, TheFilterShowsFoundDevicesOrErrors) {
  Sim.AddDevice(Tcp, ModbusDevice(1));
  Sim.AddDevice(Tcp, ModbusDevice(3));
  auto w = MakeWindow();
  auto& f = *w->Form();
  f.edModbusAddresses->setText("1-4");
  QTest::mouseClick(f.btnStartSearch, Qt::LeftButton);
  ASSERT_TRUE(Finished(*w));
  const QStringList all = Lines(*w);
  ASSERT_EQ(all.size(), 4);
  EXPECT_EQ(f.cbProtocolFilter->itemText(0), "все строки");
  f.cbProtocolFilter->setCurrentIndex(1);
  QStringList found = Lines(*w);
  EXPECT_EQ(found, QStringList({all[0], all[2]}));
  f.cbProtocolFilter->setCurrentIndex(2);
  EXPECT_EQ(Lines(*w), QStringList({all[1], all[3]}));
  EXPECT_TRUE(Lines(*w)[0].endsWith("Нет ответа"));
  f.cbProtocolFilter->setCurrentIndex(0);
  EXPECT_EQ(Lines(*w), all);
  // A long line is elided in the middle; its tool tip holds it whole.
  EXPECT_EQ(w->SearchProtocol()->data(w->SearchProtocol()->index(1), Qt::ToolTipRole).toString(),
            all[1]);
}

TEST_F(WorkingWindow, ASelectedDeviceShowsItsTrafficFromMemoryAndTheBoundDropsTheOldest) {
  Sim.AddDevice(Tcp, ModbusDevice(1));
  auto w = MakeWindow();
  auto& f = *w->Form();
  ASSERT_FALSE(f.cbSaveSearchLogs->isChecked());
  QTest::mouseClick(f.btnStartSearch, Qt::LeftButton);
  ASSERT_TRUE(Finished(*w));
  ASSERT_EQ(w->FoundDevices()->rowCount(), 1);
  f.dbgrFoundDevices->setCurrentIndex(w->FoundDevices()->index(0, 0));
  const auto pane = [&] { return f.edAttemptFrames->toPlainText(); };
  ASSERT_TRUE(WaitUntil([&] { return pane().startsWith("Обмен попытки ["); }))
      << pane().toStdString();
  EXPECT_TRUE(
      pane().startsWith(QString::fromStdString("Обмен попытки [" + Endpoint + ",ModbusTCP,1]:")));
  // The request and the reply, in hex, each with its time.
  EXPECT_TRUE(pane().contains(
      QRegularExpression(R"(\d\d:\d\d:\d\d\.\d\d\d ---> \(size=\d+\) [0-9A-F]{2} )")))
      << pane().toStdString();
  EXPECT_TRUE(pane().contains(
      QRegularExpression(R"(\d\d:\d\d:\d\d\.\d\d\d <\S+ \(\S+=\d+\) [0-9A-F]{2} )")))
      << pane().toStdString();
  // A click on the error line of address 2 (current already: the list followed it) shows its
  // own attempt.
  const auto clickLine = [&](int Row) {
    QTest::mouseClick(f.lbSearchProtocol->viewport(), Qt::LeftButton, {},
                      f.lbSearchProtocol->visualRect(w->SearchProtocol()->index(Row)).center());
  };
  clickLine(1);
  ASSERT_TRUE(WaitUntil([&] { return pane().contains(",ModbusTCP,2]:"); })) << pane().toStdString();

  // Kept: the latest attempt only. The device's attempt is gone, and the pane says so.
  w->SetTrafficBounds(1, 1 << 20);
  QTest::mouseClick(f.btnStartSearch, Qt::LeftButton);
  ASSERT_TRUE(Finished(*w));
  EXPECT_EQ(w->Traffic().Count(), 1u);
  f.dbgrFoundDevices->setCurrentIndex(w->FoundDevices()->index(0, 0));
  EXPECT_TRUE(WaitUntil([&] { return pane().startsWith("Обмен этой попытки уже не хранится"); }))
      << pane().toStdString();
  clickLine(1);
  EXPECT_TRUE(WaitUntil([&] { return pane().contains(",ModbusTCP,2]:"); })) << pane().toStdString();
}

TEST_F(WorkingWindow, TheCsvNameCarriesTheSearchsDateAndTime) {
  Sim.AddDevice(Tcp, ModbusDevice(1));
  auto w = MakeWindow();
  const TDateTime before = NowDateTime();
  QTest::mouseClick(w->Form()->btnStartSearch, Qt::LeftButton);
  ASSERT_TRUE(Finished(*w));
  const std::string name = w->SuggestedCsvFileName();
  EXPECT_TRUE(QString::fromStdString(name).contains(
      QRegularExpression(R"(^найденные_приборы_\d{4}-\d\d-\d\d_\d{4}\.csv$)")))
      << name;
  const std::string at = FormatDateTime("yyyy-mm-dd_hhnn", before);
  const std::string after = FormatDateTime("yyyy-mm-dd_hhnn", NowDateTime());
  EXPECT_TRUE(name == "найденные_приборы_" + at + ".csv" ||
              name == "найденные_приборы_" + after + ".csv")
      << name;
}

}  // namespace
}  // namespace probrix
