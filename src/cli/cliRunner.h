#pragma once

#include <atomic>
#include <ostream>

#include "cli/cliOptions.h"

namespace probrix::cli {

// Runs what the options ask for and returns the exit status: 0 when at least one device was
// found (or the port list was printed), 1 when none, 2 for a plan error. StopRequested is
// polled while the search runs; when it turns true the search stops after the attempt in
// progress, like the window's stop button.
int RunCli(const TCliOptions& Options, std::ostream& Out, std::ostream& Err,
           const std::atomic<bool>& StopRequested);

}  // namespace probrix::cli
