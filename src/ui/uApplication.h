#pragma once

// The application object and its standard handling of an exception that leaves an event
// handler: an error message box with the exception's message, after which the program goes on.

#include <QApplication>
#include <QString>
#include <exception>
#include <string>

class QTranslator;

namespace probrix {

// The window caption, also the application title and the caption of error message boxes.
inline constexpr const char* ApplicationTitle = "Поиск приборов ТЕЛУРИКС";

// The text the operator sees for an exception: the message of the system's exceptions, what()
// of others.
std::string ApplicationExceptionText(const std::exception_ptr& E);
// Shows the exception being handled (call inside a catch block) in an error message box.
void HandleApplicationException();
// The same error message box for a text.
void ShowErrorMessage(const std::string& Text);

// Runs a handler; an exception leaving it is shown as above. Qt's own frames are not
// exception-safe, so window handlers end here instead of unwinding through the event loop.
template <class F>
void RunHandler(F&& Handler) {
  try {
    Handler();
  } catch (...) {
    HandleApplicationException();
  }
}

// Puts Qt's own texts (edit menus, standard buttons, file dialogs) into Russian with the
// catalogue qtbase_ru from Folder (empty: Qt's translations folder). Returns the installed
// translator, owned by the application, or nullptr when the catalogue is not there: the window
// then shows those few texts in English and works as before.
QTranslator* InstallQtTranslations(const QString& Folder = {});

class TProbrixApplication : public QApplication {
 public:
  TProbrixApplication(int& argc, char** argv);
  // The last line of defence: whatever leaves a receiver's event handler is shown, and the
  // event counts as handled.
  bool notify(QObject* Receiver, QEvent* Event) override;
};

}  // namespace probrix
