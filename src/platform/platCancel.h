#pragma once

// Cancelling waits. A cancel event is a descriptor (an eventfd) that every wait of the platform
// layer watches beside its device or socket, so a stop request ends a wait at once instead of
// after its timeout, without polling. A thread binds an event with TCancelScope; from then on
// its serial reads and writes, socket connects, receives and sends (and CancellableSleep) end
// with a cancelled error (platError.h) as soon as the event is set.

#include <cstddef>
#include <span>

namespace probrix::platform {

// Stays set until Reset. Set is async-signal-safe (one write), so a signal handler may call it.
// A system that has no event to give makes the constructor raise (RaiseOsError, platError.h).
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
#if defined(_WIN32)
  // The manual-reset event object that the waits of the Windows half watch.
  void* Handle() const noexcept { return Handle_; }

 private:
  void* Handle_ = nullptr;
#else
  // The descriptor that the waits of the Linux half watch.
  int Fd() const noexcept { return Fd_; }

 private:
  int Fd_ = -1;
#endif
};

// The most events one wait watches, and what a wait on more returns at once instead.
inline constexpr std::size_t MaxWaitEvents = 8;
inline constexpr int WaitRefused = -2;

// Waits up to Ms (negative: without limit) until one of Events is set; returns the index of
// the first one that is, or -1. More than MaxWaitEvents events are refused (WaitRefused)
// before anything is waited for.
int WaitForAnyOf(std::span<const TCancelEvent* const> Events, int Ms) noexcept;

// The same for a list written at the call, WaitForAny({&Done, &Stop}, -1): a list longer than
// MaxWaitEvents does not compile.
template <std::size_t N>
int WaitForAny(const TCancelEvent* const (&Events)[N], int Ms) noexcept {
  static_assert(N <= MaxWaitEvents, "WaitForAny watches at most MaxWaitEvents events");
  return WaitForAnyOf(std::span<const TCancelEvent* const>(Events), Ms);
}

// Makes the calling thread's timed waits end on time (on Linux a timed wait may otherwise end
// up to the thread's timer slack, 50 µs by default, late). A thread that waits out many short
// timeouts one after another, as a search's workers do, calls it once where it starts.
void UsePreciseTimedWaits() noexcept;

// Makes SIGINT, SIGTERM and SIGHUP set Stop instead of ending the process, and a write to a
// pipe whose reader has gone fail with EPIPE instead of raising SIGPIPE. For a front end that
// stops its work on a signal and sets Done once its work and its logs are complete; both events
// must live until the process ends. On Windows Ctrl+C and Ctrl+Break set Stop; closing the
// console window, logging off and shutting down set it as well and then hold the process up to
// StopGraceMs for Done, since the system ends the process as soon as its handler returns.
void InstallStopSignals(const TCancelEvent& Stop, const TCancelEvent& Done);
inline constexpr int StopGraceMs = 4000;

// Binds Event to the calling thread for the scope's life (scopes nest; the inner one counts).
class TCancelScope {
 public:
  explicit TCancelScope(const TCancelEvent& Event) noexcept;
  ~TCancelScope();
  TCancelScope(const TCancelScope&) = delete;
  TCancelScope& operator=(const TCancelScope&) = delete;

 private:
#if defined(_WIN32)
  void* Previous_;
#else
  int Previous_;
#endif
};

// True when the calling thread's cancel event is set.
bool CancelRequested() noexcept;

// Sleeps Ms unless the thread's cancel event is set first; false when it was.
bool CancellableSleep(int Ms) noexcept;

}  // namespace probrix::platform
