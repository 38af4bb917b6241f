#include "UiTestSupport.h"

#include <stdlib.h>

#include <QElapsedTimer>
#include <QTest>
#include <QTimer>
#include <fstream>
#include <iterator>
#include <memory>

namespace probrix::uitest {

bool WaitUntil(const std::function<bool()>& Condition, int Ms) {
  return QTest::qWaitFor(Condition, Ms);
}

void WhenModalWidget(std::function<bool(QWidget*)> Accept, std::function<void(QWidget*)> Act,
                     int Ms) {
  auto* timer = new QTimer;
  auto clock = std::make_shared<QElapsedTimer>();
  clock->start();
  QObject::connect(timer, &QTimer::timeout, [timer, clock, Accept, Act, Ms] {
    QWidget* modal = QApplication::activeModalWidget();
    if (modal != nullptr && modal->isVisible() && Accept(modal)) {
      timer->stop();
      timer->deleteLater();
      Act(modal);
    } else if (clock->elapsed() > Ms) {
      timer->stop();
      timer->deleteLater();
    }
  });
  timer->start(5);
}

void SaveScreenshot(QWidget* W, const std::string& Name) {
  if (const char* dir = getenv("UI_SCREENSHOT_DIR"))
    W->grab().save(QString::fromStdString((std::filesystem::path(dir) / (Name + ".png")).string()));
}

std::string ReadFileBytes(const std::filesystem::path& Path) {
  std::ifstream in(Path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void WriteFileBytes(const std::filesystem::path& Path, const std::string& Bytes) {
  std::ofstream out(Path, std::ios::binary | std::ios::trunc);
  out << Bytes;
}

}  // namespace probrix::uitest
