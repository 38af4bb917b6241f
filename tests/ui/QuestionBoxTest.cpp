// The question box: layout, answers by button and by key, refused close requests.

#include <gtest/gtest.h>

#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
#include <QStyle>
#include <QStyleOptionButton>
#include <QTest>
#include <QTimer>

#include "UiTestSupport.h"
#include "ui/fQuestionBox.h"
#include "ui_fQuestionBox.h"

namespace probrix {
namespace {

using uitest::WhenModal;

struct TSeen {
  QSize Size;
  QRect Yes, No, Question;
  bool CancelHidden = false;
  bool WordWrap = false;
  QString Caption, Text;
  bool TimerActive = false;
  int TimerInterval = 0;
};

TSeen Look(TfrmQuestionBox* B) {
  auto& f = *B->Form();
  return {B->size(),
          f.btnYes->geometry(),
          f.btnNo->geometry(),
          f.LQuestion->geometry(),
          f.btnCancel->isHidden(),
          f.LQuestion->wordWrap(),
          B->windowTitle(),
          f.LQuestion->text(),
          B->tmrSetTopMost()->isActive(),
          B->tmrSetTopMost()->interval()};
}

TEST(QuestionBox, ShortQuestionKeepsTheDesignWidthWithCentredButtons) {
  TSeen seen;
  WhenModal<TfrmQuestionBox>([&](TfrmQuestionBox* B) {
    seen = Look(B);
    uitest::SaveScreenshot(B, "question");
    QTest::mouseClick(B->Form()->btnYes, Qt::LeftButton);
  });
  EXPECT_EQ(ShowQuestion("Завершеие работы", "Прервать поиск и выйти из програмы?", nullptr, true,
                         TQuestionPosition::poScreenCenter),
            qaYes);
  EXPECT_EQ(seen.Caption, "Завершеие работы");
  EXPECT_EQ(seen.Text, "Прервать поиск и выйти из програмы?");
  EXPECT_TRUE(seen.CancelHidden);
  EXPECT_TRUE(seen.TimerActive);
  EXPECT_EQ(seen.TimerInterval, 100);
  EXPECT_EQ(seen.Size.width(), 362);
  EXPECT_EQ(seen.Yes.size(), QSize(100, 33));
  EXPECT_EQ(seen.Yes.left(), (362 - 2 * 100 - 40) / 2);
  EXPECT_EQ(seen.No.left(), seen.Yes.left() + 100 + 40);
  EXPECT_EQ(seen.Yes.bottom() + 1, seen.Size.height() - 10);
  EXPECT_EQ(seen.No.top(), seen.Yes.top());
  EXPECT_EQ(seen.Size.height(), seen.Question.top() + std::max(seen.Question.height(), 48) + 45);
}

TEST(QuestionBox, LongQuestionWrapsAt400PixelsAndTheButtonsMoveDown) {
  TSeen shortOne, longOne;
  WhenModal<TfrmQuestionBox>([&](TfrmQuestionBox* B) {
    shortOne = Look(B);
    QTest::mouseClick(B->Form()->btnNo, Qt::LeftButton);
  });
  ShowQuestion("?", "Да?", nullptr, false, TQuestionPosition::poDesigned);
  QString question;
  for (int i = 0; i < 30; ++i) question += "Очень длинный вопрос ";
  WhenModal<TfrmQuestionBox>([&](TfrmQuestionBox* B) {
    longOne = Look(B);
    uitest::SaveScreenshot(B, "question-long");
    QTest::mouseClick(B->Form()->btnNo, Qt::LeftButton);
  });
  EXPECT_EQ(
      ShowQuestion("?", question.toStdString(), nullptr, false, TQuestionPosition::poDesigned),
      qaNo);
  EXPECT_FALSE(longOne.TimerActive);
  EXPECT_TRUE(longOne.WordWrap);
  EXPECT_EQ(longOne.Question.width(), 400);
  EXPECT_GT(longOne.Question.height(), 3 * shortOne.Question.height());
  EXPECT_EQ(longOne.Size.width(), longOne.Question.left() + 400 + 40);
  EXPECT_EQ(longOne.Size.height(), longOne.Question.top() + longOne.Question.height() + 45);
  EXPECT_EQ(longOne.Yes.bottom() + 1, longOne.Size.height() - 10);
  EXPECT_GT(longOne.Yes.top(), shortOne.Yes.top());
  EXPECT_EQ(longOne.Yes.left(), (longOne.Size.width() - 240) / 2);
  EXPECT_EQ(longOne.No.left(), longOne.Yes.left() + 140);
}

std::uint8_t AnswerByKeys(std::vector<int> Keys) {
  WhenModal<TfrmQuestionBox>([Keys](TfrmQuestionBox* B) {
    for (int key : Keys) {
      // Sent as the window system would: the key and the character it types.
      QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier,
                      key == Qt::Key_Escape ? QString(QChar(27)) : QString(QChar(key)).toLower());
      QApplication::sendEvent(B, &press);
      if (!B->isVisible()) return;
    }
    // Still open after the keys: answer No so the test goes on.
    QTest::mouseClick(B->Form()->btnCancel->isHidden() ? B->Form()->btnNo : B->Form()->btnCancel,
                      Qt::LeftButton);
  });
  return ShowQuestion("?", "Вопрос", nullptr, false, TQuestionPosition::poDesigned);
}

TEST(QuestionBox, PhysicalKeysAnswerWhateverTheLayout) {
  EXPECT_EQ(AnswerByKeys({Qt::Key_L}), qaYes);
  EXPECT_EQ(AnswerByKeys({Qt::Key_Y}), qaNo);
  // The Russian layout reports the letters the same keys carry.
  EXPECT_EQ(AnswerByKeys({0x0414}), qaYes);  // Д
  EXPECT_EQ(AnswerByKeys({0x041D}), qaNo);   // Н
  // J would press the hidden Cancel: nothing happens, nor for other keys; L still answers.
  EXPECT_EQ(AnswerByKeys({Qt::Key_J, Qt::Key_A, Qt::Key_Escape, Qt::Key_L}), qaYes);
}

TEST(QuestionBox, OpensOnNoWithAVisibleFocusSoSpaceAndReturnNeverAnswerYes) {
  QString focused;
  bool openAfterReturn = false;
  QStyleOptionButton look;
  WhenModal<TfrmQuestionBox>([&](TfrmQuestionBox* B) {
    if (!uitest::WaitUntil(
            [&] { return B->focusWidget() != nullptr && B->focusWidget()->hasFocus(); })) {
      ADD_FAILURE() << "no button has the focus";
      return B->Form()->btnNo->click();
    }
    QWidget* button = B->focusWidget();
    focused = button->objectName();
    uitest::SaveScreenshot(B, "question-focus");
    look.initFrom(B->Form()->btnNo);
    // Keys go where the window system sends them: to the focused button.
    QTest::keyClick(button, Qt::Key_Return);
    openAfterReturn = B->isVisible();
    QTest::keyClick(button, Qt::Key_Space);
  });
  EXPECT_EQ(ShowQuestion("?", "Вопрос", nullptr, false, TQuestionPosition::poDesigned), qaNo);
  EXPECT_TRUE(openAfterReturn);
  EXPECT_EQ(focused, "btnNo");
  // The style draws the focus frame only for a focus it is told came from the keyboard.
  EXPECT_TRUE(look.state & QStyle::State_HasFocus);
  EXPECT_TRUE(look.state & QStyle::State_KeyboardFocusChange);
}

TEST(QuestionBox, CloseRequestsAreRefusedUntilAButtonWasChosen) {
  bool stillOpen = false;
  std::uint8_t before = 99;
  WhenModal<TfrmQuestionBox>([&](TfrmQuestionBox* B) {
    before = B->Answer();
    EXPECT_FALSE(B->close());
    QTest::keyClick(B, Qt::Key_F4, Qt::AltModifier);
    QTest::keyClick(B, Qt::Key_Escape);
    stillOpen = B->isVisible();
    EXPECT_FALSE(B->windowFlags() & Qt::WindowCloseButtonHint);
    EXPECT_FALSE(B->windowFlags() & Qt::WindowSystemMenuHint);
    QTest::mouseClick(B->Form()->btnYes, Qt::LeftButton);
  });
  EXPECT_EQ(ShowQuestion("?", "Вопрос", nullptr, false, TQuestionPosition::poDesigned), qaYes);
  EXPECT_EQ(before, qaNone);
  EXPECT_TRUE(stillOpen);
}

TEST(QuestionBox, CancelAnswersThreeWhenShown) {
  TfrmQuestionBox box;
  QTimer::singleShot(0, &box, [&] { QTest::keyClick(&box, Qt::Key_J); });
  box.exec();
  EXPECT_EQ(box.Answer(), qaCancel);
}

}  // namespace
}  // namespace probrix
