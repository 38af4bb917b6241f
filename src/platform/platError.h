#pragma once

// Failures of the operating system as the layers above see them: a kind that they compare,
// with the system's own code and text kept for the messages that show them.

#include <cstdint>
#include <string>

namespace probrix::platform {

enum class TErrorKind : std::uint8_t {
  ekNone = 0,      // no failure
  ekNotFound,      // no such file, folder or device
  ekAccessDenied,  // the user lacks the rights
  ekBusy,          // another program (or another handle) holds it
  ekTimedOut,      // nothing within the time allowed
  ekGone,          // the device or connection went away under an open handle
  ekCancelled,     // cut short by the calling thread's cancel event (platCancel.h)
  ekOther,
  ekLineFault,  // a fault of the line (framing, parity, overrun) made the driver end the transfer
};

struct TOsError {
  TErrorKind Kind = TErrorKind::ekNone;
  int Code = 0;      // the system's code for it (errno on Linux)
  std::string Text;  // the system's text for it

  // True for a failure.
  explicit operator bool() const { return Kind != TErrorKind::ekNone; }
};

// The system's text for one of its error codes ("No such file or directory").
std::string SystemErrorText(int Code);

// A failure that no call can return (a constructor's) is raised through the layers above: the
// exception tree installs a raiser that throws its own class. Call names the system call that
// failed. Without a raiser the failure is a std::system_error.
using TOsErrorRaiser = void (*)(const TOsError& Error, const char* Call);
void SetOsErrorRaiser(TOsErrorRaiser Raiser) noexcept;
[[noreturn]] void RaiseOsError(const TOsError& Error, const char* Call);

}  // namespace probrix::platform
