// Whole searches from the window against simulated devices: rows, protocol lines, log files,
// stopping, closing during a search, and an address-list error reaching the operator.

#include <gtest/gtest.h>
#include <stdlib.h>

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QRegularExpression>
#include <QSpinBox>
#include <QTest>
#include <QTimer>
#include <condition_variable>
#include <mutex>

#include "SerialTestPty.h"
#include "UiTestSupport.h"
#include "devsim/devsimSimulator.h"
#include "foundation/appCodePage.h"
#include "foundation/appLogging.h"
#include "foundation/ioExceptions.h"
#include "support/TestSupport.h"
#include "ui/fMain.h"
#include "ui/fMainModels.h"
#include "ui/fQuestionBox.h"
#include "ui_fMain.h"
#include "ui_fQuestionBox.h"

namespace probrix {
namespace {

using uitest::WaitUntil;
using uitest::WhenModal;
namespace fs = std::filesystem;

devsim::TDeviceConfig Device(devsim::TDeviceKind Kind, int Address, int Type, int Version,
                             int Serial) {
  devsim::TDeviceConfig d;
  d.Kind = Kind;
  d.Address = Address;
  d.DeviceType = static_cast<std::uint8_t>(Type);
  d.FirmwareVersion = static_cast<std::uint16_t>(Version);
  d.SerialNumber = static_cast<std::uint32_t>(Serial);
  return d;
}

void SetAll(QListWidget* List, bool Checked) {
  for (int i = 0; i < List->count(); ++i)
    List->item(i)->setCheckState(Checked ? Qt::Checked : Qt::Unchecked);
}

void CheckOnly(QListWidget* List, const QString& Text) {
  for (int i = 0; i < List->count(); ++i)
    List->item(i)->setCheckState(List->item(i)->text() == Text ? Qt::Checked : Qt::Unchecked);
}

QStringList Lines(const TfrmMain& W) {
  QStringList lines;
  for (int i = 0; i < W.SearchProtocol()->rowCount(); ++i) lines << W.SearchProtocol()->Line(i);
  return lines;
}

// A window whose settings file lists Endpoints (checked) and whose port list holds Ports.
class SearchWindow : public ::testing::Test {
 protected:
  void TearDown() override { unsetenv("PROBRIX_EXTRA_PORTS"); }

  std::unique_ptr<TfrmMain> MakeWindow(const std::string& Ports, const std::string& Endpoints) {
    setenv("PROBRIX_EXTRA_PORTS", Ports.c_str(), 1);
    uitest::WriteFileBytes(Ini(), "[SearchParams]\r\nTCPConnections=\"" + Endpoints + "\"\r\n");
    auto w = std::make_unique<TfrmMain>(nullptr, Ini().string());
    auto& f = *w->Form();
    // Only the simulated ports: ports of this computer stay out of the test.
    SetAll(f.clbSerialPorts, false);
    for (const QString& port : QString::fromStdString(Ports).split(':', Qt::SkipEmptyParts))
      f.clbSerialPorts->findItems(port, Qt::MatchExactly).first()->setCheckState(Qt::Checked);
    CheckOnly(f.clbBaudRates, "9600");
    f.cbOrvatAscii->setChecked(false);
    f.seStartOfPacketReadTimeout->setValue(50);
    return w;
  }

