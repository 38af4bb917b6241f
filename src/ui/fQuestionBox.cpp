#include "ui/fQuestionBox.h"

#include <QCloseEvent>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QScreen>
#include <QStyle>
#include <QTimer>
#include <algorithm>
#include <vector>

#include "ui/uApplication.h"
#include "ui_fQuestionBox.h"

namespace probrix {

namespace {

constexpr char TagProperty[] = "Tag";
constexpr int ButtonGap = 40;
constexpr int ButtonBottom = 10;

// The physical key that carries a letter, whatever the layout: the Latin letter of the key,
// the Cyrillic letter the Russian layout puts there, or the key's own code where the window
// system reports one (X11 and Wayland key codes: evdev code + 8).
bool IsPhysicalKey(const QKeyEvent& Key, int Latin, int Cyrillic, quint32 XkbKeyCode) {
  if (Key.key() == Latin || Key.key() == Cyrillic) return true;
  const QString platform = QGuiApplication::platformName();
  return (platform == "xcb" || platform.startsWith("wayland")) &&
         Key.nativeScanCode() == XkbKeyCode;
}

}  // namespace

TfrmQuestionBox::TfrmQuestionBox(QWidget* Owner)
    : QDialog(Owner), Ui_(std::make_unique<Ui::TfrmQuestionBox>()) {
  Ui_->setupUi(this);
  // A fixed border without title-bar buttons: no system menu, no close box.
  setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint);
  Ui_->Image->setPixmap(style()->standardIcon(QStyle::SP_MessageBoxQuestion).pixmap(48, 48));
  Ui_->btnNo->setProperty(TagProperty, int(qaNo));
  Ui_->btnYes->setProperty(TagProperty, int(qaYes));
  Ui_->btnCancel->setProperty(TagProperty, int(qaCancel));
  for (QPushButton* b : {Ui_->btnYes, Ui_->btnNo, Ui_->btnCancel})
    connect(b, &QPushButton::clicked, this, [this, b] { RunHandler([this, b] { btnClick(b); }); });
  tmrSetTopMost_ = new QTimer(this);
  tmrSetTopMost_->setObjectName("tmrSetTopMost");
  tmrSetTopMost_->setInterval(100);
  connect(tmrSetTopMost_, &QTimer::timeout, this,
          [this] { RunHandler([this] { tmrSetTopMostTimer(); }); });
  setFixedSize(DesignClientWidth, height());
}

TfrmQuestionBox::~TfrmQuestionBox() = default;

void TfrmQuestionBox::FormShow() {
  QLabel* q = Ui_->LQuestion;
  q->setWordWrap(false);
  q->adjustSize();
  if (q->width() > MaxQuestionWidth) {
    q->setWordWrap(true);
    q->resize(MaxQuestionWidth, q->heightForWidth(MaxQuestionWidth));
  }
  const int clientHeight = q->y() + std::max(q->height(), Ui_->Image->height()) + 45;
  const int clientWidth = std::max(q->x() + q->width() + ButtonGap, width());
  setFixedSize(clientWidth, clientHeight);

  std::vector<QPushButton*> shown;
  for (QPushButton* b : {Ui_->btnYes, Ui_->btnNo, Ui_->btnCancel})
    if (!b->isHidden()) shown.push_back(b);
  if (shown.empty()) return;
  const int buttonWidth = Ui_->btnYes->width();
  const int count = static_cast<int>(shown.size());
  int left = (clientWidth - count * buttonWidth - (count - 1) * ButtonGap) / 2;
  for (QPushButton* b : shown) {
    b->move(left, clientHeight - ButtonBottom - b->height());
    left = b->x() + b->width() + ButtonGap;
  }
}

bool TfrmQuestionBox::FormKeyDown(const QKeyEvent& Key) {
  QPushButton* button = nullptr;
  if (IsPhysicalKey(Key, Qt::Key_L, 0x0414, 46)) {  // Д of "&Да"
    button = Ui_->btnYes;
  } else if (IsPhysicalKey(Key, Qt::Key_Y, 0x041D, 29)) {  // Н of "&Нет"
    button = Ui_->btnNo;
  } else if (IsPhysicalKey(Key, Qt::Key_J, 0x041E, 44)) {  // О of "&Отмена"
    if (!Ui_->btnCancel->isHidden()) button = Ui_->btnCancel;
  }
  if (button == nullptr) return false;
  button->click();
  return true;
}

void TfrmQuestionBox::btnClick(QObject* Button) {
  Answer_ = static_cast<std::uint8_t>(Button->property(TagProperty).toInt());
  done(Answer_);
}

void TfrmQuestionBox::tmrSetTopMostTimer() {
  if (isVisible()) raise();
}

void TfrmQuestionBox::showEvent(QShowEvent* Event) {
  if (!Event->spontaneous()) {
    FormShow();
    // No button is the default, and the focus starts on "Нет": a stray Space or Return never
    // answers Yes. The focus frame is drawn from the start, as after a Tab.
    Ui_->btnNo->setFocus(Qt::OtherFocusReason);
    setAttribute(Qt::WA_KeyboardFocusChange);
  }
  QDialog::showEvent(Event);
}

void TfrmQuestionBox::closeEvent(QCloseEvent* Event) {
  if (!FormCloseQuery()) {
    Event->ignore();
    return;
  }
  QDialog::closeEvent(Event);
}

void TfrmQuestionBox::keyPressEvent(QKeyEvent* Event) {
  if (FormKeyDown(*Event)) {
    Event->accept();
    return;
  }
  QDialog::keyPressEvent(Event);
}

void TfrmQuestionBox::reject() {
  // Escape and other rejections are close requests too.
  if (FormCloseQuery()) QDialog::reject();
}

std::uint8_t ShowQuestion(const std::string& Caption, const std::string& Question, QWidget* Owner,
                          bool TopMost, TQuestionPosition Position) {
  QWidget* form = nullptr;
  for (QWidget* w = Owner; w != nullptr; w = w->parentWidget())
    if (w->isWindow()) form = w;
  if (form == nullptr) form = Owner;

  TfrmQuestionBox box(form);
  box.Form()->btnCancel->hide();
  box.setWindowTitle(QString::fromStdString(Caption));
  box.Form()->LQuestion->setText(QString::fromStdString(Question));
  if (TopMost) box.setWindowFlag(Qt::WindowStaysOnTopHint, true);
  switch (Position) {
    case TQuestionPosition::poOwnerFormCenter:
      break;  // a dialog with an owner is centred over it when shown
    case TQuestionPosition::poScreenCenter:
      box.FormShow();
      if (QScreen* screen = form ? form->screen() : QGuiApplication::primaryScreen()) {
        QRect r = box.frameGeometry();
        r.moveCenter(screen->availableGeometry().center());
        box.move(r.topLeft());
      }
      break;
    case TQuestionPosition::poDesigned:
      break;
  }
  if (TopMost) {
    box.tmrSetTopMost()->start();
  } else {
    box.tmrSetTopMost()->stop();
  }
  box.exec();
  return box.Answer();
}

}  // namespace probrix
