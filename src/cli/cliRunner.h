#pragma once

#include <ostream>

#include "cli/cliOptions.h"
#include "platform/platCancel.h"

namespace probrix::cli {

// The standard output as the command line writes it. Check, called right after a write (it
// reads errno), notes the first failure with the error of the write that failed. A reader that
// went away (EPIPE: "| head -1") only ends the search; any other failure (a full disk,
// >/dev/full) loses what the caller asked for and makes the exit status 3.
struct TOutputCheck {
  bool Lost = false;
  int Error = 0;

  void Check(const std::ostream& Out);
  void Note(int SystemError);
  bool Failed() const;
  // When Failed: "probrix-cli: cannot write the standard output: <reason>" on Err; true then.
  bool Report(std::ostream& Err) const;
};

// Runs what the options ask for and returns the exit status: 0 when at least one device was
// found (or the port list was printed), 1 when none, 2 for a plan error, 3 when an error ended
// the run, the result log could not be written whole or Out failed (TOutputCheck), 130 when
// StopRequested stopped it. When StopRequested is set while the search runs, the search stops
// at once, like the window's stop button, and what was found is still printed; so it does when
// Out fails, after the lines so far reached the result log.
int RunCli(const TCliOptions& Options, std::ostream& Out, std::ostream& Err,
           const platform::TCancelEvent& StopRequested);

}  // namespace probrix::cli
