#include "ui/uApplication.h"

#include <QIcon>
#include <QLibraryInfo>
#include <QMessageBox>
#include <QTranslator>

#include "foundation/appExceptions.h"

// The resources of a static library are registered by hand, outside any namespace.
static void InitProbrixResources() { Q_INIT_RESOURCE(probrix); }

namespace probrix {

std::string ApplicationExceptionText(const std::exception_ptr& E) {
  try {
    std::rethrow_exception(E);
  } catch (const Exception& error) {
    return error.Message;
  } catch (const std::exception& error) {
    return error.what();
  } catch (...) {
    return DescribeCurrentException();
  }
}

void HandleApplicationException() {
  ShowErrorMessage(ApplicationExceptionText(std::current_exception()));
}

void ShowErrorMessage(const std::string& Text) {
  QWidget* parent = QApplication::activeModalWidget();
  if (parent == nullptr) parent = QApplication::activeWindow();
  QMessageBox::critical(parent, QString::fromUtf8(ApplicationTitle), QString::fromStdString(Text));
}

QTranslator* InstallQtTranslations(const QString& Folder) {
  const QString folder =
      Folder.isEmpty() ? QLibraryInfo::path(QLibraryInfo::TranslationsPath) : Folder;
  auto* translator = new QTranslator(QCoreApplication::instance());
  if (translator->load(QStringLiteral("qtbase_ru"), folder) &&
      QCoreApplication::installTranslator(translator))
    return translator;
  delete translator;
  return nullptr;
}

// The title is not made the display name: Qt would append it to every dialog's caption. The
// icon is what a window manager shows for every window of the program.
TProbrixApplication::TProbrixApplication(int& argc, char** argv) : QApplication(argc, argv) {
  InitProbrixResources();
  QIcon icon;
  for (const char* size : {"48", "256"})
    icon.addFile(QStringLiteral(":/probrix/probrix-%1.png").arg(QLatin1String(size)));
  setWindowIcon(icon);
}

bool TProbrixApplication::notify(QObject* Receiver, QEvent* Event) {
  try {
    return QApplication::notify(Receiver, Event);
  } catch (...) {
    HandleApplicationException();
    return true;
  }
}

}  // namespace probrix
