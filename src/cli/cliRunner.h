#pragma once

#include <ostream>

#include "cli/cliOptions.h"
#include "platform/platCancel.h"

namespace probrix::cli {

// Runs what the options ask for and returns the exit status: 0 when at least one device was
// found (or the port list was printed), 1 when none, 2 for a plan error, 3 when an error ended
// the run or the result log could not be written whole, 130 when StopRequested stopped it.
// When StopRequested is set while the search runs, the search stops at once, like the window's
// stop button, and what was found is still printed; so it does when Out fails (its reader has
// gone), after the lines so far reached the result log.
int RunCli(const TCliOptions& Options, std::ostream& Out, std::ostream& Err,
           const platform::TCancelEvent& StopRequested);

}  // namespace probrix::cli
