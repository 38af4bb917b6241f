// The window tests' entry: the offscreen platform, one application object and the logging
// facility placed in a temporary program folder for the whole run.

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>

#include "UiTestSupport.h"
#include "connections/ioConnectionFactory.h"
#include "foundation/appLogging.h"
#include "ui/uApplication.h"

namespace probrix::uitest {

namespace {
std::filesystem::path ProgramFolder;
}

const std::filesystem::path& TestProgramFolder() { return ProgramFolder; }

}  // namespace probrix::uitest

#if defined(__SANITIZE_THREAD__)
// Qt is not instrumented: its pool threads (fonts, images) hand memory to the main thread under
// locks ThreadSanitizer cannot see. Accesses made by Qt itself are left out; the window's own
// code and the search worker are still checked (the window annotates its posted events).
extern "C" const char* __tsan_default_options() { return "ignore_noninstrumented_modules=1"; }
#endif

int main(int argc, char** argv) {
  using namespace probrix;
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  ::testing::InitGoogleTest(&argc, argv);
  TProbrixApplication application(argc, argv);

  char pattern[] = "/tmp/probrix-ui-XXXXXX";
  const char* folder = mkdtemp(pattern);
  if (folder == nullptr) return 2;
  uitest::ProgramFolder = std::filesystem::path(folder) / "";
  TLoggingOptions options;
  options.Argv0 = (uitest::ProgramFolder / "probrix").string();
  options.ModulePathOverride = options.Argv0;
  options.ChangeCurrentDirectory = false;
  InitializeLogging(options);

  const int result = RUN_ALL_TESTS();

  ShutdownConnectionFactory();
  FinalizeLogging();
  std::error_code ignored;
  std::filesystem::remove_all(folder, ignored);
  return result;
}
