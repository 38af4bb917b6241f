// A search's progress in the window: a bar over the plan's attempts with the attempts done of
// all, the time since the start and an estimate of the time left; the question before a plan
// whose worst case is long.

#include <QLabel>
#include <QProgressBar>
#include <QTimer>

#include "foundation/appSysUtils.h"
#include "ui/fMain.h"
#include "ui/fQuestionBox.h"
#include "ui_fMain.h"

namespace probrix {

bool TfrmMain::ConfirmLongSearch(const TPlanAttempts& Plan) {
  if (Plan.WorstCaseMs <= LongSearchMs) return true;
  const std::string question = Format("Поиск может продлиться до %d мин. Начать поиск?",
                                      {WorstCaseMinutes(Plan.WorstCaseMs)});
  return ShowQuestion("Долгий поиск", question, this, false,
                      TQuestionPosition::poOwnerFormCenter) == qaYes;
}

void TfrmMain::BeginProgress(const TPlanAttempts& Plan) {
  Progress_ = TSearchProgress(Plan);
  SearchClock_.start();
  SearchTimeMs_ = 0;
  tmrSearchTime_->start();
  ShowProgress();
  ShowSearchTime();
}

void TfrmMain::ShowProgress() {
  QProgressBar* bar = Ui_->pbSearchProgress;
  const std::int64_t done = Progress_.Done(), total = Progress_.Total();
  // The bar counts in thousandths: a plan may hold more attempts than the bar's int.
  bar->setRange(0, 1000);
  bar->setValue(total > 0 ? static_cast<int>(std::min<std::int64_t>(done, total) * 1000 / total)
                          : 0);
  const std::string text = Format("%d из %d", {done, total});
  QString format = QString::fromStdString(text);
  bar->setFormat(format.replace('%', "%%"));
  bar->setToolTip(QString::fromStdString("Попыток выполнено: " + text));
}

void TfrmMain::ShowSearchTime() {
  QLabel* label = Ui_->LSearchTime;
  if (!SearchClock_.isValid()) {
    label->clear();
    return;
  }
  if (Task_ == nullptr) {
    label->setText(QString::fromStdString("поиск длился " + DurationText(SearchTimeMs_)));
    return;
  }
  const std::int64_t elapsed = SearchClock_.elapsed();
  label->setText(
      QString::fromStdString(ElapsedAndLeftText(elapsed, Progress_.EstimateLeftMs(elapsed))));
}

}  // namespace probrix
