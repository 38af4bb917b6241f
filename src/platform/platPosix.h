#pragma once

// Shared by the Linux half of the platform layer only: the layers above never include it.
// errno turned into the kinds of platError.h, and the waits that watch a descriptor together
// with the calling thread's cancel event (platCancel.h).

#include <chrono>
#include <optional>

#include "platform/platError.h"

namespace probrix::platform {

// Where an error code arose: a "no such device" at the opening of a device means it is not
// there; during input or output it means the device went away.
enum class TErrorContext : std::uint8_t { ecOpen, ecUse };

// The kind of errno Code (0: no failure) with its code and text:
// not found = ENOENT, ENOTDIR (and ENODEV, ENXIO at open); access denied = EACCES, EPERM;
// busy = EBUSY, EWOULDBLOCK (a lock someone else holds); timed out = ETIMEDOUT;
// gone = EIO, EBADF, EPIPE, ECONNRESET (and ENODEV, ENXIO in use); cancelled = ECANCELED.
TOsError OsError(int Code, TErrorContext Context = TErrorContext::ecUse);

// The calling thread's cancel descriptor, -1 when none is bound.
int CurrentCancelFd() noexcept;

using TWaitClock = std::chrono::steady_clock;

// Waits until Fd reports one of Events (poll flags), Deadline passes (none: no limit) or the
// thread's cancel event is set. Returns 0 when Fd is ready (Revents holds what it reported,
// including POLLHUP, POLLERR or POLLNVAL), ETIMEDOUT, ECANCELED, or the errno of a failed wait.
// Timed to the nanosecond; an interrupted wait goes on.
int WaitDescriptor(int Fd, short Events, std::optional<TWaitClock::time_point> Deadline,
                   short& Revents) noexcept;

}  // namespace probrix::platform
