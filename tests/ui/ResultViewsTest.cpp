// The results area: the protocol list follows a long search, the grid's columns fit their
// titles and contents, sorting, copying and saving the rows.

#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QFileDialog>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QScrollBar>
#include <QStyle>
#include <QTableView>
#include <QTest>

#include "UiTestSupport.h"
#include "foundation/appExceptions.h"
#include "search/SearchTaskFakes.h"
#include "support/TestSupport.h"
#include "ui/fMain.h"
#include "ui/fMainModels.h"
#include "ui_fMain.h"

namespace probrix {
namespace {

namespace fs = std::filesystem;

class ResultViews : public ::testing::Test {
 protected:
  std::unique_ptr<TfrmMain> MakeWindow(const std::string& Settings = {}) {
    uitest::WriteFileBytes(Ini(), "[SearchParams]\r\n" + Settings);
    return std::make_unique<TfrmMain>(nullptr, Ini().string());
  }
  fs::path Ini() const { return Dir.Path() / "probrix.ini"; }
  test::TTempDir Dir;
};

TFoundDeviceRow Row(int Address, std::string Connection, std::string Type, int Serial) {
  return {Address, std::move(Connection), 0, "ModbusRTU", std::move(Type), Serial, "2.15"};
}

// The newest line lies whole inside the viewport, as the view lays it out.
bool LastLineShown(const QAbstractItemView& View) {
  const int rows = View.model()->rowCount();
  if (rows == 0) return true;
  const QModelIndex last = View.model()->index(rows - 1, 0);
  const QRect at = View.visualRect(last);
  return View.viewport()->rect().contains(at) && View.indexAt(at.center()) == last;
}

TEST_F(ResultViews, ProtocolListShowsItsNewestLineThroughoutALongSearch) {
  test::TSearchScript script;
  script.OnSearch = [](test::TFakeSearcher&, std::uint8_t, TDeviceInfo&) {
    throw EReadSOHTimeoutError::Create("Истек таймаут ожидания начала пакета (10 ms).");
  };
  test::TFakeSearcherFactory factory(script);
  auto w = MakeWindow("TCPConnections=\"127.0.0.1:1502=1\"\r\n");
  auto& f = *w->Form();
  for (int i = 0; i < f.clbSerialPorts->count(); ++i)
    f.clbSerialPorts->item(i)->setCheckState(Qt::Unchecked);
  f.cbOrvatbus->setChecked(false);
  f.cbOrvatAscii->setChecked(false);
  f.cbModbusTCP->setChecked(true);
  f.edModbusAddresses->setText("0-249,0-249,0-249,0-249");
  w->show();
  QTest::mouseClick(f.btnStartSearch, Qt::LeftButton);
  int looks = 0, missed = 0;
  ASSERT_TRUE(uitest::WaitUntil(
      [&] {
        ++looks;
        if (!LastLineShown(*f.lbSearchProtocol)) ++missed;
        return f.LProgress->text() == "Поиск завершен";
      },
      30000));
  ASSERT_EQ(w->SearchProtocol()->rowCount(), 1000);
  EXPECT_EQ(missed, 0) << "of " << looks << " looks during the search";
  EXPECT_TRUE(LastLineShown(*f.lbSearchProtocol));
  EXPECT_GT(f.lbSearchProtocol->verticalScrollBar()->maximum(), 0);
  // Lines are elided in the middle to the view's width: no sideways scrolling hides their end.
  EXPECT_EQ(f.lbSearchProtocol->textElideMode(), Qt::ElideMiddle);
  EXPECT_EQ(f.lbSearchProtocol->horizontalScrollBar()->maximum(), 0);
  EXPECT_LE(f.lbSearchProtocol->visualRect(f.lbSearchProtocol->currentIndex()).right(),
            f.lbSearchProtocol->viewport()->width());
}

TEST_F(ResultViews, ColumnsFitTheirTitlesAndTheirContents) {
  auto w = MakeWindow();
  auto& f = *w->Form();
  w->show();
  QHeaderView* columns = f.dbgrFoundDevices->horizontalHeader();
  const int headerMargin = columns->style()->pixelMetric(QStyle::PM_HeaderMargin);
  const int designed[TFoundDevicesModel::FieldCount] = {47, 94, 0, 0, 80, 0, 0};
  for (int c = 0; c < TFoundDevicesModel::FieldCount - 1; ++c) {  // the last one stretches
    const QString title = TFoundDevicesModel::ColumnTitle(c);
    EXPECT_GE(columns->sectionSize(c),
              columns->fontMetrics().horizontalAdvance(title) + 2 * headerMargin)
        << title.toStdString();
    EXPECT_GE(columns->sectionSize(c), designed[c]) << title.toStdString();
  }
  // A 21-character connection and the longest protocol text arrive: their columns widen.
  w->FoundDevices()->Append({1, "255.255.255.255:65535", 1, "Orvatbus (crc8)", "R221L9", 7, "1"});
  const int textMargin = f.dbgrFoundDevices->style()->pixelMetric(QStyle::PM_FocusFrameHMargin) + 1;
  for (int c : {TFoundDevicesModel::fldConnectionString, TFoundDevicesModel::fldProtocol}) {
    const QString text = w->FoundDevices()->DisplayText(0, c);
    const int room = columns->sectionSize(c) - 2 * textMargin - 1;
    EXPECT_EQ(f.dbgrFoundDevices->fontMetrics().elidedText(text, Qt::ElideRight, room), text);
  }
  // The sorted column also makes room for the sort mark.
  columns->setSortIndicator(TFoundDevicesModel::fldConnecionType, Qt::AscendingOrder);
  EXPECT_GE(columns->sectionSize(TFoundDevicesModel::fldConnecionType),
            columns->sectionSizeHint(TFoundDevicesModel::fldConnecionType));
}

TEST_F(ResultViews, ClickingATitleSortsAndASecondClickReverses) {
  auto w = MakeWindow();
  auto& f = *w->Form();
  w->show();
  TFoundDevicesModel& rows = *w->FoundDevices();
  for (int address : {10, 2, 1}) rows.Append(Row(address, "COM1:9600", "R4748", 100 - address));
  const auto addresses = [&] {
    QStringList shown;
    for (int r = 0; r < rows.rowCount(); ++r) shown << rows.DisplayText(r, 0);
    return shown.join(',');
  };
  EXPECT_EQ(addresses(), "10,2,1");  // the order found
  QHeaderView* columns = f.dbgrFoundDevices->horizontalHeader();
  const QPoint title(columns->sectionViewportPosition(0) + 5, columns->height() / 2);
  QTest::mouseClick(columns->viewport(), Qt::LeftButton, {}, title);
  EXPECT_EQ(addresses(), "1,2,10");  // as numbers, not as texts
  QTest::mouseClick(columns->viewport(), Qt::LeftButton, {}, title);
  EXPECT_EQ(addresses(), "10,2,1");
  // A device found later goes to its place in the sorted table; rows follow their data.
  rows.Append(Row(5, "COM2:9600", "R221L9", 4321));
  EXPECT_EQ(addresses(), "10,5,2,1");
  EXPECT_EQ(rows.DisplayText(1, TFoundDevicesModel::fldSerialNum), "4321");
}

TEST_F(ResultViews, CopyAndSaveAsGiveTheTitlesAndTheRows) {
  auto w = MakeWindow();
  auto& f = *w->Form();
  TFoundDevicesModel& rows = *w->FoundDevices();
  rows.Append(Row(2, "COM5:9600", "Прибор \"А\"; исп. 2", 10234));
  rows.Append({17, "10.0.0.5:502", 1, "ModbusTCP", "=HYPERLINK(\"x\")", {}, {}});
  rows.Append(Row(30, "COM6:9600", "R4748", 1));  // not selected
  w->show();
  ASSERT_TRUE(QTest::qWaitForWindowActive(w.get()));
  QTableView* grid = f.dbgrFoundDevices;
  grid->setFocus();
  grid->selectionModel()->select(rows.index(1, 0),
                                 QItemSelectionModel::Select | QItemSelectionModel::Rows);
  grid->selectionModel()->select(rows.index(0, 0),
                                 QItemSelectionModel::Select | QItemSelectionModel::Rows);
  QGuiApplication::clipboard()->clear();
  QTest::keyClick(grid, Qt::Key_C, Qt::ControlModifier);
  EXPECT_EQ(QGuiApplication::clipboard()->text(),
            "Адрес\tПодключение\tТип подключения\tПротокол\tТип прибора\tСер.номер\tВерсия "
            "прошивки\n"
            "2\tCOM5:9600\tCOM-порт\tModbusRTU\tПрибор \"А\"; исп. 2\t10234\t2.15\n"
            "17\t10.0.0.5:502\tTCP/IP\tModbusTCP\t=HYPERLINK(\"x\")\t\t\n");

  // The context menu holds both commands; "Сохранить как..." asks for a file and writes every
  // row, quoting what needs it and keeping a formula from running.
  EXPECT_EQ(grid->contextMenuPolicy(), Qt::ActionsContextMenu);
  EXPECT_EQ(grid->actions(), QList<QAction*>({f.acCopyFoundDevices, f.acSaveFoundDevices}));
  const fs::path csv = Dir.Path() / "приборы.csv";
  uitest::WhenModal<QFileDialog>([&](QFileDialog* D) {
    D->selectFile(QString::fromStdString(csv.string()));
    QMetaObject::invokeMethod(D, "accept");
  });
  f.acSaveFoundDevices->trigger();
  EXPECT_EQ(uitest::ReadFileBytes(csv),
            "\xEF\xBB\xBF"
            "Адрес;Подключение;Тип подключения;Протокол;Тип прибора;Сер.номер;Версия прошивки\r\n"
            "2;COM5:9600;COM-порт;ModbusRTU;\"Прибор \"\"А\"\"; исп. 2\";10234;2.15\r\n"
            "17;10.0.0.5:502;TCP/IP;ModbusTCP;\"'=HYPERLINK(\"\"x\"\")\";;\r\n"
            "30;COM6:9600;COM-порт;ModbusRTU;R4748;1;2.15\r\n");
  // A file that cannot be written is an error, never a silent success.
  EXPECT_THROW(w->SaveFoundDevices((Dir.Path() / "нет" / "x.csv").string()), EInOutError);
}

}  // namespace
}  // namespace probrix
