#pragma once

// The question box: a modal Yes/No question with the question icon that cannot be dismissed
// without choosing a button and, when asked to, keeps itself above other windows.

#include <QDialog>
#include <cstdint>
#include <memory>
#include <string>

class QTimer;

namespace Ui {
class TfrmQuestionBox;
}

namespace probrix {

// Where the box appears.
enum class TQuestionPosition : std::uint8_t {
  poOwnerFormCenter,  // centred over the owner form
  poScreenCenter,
  poDesigned,  // where the window system puts it
};

// The answers: the tags of the buttons.
inline constexpr std::uint8_t qaNone = 0;
inline constexpr std::uint8_t qaNo = 1;
inline constexpr std::uint8_t qaYes = 2;
inline constexpr std::uint8_t qaCancel = 3;

class TfrmQuestionBox : public QDialog {
  Q_OBJECT

 public:
  explicit TfrmQuestionBox(QWidget* Owner = nullptr);
  ~TfrmQuestionBox() override;

  Ui::TfrmQuestionBox* Form() const { return Ui_.get(); }
  QTimer* tmrSetTopMost() const { return tmrSetTopMost_; }
  // 0 until a button was chosen, then its tag (1 No, 2 Yes, 3 Cancel).
  std::uint8_t Answer() const { return Answer_; }
  // The design width of the client area, kept when the question is short.
  static constexpr int DesignClientWidth = 362;
  static constexpr int MaxQuestionWidth = 400;

  // The layout rules, applied each time the box is shown.
  void FormShow();
  // Handles a key as the box does (L: Yes, Y: No, J: Cancel when visible, whatever the
  // keyboard layout); true when the key chose a button.
  bool FormKeyDown(const QKeyEvent& Key);
  // Whether the box may close now: only once a button was chosen.
  bool FormCloseQuery() const { return Answer_ != qaNone; }
  void btnClick(QObject* Button);
  void tmrSetTopMostTimer();

 protected:
  void showEvent(QShowEvent* Event) override;
  void closeEvent(QCloseEvent* Event) override;
  void keyPressEvent(QKeyEvent* Event) override;
  void reject() override;

 private:
  std::unique_ptr<Ui::TfrmQuestionBox> Ui_;
  QTimer* tmrSetTopMost_ = nullptr;
  std::uint8_t Answer_ = qaNone;
};

// Asks Question in a TfrmQuestionBox owned by Owner's form and returns the answer byte.
std::uint8_t ShowQuestion(const std::string& Caption, const std::string& Question, QWidget* Owner,
                          bool TopMost, TQuestionPosition Position);

}  // namespace probrix
