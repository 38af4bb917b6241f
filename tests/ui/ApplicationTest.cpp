// The application's standard handling of an exception that leaves an event handler.

#include <gtest/gtest.h>

#include <QIcon>
#include <QImage>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QRegularExpression>
#include <QTranslator>
#include <QWidget>

#include "UiTestSupport.h"
#include "foundation/ioExceptions.h"
#include "ui/uApplication.h"

namespace probrix {
namespace {

class TThrowingObject : public QObject {
 public:
  bool event(QEvent* Event) override {
    if (Event->type() == QEvent::User) throw EConnectionOpenError::Create("[COM9] нет порта");
    if (Event->type() == QEvent::User + 1) throw std::runtime_error("plain failure");
    return QObject::event(Event);
  }
};

QString ShownFor(QEvent::Type Type) {
  TThrowingObject object;
  QString text, title;
  uitest::WhenModal<QMessageBox>([&](QMessageBox* B) {
    text = B->text();
    title = B->windowTitle();
    EXPECT_EQ(B->icon(), QMessageBox::Critical);
    B->accept();
  });
  QEvent event(Type);
  // The exception does not leave the event loop: the event counts as handled.
  EXPECT_TRUE(QCoreApplication::sendEvent(&object, &event));
  EXPECT_EQ(title, "Поиск приборов ТЕЛУРИКС");
  return text;
}

TEST(Application, ExceptionLeavingAHandlerIsShownAndTheProgramGoesOn) {
  ASSERT_NE(dynamic_cast<TProbrixApplication*>(QCoreApplication::instance()), nullptr);
  EXPECT_EQ(ShownFor(QEvent::User), "[COM9] нет порта");
  EXPECT_EQ(ShownFor(static_cast<QEvent::Type>(QEvent::User + 1)), "plain failure");
}

TEST(Application, QtOwnTextsAreRussianWhenTheCatalogueIsThere) {
  const auto cancelText = [] {
    QMessageBox box;
    box.setStandardButtons(QMessageBox::Cancel);
    return box.button(QMessageBox::Cancel)->text();
  };
  const QString english = cancelText();
  // Without the catalogue nothing changes and nothing fails.
  EXPECT_EQ(InstallQtTranslations(QString::fromStdString(uitest::TestProgramFolder().string())),
            nullptr);
  EXPECT_EQ(cancelText(), english);
  QTranslator* translator = InstallQtTranslations();
  ASSERT_NE(translator, nullptr) << "qtbase_ru.qm is missing (Debian: qt6-translations-l10n)";
  const QString russian = cancelText();
  QCoreApplication::removeTranslator(translator);
  delete translator;
  EXPECT_NE(russian, english);
  EXPECT_TRUE(russian.contains(QRegularExpression("[А-Яа-я]"))) << russian.toStdString();
}

// A window manager shows the program's own icon, in the menu entry's sizes, for any window.
TEST(Application, EveryWindowCarriesTheProgramIcon) {
  QWidget window;
  const QIcon icon = window.windowIcon();
  for (const QSize size : {QSize(48, 48), QSize(256, 256)}) {
    EXPECT_TRUE(icon.availableSizes().contains(size)) << size.width();
    const QImage image = icon.pixmap(size).toImage();
    ASSERT_EQ(image.size(), size);
    int opaque = 0;
    for (int y = 0; y < image.height(); ++y)
      for (int x = 0; x < image.width(); ++x) opaque += qAlpha(image.pixel(x, y)) == 255;
    // Drawn, not blank: the instrument and the lens cover a good part of it.
    EXPECT_GT(opaque, image.width() * image.height() / 4) << size.width();
  }
}

}  // namespace
}  // namespace probrix
