// The traffic pane under the protocol list: the exchange of the attempt behind the selected
// found device or protocol line (requests and replies in hex with their direction, time and the
// receiver's verdict), read from the window's store of recent attempts, and the list's filter.

#include <QComboBox>
#include <QFontDatabase>
#include <QItemSelectionModel>
#include <QPlainTextEdit>
#include <QSplitter>
#include <QTimer>

#include "foundation/appSysUtils.h"
#include "search/uSearchReport.h"
#include "ui/fMain.h"
#include "ui/fMainModels.h"
#include "ui_fMain.h"

namespace probrix {

namespace {

constexpr std::string_view NothingSelected =
    "Выберите найденный прибор или строку протокола: здесь будет показан обмен с прибором этой "
    "попытки.";
// The pane follows the newest line at most this often while a search runs.
constexpr int FollowingRefreshMs = 150;

}  // namespace

void TfrmMain::SetUpAttemptFrames() {
  auto& f = *Ui_;
  f.edAttemptFrames->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
  f.edAttemptFrames->setPlaceholderText(QString::fromUtf8(NothingSelected));
  f.splProtocol->setStretchFactor(0, 1);
  f.splProtocol->setStretchFactor(1, 1);

  tmrAttemptFrames_ = new QTimer(this);
  tmrAttemptFrames_->setSingleShot(true);
  connect(tmrAttemptFrames_, &QTimer::timeout, this, [this] { ShowAttemptFrames(); });
  connect(f.lbSearchProtocol->selectionModel(), &QItemSelectionModel::currentChanged, this,
          [this] { ScheduleAttemptFrames(TFramesSource::fsProtocol, !Following_); });
  connect(f.dbgrFoundDevices->selectionModel(), &QItemSelectionModel::currentChanged, this,
          [this] { ScheduleAttemptFrames(TFramesSource::fsFoundDevices, true); });
  // A click on the line or row that is already current shows its attempt as well.
  connect(f.lbSearchProtocol, &QAbstractItemView::clicked, this,
          [this] { ScheduleAttemptFrames(TFramesSource::fsProtocol, true); });
  connect(f.dbgrFoundDevices, &QAbstractItemView::clicked, this,
          [this] { ScheduleAttemptFrames(TFramesSource::fsFoundDevices, true); });

  connect(f.cbProtocolFilter, &QComboBox::currentIndexChanged, this, [this](int Index) {
    const TProtocolFilter filter = Index == 1   ? TProtocolFilter::pfFound
                                   : Index == 2 ? TProtocolFilter::pfErrors
                                                : TProtocolFilter::pfAll;
    SearchProtocol_->SetFilter(filter);
    // The filtered list starts at its end, following the newest line.
    const int rows = SearchProtocol_->rowCount();
    if (rows > 0) {
      Following_ = FramesSource_ != TFramesSource::fsProtocol;
      Ui_->lbSearchProtocol->setCurrentIndex(SearchProtocol_->index(rows - 1));
      Following_ = false;
    }
    Ui_->lbSearchProtocol->scrollToBottom();
    ScheduleAttemptFrames(TFramesSource::fsProtocol, false);
  });
}

void TfrmMain::ScheduleAttemptFrames(TFramesSource Source, bool ByOperator) {
  if (ByOperator) {
    FramesSource_ = Source;
    tmrAttemptFrames_->start(0);
    return;
  }
  if (Source != FramesSource_ || tmrAttemptFrames_->isActive()) return;
  tmrAttemptFrames_->start(FollowingRefreshMs);
}

void TfrmMain::ShowFramesText(const std::string& Title, const std::string& Text) {
  QString text = QString::fromStdString(Title.empty() ? Text : Title + "\n" + Text);
  text.replace("\r\n", "\n");
  Ui_->edAttemptFrames->setPlainText(text);
}

void TfrmMain::ShowAttemptFrames() {
  auto& f = *Ui_;
  tmrAttemptFrames_->stop();
  bool selected = false;
  std::uint64_t id = 0;
  if (FramesSource_ == TFramesSource::fsFoundDevices) {
    const QModelIndex at = f.dbgrFoundDevices->currentIndex();
    if (at.isValid() && at.row() < FoundDevices_->rowCount()) {
      selected = true;
      id = FoundDevices_->Row(at.row()).AttemptId;
    }
  } else {
    const QModelIndex at = f.lbSearchProtocol->currentIndex();
    if (at.isValid() && at.row() < SearchProtocol_->rowCount()) {
      selected = true;
      id = SearchProtocol_->AttemptId(at.row());
    }
  }
  if (!selected) {
    f.edAttemptFrames->clear();
    return;
  }
  if (id == 0) {
    ShowFramesText({}, "У этой строки нет обмена с прибором: ничего не отправлялось.");
    return;
  }
  const TKeptAttempt* kept = Traffic_.Find(id);
  if (kept == nullptr) {
    ShowFramesText(
        {}, Format("Обмен этой попытки уже не хранится: в памяти остается обмен последних %d "
                   "попыток (не более %d МБ). Чтобы сохранять обмен каждой попытки в файл, "
                   "отметьте \"Логировать процесс поиска\".",
                   {static_cast<std::int64_t>(Traffic_.MaxAttempts()),
                    static_cast<std::int64_t>(Traffic_.MaxBytes() >> 20)}));
    return;
  }
  const TSearchAttempt& a = kept->Attempt;
  const std::string title = Format(
      "Обмен попытки [%s,%s,%d]:",
      {SafeLogText(ConnectionPointText(a.ConnectionName, a.BaudRateOrPort, a.ConnectionType)),
       DeviceProtocolName(a.Protocol), a.Address});
  ShowFramesText(title, kept->Text.empty() ? "Попытка не оставила записей обмена." : kept->Text);
}

}  // namespace probrix