  fs::path Ini() const { return Dir.Path() / "probrix.ini"; }
  test::TTempDir Dir;
  devsim::TSimulator Sim;
};

TEST_F(SearchWindow, WholeSearchFillsTheTableTheProtocolAndTheLogFiles) {
  const std::string port = Sim.AddSerialPort();
  Sim.AddDevice(port, [] {
    auto d = Device(devsim::TDeviceKind::dkOrvatbus, 2, 6, 421, 10234);
    d.Checksum = devsim::TChecksum::ckCrc8;
    return d;
  }());
  Sim.AddDevice(port, Device(devsim::TDeviceKind::dkModbus, 17, 16, 215, 4321));
  const std::uint16_t tcp = Sim.AddTcpServer();
  Sim.AddDevice(tcp, Device(devsim::TDeviceKind::dkModbus, 1, 206, 312, 20001));
  const std::string endpoint = "127.0.0.1:" + std::to_string(tcp);

  auto w = MakeWindow(port, endpoint + "=1");
  auto& f = *w->Form();
  f.cbModbusRTU->setChecked(true);
  f.cbModbusTCP->setChecked(true);
  f.edModbusAddresses->setText("1,17");
  f.cbSaveSearchLogs->setChecked(true);
  w->show();

  QTest::mouseClick(f.btnStartSearch, Qt::LeftButton);
  EXPECT_FALSE(f.btnStartSearch->isEnabled());
  EXPECT_TRUE(f.btnStopSearch->isEnabled());
  ASSERT_TRUE(WaitUntil([&] { return f.LProgress->text() == "Поиск завершен"; }, 30000))
      << f.LProgress->text().toStdString();
  EXPECT_TRUE(f.btnStartSearch->isEnabled());
  EXPECT_FALSE(f.btnStopSearch->isEnabled());
  EXPECT_FALSE(f.btnShowLogFolders->isHidden());  // search logs were on

  // Rows: the reported address, connection, type, protocol with checksum, identification.
  TFoundDevicesModel& rows = *w->FoundDevices();
  ASSERT_EQ(rows.rowCount(), 3) << Lines(*w).join('\n').toStdString();
  const auto row = [&](int r) {
    QStringList cells;
    for (int c = 0; c < TFoundDevicesModel::FieldCount; ++c) cells << rows.DisplayText(r, c);
    return cells;
  };
  const QString serial = QString::fromStdString(port) + ":9600";
  const QString tcpText = QString::fromStdString(endpoint);
  EXPECT_EQ(row(0),
            QStringList({"2", serial, "COM-порт", "Orvatbus (crc8)", "R221L9", "10234", "4.21"}));
  EXPECT_EQ(row(1), QStringList({"17", serial, "COM-порт", "ModbusRTU", "R4748", "4321", "2.15"}));
  EXPECT_EQ(row(2), QStringList({"1", tcpText, "TCP/IP", "ModbusTCP", "R7391", "20001", "3.12"}));
  EXPECT_EQ(rows.headerData(0, Qt::Horizontal).toString(), "Адрес");
  EXPECT_EQ(rows.headerData(2, Qt::Horizontal).toString(), "Тип подключения");

  // Lines: one per attempt, in plan order, the last one selected.
  const QStringList lines = Lines(*w);
  ASSERT_EQ(lines.size(), 10) << lines.join('\n').toStdString();
  const QString time = R"(^\d\d:\d\d:\d\d\.\d\d\d )";
  EXPECT_TRUE(lines[0].contains(QRegularExpression(
      time + QRegularExpression::escape("[" + serial + ",Orvatbus,95]: прибор найден") + "$")))
      << lines[0].toStdString();
  EXPECT_TRUE(lines[1].endsWith("[" + serial + ",ModbusRTU,1]: Нет ответа"))
      << lines[1].toStdString();
  EXPECT_TRUE(lines[2].endsWith("[" + serial + ",ModbusRTU,17]: прибор найден"));
  EXPECT_TRUE(lines[8].endsWith("[" + tcpText + ",ModbusTCP,1]: прибор найден"));
  EXPECT_EQ(f.lbSearchProtocol->currentIndex().row(), 9);
  EXPECT_EQ(f.LFoundDevices->text(), "Найдено приборов: 3");
  uitest::SaveScreenshot(w.get(), "search");

  // The result log gets every line (Windows-1251, CR LF), written by the background logger.
  const fs::path result = w->ResultLogFileName();
  EXPECT_EQ(result.parent_path(), fs::path(GetAppLogFolder()).parent_path());
  EXPECT_TRUE(result.filename().string().ends_with("__результаты_поиска.log"));
  const std::string expected = Utf8ToCp1251(lines.join("\r\n").toStdString());
  ASSERT_TRUE(WaitUntil([&] {
    return uitest::ReadFileBytes(result).starts_with(expected + "\r\n");
  })) << Cp1251ToUtf8(uitest::ReadFileBytes(result));
  // One attempt log per line, named after the attempt.
  std::string found, error;
  ASSERT_TRUE(WaitUntil([&] {
    for (const auto& e : fs::directory_iterator(GetAppLogFolder())) {
      const std::string name = e.path().filename().string();
      if (name.ends_with("_127.0.0.1_" + std::to_string(tcp) + "_ModbusTCP_1.log"))
        found = e.path();
      if (name.ends_with("#ttySIM0_9600_ModbusRTU_1.log") ||
          name.ends_with("_9600_ModbusRTU_1.log"))
        error = e.path();
    }
    return !found.empty() && !error.empty() && !uitest::ReadFileBytes(found).empty();
  })) << found
      << " / " << error;
  EXPECT_EQ(fs::path(error).filename().string().find('/'), std::string::npos);
  EXPECT_EQ(fs::path(found).filename().string().size(),
            std::string("hhnnss_zzz").size() + 1 + std::string("127.0.0.1_").size() +
                std::to_string(tcp).size() + std::string("_ModbusTCP_1.log").size());
}

TEST_F(SearchWindow, DevicesOfOtherMakersGetARowAfterTheirErrorLine) {
  const std::uint16_t tcp = Sim.AddTcpServer();
  auto acme = Device(devsim::TDeviceKind::dkModbus, 2, 0, 0, 0);
  acme.OtherMaker = true;
  acme.IdObjects = {{0, "ACME"}, {1, "PX-1"}, {2, "1.02"}};
  Sim.AddDevice(tcp, acme);
  auto unknown = Device(devsim::TDeviceKind::dkModbus, 3, 0, 0, 0);
  unknown.OtherMaker = true;
  Sim.AddDevice(tcp, unknown);
  const std::string endpoint = "127.0.0.1:" + std::to_string(tcp);

  auto w = MakeWindow("", endpoint + "=1");
  auto& f = *w->Form();
  f.cbOrvatbus->setChecked(false);
  f.cbModbusRTU->setChecked(false);
  f.cbModbusTCP->setChecked(true);
  f.edModbusAddresses->setText("2,3");
  f.cbSaveSearchLogs->setChecked(true);
  w->show();
  QTest::mouseClick(f.btnStartSearch, Qt::LeftButton);
  ASSERT_TRUE(WaitUntil([&] { return f.LProgress->text() == "Поиск завершен"; }, 30000));

  TFoundDevicesModel& rows = *w->FoundDevices();
  ASSERT_EQ(rows.rowCount(), 2) << Lines(*w).join('\n').toStdString();
  const QString tcpText = QString::fromStdString(endpoint);
  QStringList first, second;
  for (int c = 0; c < TFoundDevicesModel::FieldCount; ++c) {
    first << rows.DisplayText(0, c);
    second << rows.DisplayText(1, c);
  }
  EXPECT_EQ(first, QStringList({"2", tcpText, "TCP/IP", "ModbusTCP", "ACME PX-1", "", "1.02"}));
  EXPECT_EQ(second,
            QStringList({"3", tcpText, "TCP/IP", "ModbusTCP", "Неизвестный прибор", "", ""}));

  // The error line of the maker's identification stays; the device follows it.
  const QStringList lines = Lines(*w);
  ASSERT_EQ(lines.size(), 4) << lines.join('\n').toStdString();
  const QString at2 = "[" + tcpText + ",ModbusTCP,2]: ";
  EXPECT_TRUE(lines[0].endsWith(at2 + "Произошла ошибка при выполнении команды. Адрес данных, "
                                      "указанный в запросе, недоступен. Код ошибки: 0x02."))
      << lines[0].toStdString();
  EXPECT_TRUE(lines[1].endsWith(at2 + "прибор найден: ACME PX-1, версия 1.02"))
      << lines[1].toStdString();
  EXPECT_TRUE(lines[3].endsWith("[" + tcpText + ",ModbusTCP,3]: прибор найден: Неизвестный прибор"))
      << lines[3].toStdString();

  // One attempt log per attempt: the one written with the error line holds the identification.
  const std::string suffix = "_127.0.0.1_" + std::to_string(tcp) + "_ModbusTCP_";
  std::vector<fs::path> logs2, logs3;
  ASSERT_TRUE(WaitUntil([&] {
    logs2.clear();
    logs3.clear();
    for (const auto& e : fs::directory_iterator(GetAppLogFolder())) {
      const std::string name = e.path().filename().string();
      if (name.ends_with(suffix + "2.log")) logs2.push_back(e.path());
      if (name.ends_with(suffix + "3.log")) logs3.push_back(e.path());
    }
    return logs2.size() == 1 && logs3.size() == 1 && !uitest::ReadFileBytes(logs3[0]).empty();
  })) << logs2.size()
      << " / " << logs3.size();
  EXPECT_NE(uitest::ReadFileBytes(logs2[0]).find("VendorName \"ACME\""), std::string::npos);
}

TEST_F(SearchWindow, ConnectionsSearchedAtOnceShowEveryLineAndKeepTheSetting) {
  const std::string portA = Sim.AddSerialPort(), portB = Sim.AddSerialPort();
  Sim.AddDevice(portA, Device(devsim::TDeviceKind::dkModbus, 1, 16, 215, 101));
  Sim.AddDevice(portB, Device(devsim::TDeviceKind::dkModbus, 2, 16, 215, 202));
  const std::uint16_t tcp = Sim.AddTcpServer();
  Sim.AddDevice(tcp, Device(devsim::TDeviceKind::dkModbus, 1, 206, 312, 301));
  const QString endpoint = QString::fromStdString("127.0.0.1:" + std::to_string(tcp));

  auto w = MakeWindow(portA + ":" + portB, endpoint.toStdString() + "=1");
  auto& f = *w->Form();
  EXPECT_EQ(f.lblParallelConnections->text(), "Одновременно подключений:");
  EXPECT_EQ(f.seParallelConnections->minimum(), 1);
  EXPECT_EQ(f.seParallelConnections->maximum(), 32);
  f.cbOrvatbus->setChecked(false);
  f.cbModbusRTU->setChecked(true);
  f.cbModbusTCP->setChecked(true);
  f.edModbusAddresses->setText("1,2");
  f.seParallelConnections->setValue(3);
  w->show();
  QTest::mouseClick(f.btnStartSearch, Qt::LeftButton);
  ASSERT_TRUE(WaitUntil([&] { return f.LProgress->text() == "Поиск завершен"; }, 30000))
      << f.LProgress->text().toStdString();

  QStringList devices;
  for (int r = 0; r < w->FoundDevices()->rowCount(); ++r)
    devices << w->FoundDevices()->DisplayText(r, 1) + " " + w->FoundDevices()->DisplayText(r, 5);
  devices.sort();
  const QString a = QString::fromStdString(portA), b = QString::fromStdString(portB);
  QStringList expectedDevices({endpoint + " 301", a + ":9600 101", b + ":9600 202"});
  expectedDevices.sort();
  EXPECT_EQ(devices.join('\n').toStdString(), expectedDevices.join('\n').toStdString());
  // Every attempt has its line; each connection's lines come in the order of its own plan.
  const QStringList lines = Lines(*w);
  ASSERT_EQ(lines.size(), 12) << lines.join('\n').toStdString();
  for (const QString& connection : {a + ":9600", b + ":9600", endpoint}) {
    QStringList attempts;
    for (const QString& line : lines)
      if (line.contains("[" + connection + ","))
        attempts << line.section('[', 1).section(']', 0, 0).section(',', 1);
    EXPECT_EQ(attempts, QStringList({"ModbusRTU,1", "ModbusRTU,2", "ModbusTCP,1", "ModbusTCP,2"}))
        << connection.toStdString();
  }
  // The result log holds the same lines, each whole.
  const std::string expected = Utf8ToCp1251(lines.join("\r\n").toStdString()) + "\r\n";
  EXPECT_TRUE(WaitUntil([&] { return uitest::ReadFileBytes(w->ResultLogFileName()) == expected; }))
      << Cp1251ToUtf8(uitest::ReadFileBytes(w->ResultLogFileName()));

  EXPECT_TRUE(w->close());
  EXPECT_EQ(TIniFile(Ini()).ReadInteger("SearchParams", "ParallelConnections", 0), 3);
}

// A plan that would make no attempt is the operator's mistake: said like an address-list error,
// and nothing is searched or logged.
TEST_F(SearchWindow, ARangeIsSweptAndEachAddressWithoutAConnectionGetsOneLine) {
  const std::uint16_t tcp = Sim.AddTcpServer();
  Sim.AddDevice(tcp, Device(devsim::TDeviceKind::dkModbus, 1, 206, 312, 20001));
  // The simulator listens on 127.0.0.1 only: .2 and .3 refuse.
  const std::string port = std::to_string(tcp);
  const std::string range = "127.0.0.1-3:" + port;
  auto w = MakeWindow("", range + "=1");
  auto& f = *w->Form();
  ASSERT_EQ(f.clbTCPEndpoints->count(), 1);
  EXPECT_EQ(f.clbTCPEndpoints->item(0)->text().toStdString(), range);
  f.cbOrvatbus->setChecked(false);
  f.cbModbusTCP->setChecked(true);
  f.edModbusAddresses->setText("1");
  w->show();
  QTest::mouseClick(f.btnStartSearch, Qt::LeftButton);
  ASSERT_TRUE(WaitUntil([&] { return f.LProgress->text() == "Поиск завершен"; }, 30000))
      << f.LProgress->text().toStdString();

  const QStringList lines = Lines(*w);
  ASSERT_EQ(lines.size(), 3) << lines.join('\n').toStdString();
  for (int i = 0; i < 2; ++i)
    EXPECT_TRUE(lines[i].endsWith(
        QString::fromStdString("[127.0.0." + std::to_string(i + 2) + ":" + port +
                               "]: Нет TCP-подключения (в подключении отказано)")))
        << lines[i].toStdString();
  EXPECT_TRUE(lines[2].endsWith(
      QString::fromStdString("[127.0.0.1:" + port + ",ModbusTCP,1]: прибор найден")));
  ASSERT_EQ(w->FoundDevices()->rowCount(), 1);
  EXPECT_EQ(w->FoundDevices()->Row(0).ConnectionString, "127.0.0.1:" + port);
}

TEST_F(SearchWindow, NothingCheckedIsRefusedLikeAnAddressListError) {
  auto w = MakeWindow("", "");
  auto& f = *w->Form();
  SetAll(f.clbBaudRates, false);
  w->show();
  QString text;
  WhenModal<QMessageBox>([&](QMessageBox* B) {
    text = B->text();
    EXPECT_EQ(B->icon(), QMessageBox::Critical);
    B->accept();
  });
  QTest::mouseClick(f.btnStartSearch, Qt::LeftButton);
  EXPECT_TRUE(text.startsWith("Нечего искать")) << text.toStdString();
  EXPECT_FALSE(w->Searching());
  EXPECT_EQ(w->FoundDevices()->rowCount(), 0);
  EXPECT_EQ(w->SearchProtocol()->rowCount(), 0);
  EXPECT_FALSE(fs::exists(w->ResultLogFileName()));
  EXPECT_TRUE(f.btnShowLogFolders->isHidden());  // search logs were off
  EXPECT_TRUE(f.btnStartSearch->isEnabled());
  EXPECT_EQ(f.LFoundDevices->text(), "Найдено приборов: 0");
  EXPECT_FALSE(f.btnStopSearch->isEnabled());
}

TEST_F(SearchWindow, APortHeldByAnotherProgramIsNamedOnASecondLine) {
  test::TTestPty pty;
  test::TPtyHolderProcess holder(pty, false, true);  // and made exclusive
  auto w = MakeWindow(pty.SlavePath(), "");
  auto& f = *w->Form();
  f.cbOrvatbus->setChecked(false);
  f.cbModbusRTU->setChecked(true);
  f.edModbusAddresses->setText("1");
  w->show();
  QTest::mouseClick(f.btnStartSearch, Qt::LeftButton);
  ASSERT_TRUE(WaitUntil([&] { return f.LProgress->text() == "Поиск завершен"; }, 30000));

  const QString attempt = QString::fromStdString("[" + pty.SlavePath() + ":9600,ModbusRTU,1]: ");
  const QString reason = QString::fromStdString(
      "Порт " + pty.SlavePath() + " используется другой программой: " +
      test::TPtyHolderProcess::ProgramName + " (pid " + std::to_string(holder.Pid()) + ")");
  const QStringList lines = Lines(*w);
  ASSERT_EQ(lines.size(), 2) << lines.join('\n').toStdString();
  EXPECT_TRUE(lines[0].endsWith(attempt + "Ошибка открытия порта")) << lines[0].toStdString();
  EXPECT_TRUE(lines[1].endsWith(attempt + reason)) << lines[1].toStdString();
  const std::string expected = Utf8ToCp1251(lines.join("\r\n").toStdString() + "\r\n");
  EXPECT_TRUE(WaitUntil([&] { return uitest::ReadFileBytes(w->ResultLogFileName()) == expected; }))
      << Cp1251ToUtf8(uitest::ReadFileBytes(w->ResultLogFileName()));
}

// An error that ends the run early (here: a searcher that cannot be made) is not a finished
// search: the label, the protocol list, the result log and a message box say so.
TEST_F(SearchWindow, RunEndingErrorReachesTheMessageBoxAndTheResultLog) {
  const TDeviceSearcherFactory previous =
      SetDeviceSearcherFactory([](const std::string&, std::int32_t, TDeviceProtocol,
                                  TConnectionType) -> std::unique_ptr<IDeviceSearcher> {
        throw EConnectionCloseError::Create("[TcpAddr=h;TcpPort=1] Ошибка закрытия");
      });
  auto w = MakeWindow("", "10.255.255.1:502=1");
  auto& f = *w->Form();
  w->show();
  QString text;
  WhenModal<QMessageBox>(
      [&](QMessageBox* B) {
        text = B->text();
        B->accept();
      },
      10000);
  QTest::mouseClick(f.btnStartSearch, Qt::LeftButton);
  const bool shown = WaitUntil([&] { return !text.isEmpty(); });
  SetDeviceSearcherFactory(previous);
  ASSERT_TRUE(shown);
  EXPECT_TRUE(text.startsWith("Поиск прерван ошибкой: ")) << text.toStdString();
  EXPECT_TRUE(text.contains("Ошибка закрытия")) << text.toStdString();
  EXPECT_EQ(f.LProgress->text(), "Ошибка поиска");
  EXPECT_FALSE(w->Searching());
  ASSERT_EQ(w->SearchProtocol()->rowCount(), 1);
  EXPECT_TRUE(w->SearchProtocol()->Line(0).contains("Поиск прерван ошибкой: "));
  FlushThreadLog();
  EXPECT_NE(
      uitest::ReadFileBytes(w->ResultLogFileName()).find(Utf8ToCp1251("Поиск прерван ошибкой")),
      std::string::npos);
}

// A TCP server whose Modbus unit never answers: a search over 248 addresses that lasts.
class LongSearch : public SearchWindow {
 protected:
  std::unique_ptr<TfrmMain> Start() {
    const std::uint16_t tcp = Sim.AddTcpServer();
    auto d = Device(devsim::TDeviceKind::dkModbus, 1, 1, 1, 1);
    d.Behaviour.Silent = true;
    Sim.AddDevice(tcp, d);
    auto w = MakeWindow("", "127.0.0.1:" + std::to_string(tcp) + "=1");
    auto& f = *w->Form();
    f.cbOrvatbus->setChecked(false);
    f.cbModbusTCP->setChecked(true);
    w->show();
    QTest::mouseClick(f.btnStartSearch, Qt::LeftButton);
    EXPECT_TRUE(WaitUntil([&] { return w->SearchProtocol()->rowCount() >= 1; }));
    return w;
  }
};

TEST_F(LongSearch, StopShowsStoppedUntilTheTaskHasEnded) {
  auto w = Start();
  auto& f = *w->Form();
  ASSERT_TRUE(w->Searching());
  EXPECT_TRUE(f.LProgress->text().startsWith("127.0.0.1:")) << f.LProgress->text().toStdString();
  EXPECT_TRUE(f.LProgress->text().contains("\nПротокол: ModbusTCP\nАдрес: "))
      << f.LProgress->text().toStdString();
  QTest::mouseClick(f.btnStopSearch, Qt::LeftButton);
  EXPECT_EQ(f.LProgress->text(), "Поиск остановлен");
  // Neither button applies while the task ends; its finished event frees it.
  EXPECT_FALSE(f.btnStartSearch->isEnabled());
  EXPECT_FALSE(f.btnStopSearch->isEnabled());
  ASSERT_TRUE(WaitUntil([&] { return !w->Searching(); }));
  EXPECT_TRUE(f.btnStartSearch->isEnabled());
  EXPECT_FALSE(f.btnStopSearch->isEnabled());
  EXPECT_EQ(f.LProgress->text(), "Поиск остановлен");  // not overwritten by the finished event
  EXPECT_LT(w->SearchProtocol()->rowCount(), 248);
  EXPECT_TRUE(w->SearchProtocol()->Line(0).endsWith(",ModbusTCP,0]: Нет ответа"));
}

// A searcher whose attempt takes no notice of a stop until the test lets it go, so that the
// task is still ending while the window is watched.
class TStubbornSearcher final : public IDeviceSearcher {
 public:
  struct TGate {
    std::mutex Lock;
    std::condition_variable Changed;
    bool Entered = false;
    bool Released = false;
  };
  explicit TStubbornSearcher(TGate& Gate) : Gate_(Gate) {}
  ILogStrings* Log() const override { return nullptr; }
  void SetLog(ILogStrings*) override {}
  std::int32_t ReadTimeout() const override { return 0; }
  void SetReadTimeout(std::int32_t) override {}
  std::int32_t RequestRetryCount() const override { return 0; }
  void SetRequestRetryCount(std::int32_t) override {}
  std::int32_t StartOfPacketReadTimeout() const override { return 0; }
  void SetStartOfPacketReadTimeout(std::int32_t) override {}
  void Search(std::uint8_t, TDeviceInfo&) override {
    std::unique_lock lock(Gate_.Lock);
    Gate_.Entered = true;
    Gate_.Changed.notify_all();
    Gate_.Changed.wait(lock, [this] { return Gate_.Released; });
    throw ETimeoutError::Create("released");
  }

