// The settings file: read at start-up, written back when the window closes, in Windows-1251
// with CR LF, list values in one pair of quotes.

#include <gtest/gtest.h>
#include <stdlib.h>

#include <QCheckBox>
#include <QGroupBox>
#include <QLineEdit>
#include <QListWidget>
#include <QSpinBox>
#include <QTableView>

#include "UiTestSupport.h"
#include "connections/uSerialPort.h"
#include "foundation/appCodePage.h"
#include "support/TestSupport.h"
#include "ui/fMain.h"
#include "ui/fMainModels.h"
#include "ui_fMain.h"

namespace probrix {
namespace {

class SettingsFile : public ::testing::Test {
 protected:
  void SetUp() override { setenv("PROBRIX_EXTRA_PORTS", "/tmp/ui-set/ttyA:/tmp/ui-set/ttyB", 1); }
  void TearDown() override { unsetenv("PROBRIX_EXTRA_PORTS"); }
  std::filesystem::path Ini() const { return Dir.Path() / "probrix.ini"; }
  test::TTempDir Dir;
};

// The ports of this computer (if any) come before or after the simulated ones and are new,
// so checked; the simulated ones keep the stored states.
std::string ExpectedSerialPorts() {
  std::vector<std::string> names;
  TSerialPort::GetPortNames(names);
  std::string value = "\"";
  for (const std::string& name : names) {
    if (value.size() > 1) value += ",";
    value += name + (name == "/tmp/ui-set/ttyA" ? "=0" : "=1");
  }
  return value + "\"";
}

TEST_F(SettingsFile, WrittenBackByteForByteInWindows1251) {
  const std::string before =
      "[SearchParams]\r\n"
      "SerialPorts=\"/tmp/ui-set/ttyA=0,/tmp/ui-set/ttyGONE=1,/tmp/ui-set/ttyB=1\"\r\n"
      "BaudRates=\"1200=1,9600=0,115200=1\"\r\n"
      "TCPConnections=\"\"стенд 2:4001=1\",10.0.0.5:502=0\"\r\n"
      "Protocols=\"Orvatbus=0,Modbus=1,ModbusTCP=1,OrvatASCII=0\"\r\n"
      "SearchSingleOrvatbusDevice=0\r\n"
      "OrvatbusAddresses=1-3,7\r\n"
      "ModbusAddresses=17\r\n"
      "RequestRetryCount=3\r\n"
      "StartOfPacketReadTimeout=150\r\n"
      "WritePacketTimeout=250\r\n"
      "SaveSearchLogs=1\r\n"
      "ParallelConnections=4\r\n"
      "[FormPlacement]\r\n"
      "Left=40\r\n"
      "Top=30\r\n";
  uitest::WriteFileBytes(Ini(), Utf8ToCp1251(before));
  {
    TfrmMain w(nullptr, Ini().string());
    auto& f = *w.Form();
    // Read: a port that is gone is ignored, the endpoint with a blank survives, the old key
    // "Modbus" checks ModbusRTU.
    ASSERT_EQ(f.clbTCPEndpoints->count(), 2);
    EXPECT_EQ(f.clbTCPEndpoints->item(0)->text(), "стенд 2:4001");
    EXPECT_EQ(f.clbTCPEndpoints->item(0)->checkState(), Qt::Checked);
    EXPECT_EQ(f.clbTCPEndpoints->item(1)->checkState(), Qt::Unchecked);
    EXPECT_FALSE(f.cbOrvatbus->isChecked());
    EXPECT_TRUE(f.cbModbusRTU->isChecked());
    EXPECT_TRUE(f.cbModbusTCP->isChecked());
    EXPECT_FALSE(f.cbOrvatAscii->isChecked());
    EXPECT_FALSE(f.cbSearchSingleOrvatbusDevice->isChecked());
    EXPECT_FALSE(f.cbSearchSingleOrvatbusDevice->isEnabled());  // Orvatbus is off
    EXPECT_FALSE(f.edOrvatbusAddresses->isEnabled());
    EXPECT_TRUE(f.edModbusAddresses->isEnabled());
    EXPECT_EQ(f.edOrvatbusAddresses->text(), "1-3,7");
    EXPECT_EQ(f.edModbusAddresses->text(), "17");
    EXPECT_EQ(f.seStartOfPacketReadTimeout->value(), 150);
    EXPECT_EQ(w.RequestRetryCount(), 3);
    EXPECT_EQ(w.WritePacketTimeout(), 250);
    EXPECT_TRUE(f.cbSaveSearchLogs->isChecked());
    EXPECT_EQ(f.seParallelConnections->value(), 4);
    EXPECT_TRUE(w.close());
  }
  const std::string after =
      "[SearchParams]\r\n"
      "SerialPorts=" +
      ExpectedSerialPorts() +
      "\r\n"
      "BaudRates=\"1200=1,2400=0,4800=0,9600=0,19200=0,38400=0,57600=0,115200=1\"\r\n"
      "TCPConnections=\"\"стенд 2:4001=1\",10.0.0.5:502=0\"\r\n"
      "Protocols=\"Orvatbus=0,ModbusRTU=1,ModbusTCP=1,OrvatASCII=0\"\r\n"
      "SearchSingleOrvatbusDevice=0\r\n"
      "OrvatbusAddresses=1-3,7\r\n"
      "ModbusAddresses=17\r\n"
      "RequestRetryCount=3\r\n"
      "StartOfPacketReadTimeout=150\r\n"
      "WritePacketTimeout=250\r\n"
      "SaveSearchLogs=1\r\n"
      "ParallelConnections=4\r\n"
      "[FormPlacement]\r\n"
      "Left=40\r\n"
      "Top=30\r\n"
      "Width=715\r\n"
      "Height=582\r\n"
      "Maximized=0\r\n";
  EXPECT_EQ(uitest::ReadFileBytes(Ini()), Utf8ToCp1251(after));
}

TEST_F(SettingsFile, MissingFileGivesDefaultsAndClosingWritesEveryKey) {
  {
    TfrmMain w(nullptr, Ini().string());
    EXPECT_EQ(w.Form()->clbTCPEndpoints->count(), 0);
    EXPECT_FALSE(w.Form()->cbSaveSearchLogs->isChecked());
    EXPECT_EQ(w.Form()->seParallelConnections->value(), 1);
    w.Form()->seStartOfPacketReadTimeout->setValue(370);
    EXPECT_TRUE(w.close());
  }
  const TIniFile ini(Ini());
  EXPECT_EQ(
      ini.ReadSection("SearchParams"),
      (std::vector<std::string>{"SerialPorts", "BaudRates", "TCPConnections", "Protocols",
                                "SearchSingleOrvatbusDevice", "OrvatbusAddresses",
                                "ModbusAddresses", "RequestRetryCount", "StartOfPacketReadTimeout",
                                "WritePacketTimeout", "SaveSearchLogs", "ParallelConnections"}));
  EXPECT_EQ(ini.ReadRawString("SearchParams", "Protocols", ""),
            "\"Orvatbus=1,ModbusRTU=0,ModbusTCP=0,OrvatASCII=1\"");
  EXPECT_EQ(ini.ReadRawString("SearchParams", "TCPConnections", "?"), "\"\"");
  EXPECT_EQ(ini.ReadInteger("SearchParams", "StartOfPacketReadTimeout", 0), 370);
  EXPECT_EQ(ini.ReadString("SearchParams", "SaveSearchLogs", ""), "0");
  EXPECT_EQ(ini.ReadString("SearchParams", "ParallelConnections", ""), "1");
  EXPECT_TRUE(ini.ValueExists("FormPlacement", "Left"));
}

TEST_F(SettingsFile, AResizedWindowIsRestoredAtItsSize) {
  const auto heights = [](TfrmMain& W) {
    QCoreApplication::sendPostedEvents(nullptr, QEvent::LayoutRequest);
    auto& f = *W.Form();
    return std::vector<int>{f.gbSearchParams->height(), f.dbgrFoundDevices->height(),
                            f.lbSearchProtocol->height()};
  };
  {
    TfrmMain w(nullptr, Ini().string());
    EXPECT_EQ(w.minimumSize(), QSize(715, 582));
    EXPECT_EQ(w.maximumSize(), QSize(QWIDGETSIZE_MAX, QWIDGETSIZE_MAX));
    w.show();
    const std::vector<int> before = heights(w);
    w.resize(780, 596);
    const std::vector<int> after = heights(w);
    // The results take the extra room, the search parameters do not.
    EXPECT_EQ(after[0], before[0]);
    EXPECT_EQ(after[1] + after[2], before[1] + before[2] + 596 - 582);
    EXPECT_TRUE(w.close());
  }
  const TIniFile ini(Ini());
  EXPECT_EQ(ini.ReadInteger("FormPlacement", "Width", 0), 780);
  EXPECT_EQ(ini.ReadInteger("FormPlacement", "Height", 0), 596);
  EXPECT_EQ(TfrmMain(nullptr, Ini().string()).size(), QSize(780, 596));

  // A stored size below the designed one is raised to it.
  uitest::WriteFileBytes(Ini(), "[FormPlacement]\r\nWidth=100\r\nHeight=-5\r\n");
  EXPECT_EQ(TfrmMain(nullptr, Ini().string()).size(), QSize(715, 582));
}

TEST_F(SettingsFile, ModbusRtuPairWinsOverTheOldKeyAndMalformedValuesAreIgnored) {
  uitest::WriteFileBytes(Ini(),
                         "[SearchParams]\r\n"
                         "Protocols=\"Modbus=1,ModbusRTU=0\"\r\n"
                         "BaudRates=\"\"\"\r\n"
                         "StartOfPacketReadTimeout=abc\r\n"
                         "ParallelConnections=99\r\n");
  TfrmMain w(nullptr, Ini().string());
  auto& f = *w.Form();
  EXPECT_FALSE(f.cbModbusRTU->isChecked());
  EXPECT_TRUE(f.cbOrvatbus->isChecked());  // no pair: the default stays
  EXPECT_EQ(f.clbBaudRates->item(3)->checkState(), Qt::Checked);
  EXPECT_EQ(f.seStartOfPacketReadTimeout->value(), 200);
  EXPECT_EQ(f.seParallelConnections->value(), 32) << "the spin box's largest value";
}

// Numbers past their ranges are taken as the spin box takes them, and the protocol list says
// so once per key; the settings written back are the ones in use.
TEST_F(SettingsFile, OutOfRangeNumbersAreClampedWithANotice) {
  uitest::WriteFileBytes(Ini(),
                         "[SearchParams]\r\n"
                         "RequestRetryCount=2147483647\r\n"
                         "StartOfPacketReadTimeout=0\r\n"
                         "WritePacketTimeout=250\r\n");
  {
    TfrmMain w(nullptr, Ini().string());
    EXPECT_EQ(w.Form()->seStartOfPacketReadTimeout->value(), 10);
    EXPECT_EQ(w.RequestRetryCount(), 100);
    EXPECT_EQ(w.WritePacketTimeout(), 250);
    ASSERT_EQ(w.SearchProtocol()->rowCount(), 2);
    EXPECT_TRUE(w.SearchProtocol()->Line(0).contains("RequestRetryCount=2147483647"));
    EXPECT_TRUE(w.SearchProtocol()->Line(1).contains(
        "StartOfPacketReadTimeout=0: допустимы значения от 10 до 10000; взято 10"))
        << w.SearchProtocol()->Line(1).toStdString();
    EXPECT_TRUE(w.close());
  }
  const TIniFile ini(Ini());
  EXPECT_EQ(ini.ReadInteger("SearchParams", "StartOfPacketReadTimeout", 0), 10);
  EXPECT_EQ(ini.ReadInteger("SearchParams", "RequestRetryCount", 0), 100);
}

// A value that cannot be read keeps the window's default, as before, but no longer in silence:
// one line per key, beside the line of a number out of range.
TEST_F(SettingsFile, UnreadableValuesKeepTheDefaultsWithANotice) {
  uitest::WriteFileBytes(Ini(),
                         "[SearchParams]\r\n"
                         "Protocols=\"Bogus=1,ModbusTCP=1\"\r\n"
                         "RequestRetryCount=500\r\n"
                         "StartOfPacketReadTimeout=abc\r\n");
  {
    TfrmMain w(nullptr, Ini().string());
    EXPECT_EQ(w.Form()->seStartOfPacketReadTimeout->value(), 200);
    EXPECT_TRUE(w.Form()->cbModbusTCP->isChecked());
    EXPECT_TRUE(w.Form()->cbOrvatbus->isChecked()) << "the default stays";
    ASSERT_EQ(w.SearchProtocol()->rowCount(), 3);
    EXPECT_TRUE(w.SearchProtocol()->Line(0).contains(
        "Файл настроек: Protocols: неизвестный протокол (Bogus); пропущено"))
        << w.SearchProtocol()->Line(0).toStdString();
    EXPECT_TRUE(w.SearchProtocol()->Line(1).contains(
        "Файл настроек: StartOfPacketReadTimeout=abc: не число; взято 200"))
        << w.SearchProtocol()->Line(1).toStdString();
    EXPECT_TRUE(w.SearchProtocol()->Line(2).contains("RequestRetryCount=500"));
    EXPECT_TRUE(w.close());
  }
  const TIniFile ini(Ini());
  EXPECT_EQ(ini.ReadString("SearchParams", "StartOfPacketReadTimeout", ""), "200");
  EXPECT_EQ(ini.ReadString("SearchParams", "Protocols", ""),
            "Orvatbus=1,ModbusRTU=0,ModbusTCP=1,OrvatASCII=1");
}

// "Формат линии": the window's four formats, 8N1 ticked; a format of the file that the window
// does not list is added, an unknown one is said once and left out; the ticked ones are
// written back in the list's order.
TEST_F(SettingsFile, LineFormatsCheckList) {
  {
    TfrmMain w(nullptr, Ini().string());
    const QListWidget* list = w.Form()->clbLineFormats;
    ASSERT_EQ(list->count(), 4);
    for (int i = 0; i < list->count(); ++i)
      EXPECT_EQ(list->item(i)->checkState(), i == 0 ? Qt::Checked : Qt::Unchecked)
          << list->item(i)->text().toStdString();
    EXPECT_EQ(list->item(3)->text(), "8N2");
    EXPECT_TRUE(w.close());
  }
  EXPECT_FALSE(TIniFile(Ini()).ValueExists("SearchParams", "LineFormats"));

  uitest::WriteFileBytes(Ini(), "[SearchParams]\r\nLineFormats=8O2,8E1,7N1\r\n");
  {
    TfrmMain w(nullptr, Ini().string());
    QListWidget* list = w.Form()->clbLineFormats;
    ASSERT_EQ(list->count(), 5);
    EXPECT_EQ(list->item(4)->text(), "8O2");
    std::string ticked;
    for (int i = 0; i < list->count(); ++i)
      if (list->item(i)->checkState() == Qt::Checked) ticked += list->item(i)->text().toStdString();
    EXPECT_EQ(ticked, "8E18O2");
    ASSERT_EQ(w.SearchProtocol()->rowCount(), 1);
    EXPECT_TRUE(w.SearchProtocol()->Line(0).contains(
        "LineFormats: неизвестный формат линии (7N1); пропущено"))
        << w.SearchProtocol()->Line(0).toStdString();
    list->item(3)->setCheckState(Qt::Checked);
    EXPECT_TRUE(w.close());
  }
  EXPECT_EQ(TIniFile(Ini()).ReadString("SearchParams", "LineFormats", ""), "8E1,8N2,8O2");
}

}  // namespace
}  // namespace probrix
