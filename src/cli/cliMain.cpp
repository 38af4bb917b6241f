// probrix-cli: the search engine without a window, for scripts, servers and CI.

#include <cerrno>
#include <iostream>

#include "cli/cliOptions.h"
#include "cli/cliRunner.h"
#include "connections/ioConnectionFactory.h"
#include "foundation/appClasses.h"
#include "foundation/appErrorHooks.h"
#include "foundation/appLogging.h"
#include "platform/platCancel.h"
#include "platform/platConsole.h"
#include "platform/platProcess.h"
#include "probrixVersion.h"

int main(int argc, char** argv) {
  using namespace probrix;
  platform::UseUnicodeConsole();
  if (const auto status = HandleVersionOption("probrix-cli", argc, argv)) {
    // The status stays that of every program's --version; the reason is said.
    if (*status != 0) {
      cli::TOutputCheck output;
      output.Note(errno);
      output.Report(std::cerr);
    }
    return *status;
  }
  // In UTF-8 whatever the system's code page (Windows hands argv over in it).
  std::vector<std::string> args = platform::CommandLineArguments(argc, argv);
  const std::string program = args.empty() ? std::string() : args.front();
  if (!args.empty()) args.erase(args.begin());
  cli::TCliOptions options;
  try {
    options = cli::ParseCliOptions(args);
  } catch (const cli::TUsageError& e) {
    std::cerr << "probrix-cli: " << e.Message << "\n\n" << cli::UsageText();
    return 2;
  } catch (const std::exception& e) {
    std::cerr << "probrix-cli: " << e.what() << "\n";
    return 2;
  }
  if (options.Help) {
    std::cout << cli::UsageText() << std::flush;
    cli::TOutputCheck output;
    output.Check(std::cout);
    return output.Report(std::cerr) ? 3 : 0;
  }

  InstallErrorHooks();
  // Unlike the window, the command line stays in the caller's folder: relative --log-dir,
  // --settings and port paths mean what the caller meant.
  TLoggingOptions logging;
  logging.Argv0 = program;
  logging.ChangeCurrentDirectory = false;
  InitializeLogging(logging);
  InitializeInterfacedClasses();
  // SIGINT, SIGTERM and SIGHUP stop the search at once; a reader of the output that goes away
  // (| head) is seen as a failed write, not a SIGPIPE that kills the program mid-log. A closed
  // console window waits for Finished.
  static const platform::TCancelEvent StopRequested;
  static platform::TCancelEvent Finished;
  platform::InstallStopSignals(StopRequested, Finished);

  int status = 3;  // the run failed unless it says otherwise
  try {
    status = cli::RunCli(options, std::cout, std::cerr, StopRequested);
  } catch (const std::exception& e) {
    std::cerr << "probrix-cli: " << DescribeException(&e) << "\n";
  }
  ShutdownConnectionFactory();
  FinalizeInterfacedClasses();
  FinalizeLogging();
  RemoveErrorHooks();
  std::cout.flush();
  Finished.Set();
  return status;
}
