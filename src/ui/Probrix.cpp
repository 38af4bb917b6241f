// The program entry: error hooks and logging facility first, then the main window and the
// message loop, and the reverse at exit.

#include <QMetaObject>
#include <cstring>
#include <iostream>

#include "connections/ioConnectionFactory.h"
#include "foundation/appClasses.h"
#include "foundation/appErrorHooks.h"
#include "foundation/appLogging.h"
#include "probrixVersion.h"
#include "ui/fMain.h"
#include "ui/uApplication.h"

namespace {

// The window takes its choices from the settings file, not from the command line; these are
// for the manual page and the shell. Qt's own options (-platform, -style ...) pass through.
const char* const UsageText = R"(Usage: probrix [--help | --version] [Qt options]

Finds the maker's measuring instruments on serial ports and TCP endpoints: tick the ports, baud
rates, TCP endpoints and protocols with their address lists in the window, then start the
search. The choices are kept in probrix.ini from one run to the next.

Options:
  --help        this text
  --version     print the program's name and version

Qt's standard options are accepted as well, for example -platform NAME, -style NAME.
)";

}  // namespace

int main(int argc, char** argv) {
  using namespace probrix;
  if (const auto status = HandleVersionOption("probrix", argc, argv)) return *status;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0) {
      std::cout << UsageText << std::flush;
      return std::cout ? 0 : 1;
    }
  }
  InstallErrorHooks();
  InitializeLogging(argc > 0 ? argv[0] : "probrix");
  InitializeInterfacedClasses();
  int result = 0;
  {
    TProbrixApplication application(argc, argv);
    application.setApplicationVersion(ProbrixVersion);
    // Lets the desktop match the window to its menu entry (and icon).
    TProbrixApplication::setDesktopFileName("probrix");
    InstallQtTranslations();
    // The main thread's dispatcher runs its queued requests from the Qt event loop.
    TThreadWndProc& dispatcher = ThreadsWndProc()->RegisterCurrentThread();
    dispatcher.SetWakeUp([&application, &dispatcher] {
      QMetaObject::invokeMethod(
          &application, [&dispatcher] { dispatcher.ProcessMessages(); }, Qt::QueuedConnection);
    });
    {
      TfrmMain window;
      window.show();
      result = application.exec();
    }
    dispatcher.SetWakeUp({});
    dispatcher.ProcessMessages();
  }
  FinalizeInterfacedClasses();
  ShutdownConnectionFactory();
  FinalizeLogging();
  RemoveErrorHooks();
  return result;
}