 private:
  TGate& Gate_;
};

class StubbornSearch : public SearchWindow {
 protected:
  void SetUp() override {
    Previous_ = SetDeviceSearcherFactory(
        [this](const std::string&, std::int32_t, TDeviceProtocol, TConnectionType) {
          return std::make_unique<TStubbornSearcher>(Gate_);
        });
  }
  void TearDown() override {
    Release();
    SetDeviceSearcherFactory(Previous_);
    SearchWindow::TearDown();
  }
  std::unique_ptr<TfrmMain> Start() {
    auto w = MakeWindow("", "127.0.0.1:9=1");
    w->Form()->cbOrvatbus->setChecked(false);
    w->Form()->cbModbusTCP->setChecked(true);
    w->show();
    QTest::mouseClick(w->Form()->btnStartSearch, Qt::LeftButton);
    std::unique_lock lock(Gate_.Lock);
    EXPECT_TRUE(
        Gate_.Changed.wait_for(lock, std::chrono::seconds(5), [&] { return Gate_.Entered; }));
    return w;
  }
  void Release() {
    std::lock_guard guard(Gate_.Lock);
    Gate_.Released = true;
    Gate_.Changed.notify_all();
  }

  TStubbornSearcher::TGate Gate_;
  TDeviceSearcherFactory Previous_;
};

TEST_F(StubbornSearch, StopNeverWaitsForTheWorker) {
  auto w = Start();
  auto& f = *w->Form();
  QTest::mouseClick(f.btnStopSearch, Qt::LeftButton);
  EXPECT_EQ(f.LProgress->text(), "Поиск остановлен");
  EXPECT_FALSE(f.btnStartSearch->isEnabled());
  // The event loop runs on while the attempt still holds the worker.
  bool fired = false;
  QTimer::singleShot(0, [&] { fired = true; });
  ASSERT_TRUE(WaitUntil([&] { return fired; }));
  EXPECT_TRUE(w->Searching());
  Release();
  ASSERT_TRUE(WaitUntil([&] { return !w->Searching(); }));
  EXPECT_TRUE(f.btnStartSearch->isEnabled());
  EXPECT_EQ(f.LProgress->text(), "Поиск остановлен");
}

TEST_F(StubbornSearch, ClosingWithYesNeverWaitsForTheWorker) {
  auto w = Start();
  WhenModal<TfrmQuestionBox>([&](TfrmQuestionBox* B) { QTest::keyClick(B, Qt::Key_L); });  // Yes
  EXPECT_TRUE(w->close());
  EXPECT_FALSE(w->isVisible());
  EXPECT_TRUE(w->Searching());  // the attempt still holds the worker: the close did not wait
  EXPECT_EQ(w->Form()->LProgress->text(), "Поиск остановлен");
  Release();
  ASSERT_TRUE(WaitUntil([&] { return !w->Searching(); }));
}

TEST_F(LongSearch, ClosingAsksAndOnlyYesCloses) {
  auto w = Start();
  QString caption, question;
  WhenModal<TfrmQuestionBox>([&](TfrmQuestionBox* B) {
    caption = B->windowTitle();
    question = B->Form()->LQuestion->text();
    EXPECT_TRUE(B->tmrSetTopMost()->isActive());
    EXPECT_EQ(B->parentWidget(), w.get());
    QTest::keyClick(B, Qt::Key_Y);  // No
  });
  EXPECT_FALSE(w->close());
  EXPECT_EQ(caption, "Завершеие работы");
  EXPECT_EQ(question, "Прервать поиск и выйти из програмы?");
  EXPECT_TRUE(w->isVisible());
  EXPECT_TRUE(w->Searching());
  EXPECT_FALSE(fs::exists(Ini()) &&
               uitest::ReadFileBytes(Ini()).find("Protocols") != std::string::npos);

  WhenModal<TfrmQuestionBox>([&](TfrmQuestionBox* B) { QTest::keyClick(B, Qt::Key_L); });  // Yes
  EXPECT_TRUE(w->close());
  EXPECT_TRUE(WaitUntil([&] { return !w->Searching(); }));
  EXPECT_NE(uitest::ReadFileBytes(Ini()).find("Protocols=\"Orvatbus=0,ModbusRTU=0,ModbusTCP=1"),
            std::string::npos);
}

TEST_F(SearchWindow, ClosingWithoutASearchDoesNotAsk) {
  auto w = MakeWindow("", "");
  w->show();
  EXPECT_TRUE(w->close());
}

TEST_F(SearchWindow, AddressListErrorIsShownAndTheButtonsAreRestored) {
  auto w = MakeWindow("", "");
  auto& f = *w->Form();
  f.cbSearchSingleOrvatbusDevice->setChecked(false);
  f.edOrvatbusAddresses->setText("1-x");
  w->show();
  QString title, text;
  WhenModal<QMessageBox>([&](QMessageBox* B) {
    title = B->windowTitle();
    text = B->text();
    EXPECT_EQ(B->icon(), QMessageBox::Critical);
    B->accept();
  });
  QTest::mouseClick(f.btnStartSearch, Qt::LeftButton);
  EXPECT_EQ(text, "Задан ошибочный адрес или диапазон (1-x) в списке адресов (1-x)");
  EXPECT_EQ(title, "Поиск приборов ТЕЛУРИКС");
  EXPECT_FALSE(w->Searching());
  EXPECT_TRUE(f.btnStartSearch->isEnabled());
  EXPECT_FALSE(f.btnStopSearch->isEnabled());
  EXPECT_EQ(w->SearchProtocol()->rowCount(), 0);
}

}  // namespace
}  // namespace probrix
