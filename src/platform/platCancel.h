#pragma once

// Cancelling waits. A cancel event is a descriptor (an eventfd) that every wait of the platform
// layer watches beside its device or socket, so a stop request ends a wait at once instead of
// after its timeout, without polling. A thread binds an event with TCancelScope; from then on
// its serial reads and writes, socket connects, receives and sends (and CancellableSleep) end
// with ECANCELED as soon as the event is set.

#include <chrono>
#include <initializer_list>
#include <optional>

namespace probrix::platform {

// Stays set until Reset. Set is async-signal-safe (one write), so a signal handler may call it.
class TCancelEvent {
 public:
  TCancelEvent();
  ~TCancelEvent();
  TCancelEvent(const TCancelEvent&) = delete;
  TCancelEvent& operator=(const TCancelEvent&) = delete;

  void Set() noexcept;
  void Reset() noexcept;
  bool IsSet() const noexcept;
  // Waits up to Ms (negative: without limit) for the event; true when it is set.
  bool WaitFor(int Ms) const noexcept;
  int Fd() const noexcept { return Fd_; }

 private:
  int Fd_ = -1;
};

// Waits up to Ms (negative: without limit) until one of Events is set; returns the index of
// the first one that is, or -1.
int WaitForAny(std::initializer_list<const TCancelEvent*> Events, int Ms) noexcept;

// Makes SIGINT, SIGTERM and SIGHUP set Event instead of ending the process, and a write to a
// pipe whose reader has gone fail with EPIPE instead of raising SIGPIPE. For a front end that
// stops its work on a signal; Event must live until the process ends.
void InstallStopSignals(const TCancelEvent& Event);

// Binds Event to the calling thread for the scope's life (scopes nest; the inner one counts).
class TCancelScope {
 public:
  explicit TCancelScope(const TCancelEvent& Event) noexcept;
  ~TCancelScope();
  TCancelScope(const TCancelScope&) = delete;
  TCancelScope& operator=(const TCancelScope&) = delete;

 private:
  int Previous_;
};

// Whether an error code of the platform layer means "cut short by the cancel event".
bool IsCancelledError(int Error) noexcept;

// The calling thread's cancel descriptor, -1 when none is bound.
int CurrentCancelFd() noexcept;
// True when the calling thread's cancel event is set.
bool CancelRequested() noexcept;

using TWaitClock = std::chrono::steady_clock;

// Waits until Fd reports one of Events (poll flags), Deadline passes (none: no limit) or the
// thread's cancel event is set. Returns 0 when Fd is ready (Revents holds what it reported,
// including POLLHUP, POLLERR or POLLNVAL), ETIMEDOUT, ECANCELED, or the errno of a failed wait.
// Timed to the nanosecond; an interrupted wait goes on.
int WaitDescriptor(int Fd, short Events, std::optional<TWaitClock::time_point> Deadline,
                   short& Revents) noexcept;

// Sleeps Ms unless the thread's cancel event is set first; false when it was.
bool CancellableSleep(int Ms) noexcept;

}  // namespace probrix::platform
