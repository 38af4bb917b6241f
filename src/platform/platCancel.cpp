#include "platform/platCancel.h"

#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>

#include "platform/platPosix.h"

namespace probrix::platform {

namespace {

thread_local int BoundCancelFd = -1;

// ppoll until Deadline (none: without limit); EINTR goes on with the time that is left.
int PollUntil(pollfd* Fds, nfds_t Count, const std::optional<TWaitClock::time_point>& Deadline) {
  for (;;) {
    int rc = 0;
    if (!Deadline) {
      rc = ::ppoll(Fds, Count, nullptr, nullptr);
    } else {
      auto left =
          std::chrono::duration_cast<std::chrono::nanoseconds>(*Deadline - TWaitClock::now())
              .count();
      if (left < 0) left = 0;
      const timespec ts{static_cast<time_t>(left / 1000000000),
                        static_cast<long>(left % 1000000000)};
      rc = ::ppoll(Fds, Count, &ts, nullptr);
    }
    if (rc >= 0 || errno != EINTR) return rc;
  }
}

}  // namespace

// --- TCancelEvent -------------------------------------------------------------------------

TCancelEvent::TCancelEvent() {
  Fd_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (Fd_ < 0) RaiseOsError(OsError(errno), "eventfd");
}

TCancelEvent::~TCancelEvent() {
  if (Fd_ >= 0) ::close(Fd_);
}

void TCancelEvent::Set() noexcept {
  // The counter only grows: the descriptor stays readable until Reset drains it.
  const std::uint64_t one = 1;
  [[maybe_unused]] const auto n = ::write(Fd_, &one, sizeof one);
}

void TCancelEvent::Reset() noexcept {
  std::uint64_t value = 0;
  [[maybe_unused]] const auto n = ::read(Fd_, &value, sizeof value);
}

bool TCancelEvent::IsSet() const noexcept { return WaitFor(0); }

bool TCancelEvent::WaitFor(int Ms) const noexcept {
  pollfd p{Fd_, POLLIN, 0};
  std::optional<TWaitClock::time_point> deadline;
  if (Ms >= 0) deadline = TWaitClock::now() + std::chrono::milliseconds(Ms);
  return PollUntil(&p, 1, deadline) > 0 && (p.revents & POLLIN) != 0;
}

int WaitForAnyOf(std::span<const TCancelEvent* const> Events, int Ms) noexcept {
  if (Events.size() > MaxWaitEvents) return WaitRefused;
  pollfd fds[MaxWaitEvents];
  nfds_t count = 0;
  for (const TCancelEvent* e : Events) fds[count++] = {e->Fd(), POLLIN, 0};
  std::optional<TWaitClock::time_point> deadline;
  if (Ms >= 0) deadline = TWaitClock::now() + std::chrono::milliseconds(Ms);
  if (PollUntil(fds, count, deadline) <= 0) return -1;
  for (nfds_t i = 0; i < count; ++i)
    if (fds[i].revents & POLLIN) return static_cast<int>(i);
  return -1;
}

void UsePreciseTimedWaits() noexcept { ::prctl(PR_SET_TIMERSLACK, 1UL); }

namespace {

std::atomic<int> StopSignalFd{-1};

void OnStopSignal(int /*Signal*/) {
  // write() is async-signal-safe, and errno must survive the handler.
  const int savedErrno = errno;
  const std::uint64_t one = 1;
  [[maybe_unused]] const auto n = ::write(StopSignalFd.load(), &one, sizeof one);
  errno = savedErrno;
}

}  // namespace

void InstallStopSignals(const TCancelEvent& Stop, const TCancelEvent& /*Done*/) {
  // A handled signal does not end the process: nothing waits for Done here.
  StopSignalFd.store(Stop.Fd());
  struct sigaction sa {};
  sa.sa_handler = OnStopSignal;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART;
  for (const int sig : {SIGINT, SIGTERM, SIGHUP}) ::sigaction(sig, &sa, nullptr);
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  ::sigaction(SIGPIPE, &ignore, nullptr);
}

// --- Binding to a thread ------------------------------------------------------------------

TCancelScope::TCancelScope(const TCancelEvent& Event) noexcept : Previous_(BoundCancelFd) {
  BoundCancelFd = Event.Fd();
}

TCancelScope::~TCancelScope() { BoundCancelFd = Previous_; }

int CurrentCancelFd() noexcept { return BoundCancelFd; }

bool CancelRequested() noexcept {
  if (BoundCancelFd < 0) return false;
  pollfd p{BoundCancelFd, POLLIN, 0};
  return ::poll(&p, 1, 0) > 0 && (p.revents & POLLIN) != 0;
}

// --- Waits --------------------------------------------------------------------------------

int WaitDescriptor(int Fd, short Events, std::optional<TWaitClock::time_point> Deadline,
                   short& Revents) noexcept {
  Revents = 0;
  // poll() ignores a negative descriptor, so a thread without a cancel event waits as before.
  pollfd fds[2] = {{Fd, Events, 0}, {BoundCancelFd, POLLIN, 0}};
  const int rc = PollUntil(fds, 2, Deadline);
  if (rc < 0) return errno;
  if (fds[1].revents & POLLIN) return ECANCELED;
  if (rc == 0) return ETIMEDOUT;
  Revents = fds[0].revents;
  return 0;
}

bool CancellableSleep(int Ms) noexcept {
  // Without a bound event the descriptor is -1 and poll() only sleeps.
  pollfd p{BoundCancelFd, POLLIN, 0};
  return PollUntil(&p, 1, TWaitClock::now() + std::chrono::milliseconds(Ms)) <= 0;
}

}  // namespace probrix::platform
