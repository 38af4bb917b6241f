#include <atomic>

#include "platform/platCancel.h"
#include "platform/win/platWin.h"

namespace probrix::platform {

namespace {

thread_local HANDLE BoundCancelHandle = nullptr;

}  // namespace

DWORD WaitMsUntil(const std::optional<TWaitClock::time_point>& Deadline) noexcept {
  if (!Deadline) return INFINITE;
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(*Deadline - TWaitClock::now());
  if (left.count() <= 0) return 0;
  // INFINITE itself is reserved.
  return left.count() >= INFINITE ? INFINITE - 1 : static_cast<DWORD>(left.count());
}

DWORD WaitHandle(HANDLE Handle, const std::optional<TWaitClock::time_point>& Deadline) noexcept {
  const HANDLE cancel = BoundCancelHandle;
  const HANDLE handles[2] = {cancel, Handle};
  // The cancel event first: when both are signalled, the stop wins.
  const DWORD count = cancel ? 2 : 1;
  const HANDLE* first = cancel ? handles : handles + 1;
  for (;;) {
    const DWORD r = ::WaitForMultipleObjects(count, first, FALSE, WaitMsUntil(Deadline));
    if (r == WAIT_TIMEOUT) {
      // The system's timer may end a wait a little early: wait on for the rest.
      if (Deadline && TWaitClock::now() < *Deadline) continue;
      return WAIT_TIMEOUT;
    }
    if (r == WAIT_FAILED) return ::GetLastError();
    if (cancel && r == WAIT_OBJECT_0) return ERROR_OPERATION_ABORTED;
    return 0;
  }
}

HANDLE ThreadTransferEvent() noexcept {
  thread_local TWinHandle Event(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
  return Event.Get();
}

// --- TCancelEvent -------------------------------------------------------------------------

TCancelEvent::TCancelEvent() {
  Handle_ = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (!Handle_) RaiseOsError(LastWinError(), "CreateEvent");
}

TCancelEvent::~TCancelEvent() {
  if (Handle_) ::CloseHandle(Handle_);
}

void TCancelEvent::Set() noexcept { ::SetEvent(Handle_); }

void TCancelEvent::Reset() noexcept { ::ResetEvent(Handle_); }

bool TCancelEvent::IsSet() const noexcept { return WaitFor(0); }

bool TCancelEvent::WaitFor(int Ms) const noexcept {
  return ::WaitForSingleObject(Handle_, Ms < 0 ? INFINITE : static_cast<DWORD>(Ms)) ==
         WAIT_OBJECT_0;
}

int WaitForAnyOf(std::span<const TCancelEvent* const> Events, int Ms) noexcept {
  if (Events.size() > MaxWaitEvents) return WaitRefused;
  HANDLE handles[MaxWaitEvents];
  DWORD count = 0;
  for (const TCancelEvent* e : Events) handles[count++] = e->Handle();
  if (count == 0) {
    if (Ms > 0) ::Sleep(static_cast<DWORD>(Ms));
    return -1;
  }
  const DWORD r =
      ::WaitForMultipleObjects(count, handles, FALSE, Ms < 0 ? INFINITE : static_cast<DWORD>(Ms));
  if (r >= WAIT_OBJECT_0 && r < WAIT_OBJECT_0 + count) return static_cast<int>(r - WAIT_OBJECT_0);
  return -1;
}

// The system's waits are timed in milliseconds: there is no slack to ask away.
void UsePreciseTimedWaits() noexcept {}

namespace {

std::atomic<HANDLE> StopEvent{nullptr};
std::atomic<HANDLE> DoneEvent{nullptr};

}  // namespace

BOOL WINAPI ConsoleControlHandler(DWORD Kind) {
  switch (Kind) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
      if (const HANDLE event = StopEvent.load()) ::SetEvent(event);
      return TRUE;
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
      // The process ends when this returns: the search stops after its attempt in progress
      // and the result log is finished first, within the time the system allows (about 5 s).
      if (const HANDLE event = StopEvent.load()) ::SetEvent(event);
      if (const HANDLE done = DoneEvent.load()) ::WaitForSingleObject(done, StopGraceMs);
      return TRUE;
    default:
      return FALSE;
  }
}

void InstallStopSignals(const TCancelEvent& Stop, const TCancelEvent& Done) {
  // A write to a closed pipe already fails with an error on Windows instead of ending the
  // process.
  StopEvent.store(Stop.Handle());
  DoneEvent.store(Done.Handle());
  ::SetConsoleCtrlHandler(ConsoleControlHandler, TRUE);
}

// --- Binding to a thread ------------------------------------------------------------------

TCancelScope::TCancelScope(const TCancelEvent& Event) noexcept : Previous_(BoundCancelHandle) {
  BoundCancelHandle = Event.Handle();
}

TCancelScope::~TCancelScope() { BoundCancelHandle = Previous_; }

HANDLE CurrentCancelHandle() noexcept { return BoundCancelHandle; }

bool CancelRequested() noexcept {
  return BoundCancelHandle && ::WaitForSingleObject(BoundCancelHandle, 0) == WAIT_OBJECT_0;
}

bool CancellableSleep(int Ms) noexcept {
  if (!BoundCancelHandle) {
    ::Sleep(Ms < 0 ? 0 : static_cast<DWORD>(Ms));
    return true;
  }
  const auto deadline = TWaitClock::now() + std::chrono::milliseconds(Ms < 0 ? 0 : Ms);
  for (;;) {
    const DWORD r = ::WaitForSingleObject(BoundCancelHandle, WaitMsUntil(deadline));
    if (r == WAIT_OBJECT_0) return false;
    if (r != WAIT_TIMEOUT || TWaitClock::now() >= deadline) return true;
  }
}

}  // namespace probrix::platform
