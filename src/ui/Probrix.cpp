// The program entry: error hooks and logging facility first, then the main window and the
// message loop, and the reverse at exit.

#include <QMetaObject>

#include "connections/ioConnectionFactory.h"
#include "foundation/appClasses.h"
#include "foundation/appErrorHooks.h"
#include "foundation/appLogging.h"
#include "ui/fMain.h"
#include "ui/uApplication.h"

int main(int argc, char** argv) {
  using namespace probrix;
  InstallErrorHooks();
  InitializeLogging(argc > 0 ? argv[0] : "probrix");
  InitializeInterfacedClasses();
  int result = 0;
  {
    TProbrixApplication application(argc, argv);
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
