// The found devices out of the window: the selected rows to the clipboard, all of them to a CSV
// file.

#include <QClipboard>
#include <QDir>
#include <QFileDialog>
#include <QGuiApplication>
#include <QSaveFile>
#include <algorithm>
#include <numeric>

#include "foundation/appDateTime.h"
#include "foundation/appExceptions.h"
#include "ui/fMain.h"
#include "ui/fMainModels.h"
#include "ui_fMain.h"

namespace probrix {

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
  dialog.selectFile(QString::fromStdString(SuggestedCsvFileName()));
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return;
  const QString path = dialog.selectedFiles().first();
  CsvFolder_ = QFileInfo(path).absolutePath().toStdString();
  SaveFoundDevices(path.toStdString());
}

std::string TfrmMain::SuggestedCsvFileName() const {
  return "найденные_приборы_" +
         FormatDateTime("yyyy-mm-dd_hhnn", Searched_ ? SearchStarted_ : NowDateTime()) + ".csv";
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
