#include "platform/platSocketSweep.h"

#include <dirent.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>
#include <vector>

#include "platform/platCancel.h"
#include "platform/platPosix.h"

namespace probrix::platform {

namespace {

struct TInFlight {
  std::size_t Index;
  int Fd;
  TWaitClock::time_point Deadline;
};

TConnectOutcome OutcomeOf(int Code) {
  switch (Code) {
    case 0:
      return TConnectOutcome::coAccepted;
    case ECONNREFUSED:
      return TConnectOutcome::coRefused;
    case ETIMEDOUT:
      return TConnectOutcome::coSilent;
    default:
      return TConnectOutcome::coFailed;
  }
}

// Closes with a reset: the host frees the connection at once and no TIME_WAIT stays here.
void Abort(int Fd) {
  const linger now{1, 0};
  ::setsockopt(Fd, SOL_SOCKET, SO_LINGER, &now, sizeof now);
  ::close(Fd);
}

std::size_t OpenDescriptors() {
  DIR* dir = ::opendir("/proc/self/fd");
  if (dir == nullptr) return 64;  // no /proc: a guess that leaves room
  std::size_t count = 0;
  while (const dirent* e = ::readdir(dir))
    if (e->d_name[0] != '.') ++count;
  ::closedir(dir);
  return count;
}

}  // namespace

std::size_t SweepInFlightLimit() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY)
    return MaxSweepInFlight;
  // Log files, ports and the search's own sockets open while a sweep runs.
  constexpr std::size_t reserve = 32;
  const std::size_t used = OpenDescriptors() + reserve;
  if (limit.rlim_cur <= used) return 1;
  return std::clamp<std::size_t>(limit.rlim_cur - used, 1, MaxSweepInFlight);
}

TOsError SweepConnect(std::span<const TSockAddrBytes> Addresses, std::int32_t TimeoutMs,
                      std::size_t MaxInFlight, const TSweepOutcomeFn& OnOutcome,
                      TSweepStats* Stats) {
  std::size_t cap = MaxInFlight == 0 ? SweepInFlightLimit() : MaxInFlight;
  const auto timeout = std::chrono::milliseconds(std::max<std::int32_t>(TimeoutMs, 1));
  std::vector<TInFlight> flying;
  flying.reserve(cap);
  // Whatever ends the sweep, nothing stays open.
  struct TCloser {
    std::vector<TInFlight>& Flying;
    ~TCloser() {
      for (const TInFlight& f : Flying) ::close(f.Fd);
    }
  } closer{flying};
  std::vector<pollfd> fds;
  std::vector<std::pair<std::size_t, int>> ended;
  const auto report = [&](std::size_t Index, int Code) {
    if (OnOutcome) OnOutcome(Index, OutcomeOf(Code), OsError(Code));
  };

  std::size_t next = 0;
  while (next < Addresses.size() || !flying.empty()) {
    while (next < Addresses.size() && flying.size() < cap) {
      if (CancelRequested()) return OsError(ECANCELED);
      const TSockAddrBytes& address = Addresses[next];
      sa_family_t family = 0;
      std::memcpy(&family, address.data(), sizeof family);
      const int fd = ::socket(family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
      if (fd < 0) {
        const int err = errno;
        const bool exhausted = err == EMFILE || err == ENFILE || err == ENOBUFS || err == ENOMEM;
        if (exhausted && flying.empty()) return OsError(err);
        if (exhausted) {
          cap = flying.size();  // the system's own limit is lower: go on with what it allows
          break;
        }
        report(next++, err);
        continue;
      }
      sockaddr_storage ss{};
      std::memcpy(&ss, address.data(), address.size());
      const socklen_t length = family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
      if (::connect(fd, reinterpret_cast<const sockaddr*>(&ss), length) == 0) {
        Abort(fd);
        report(next++, 0);
        continue;
      }
      const int err = errno;
      if (err != EINPROGRESS && err != EINTR) {
        ::close(fd);
        report(next++, err);
        continue;
      }
      flying.push_back({next++, fd, TWaitClock::now() + timeout});
      if (Stats != nullptr) Stats->PeakInFlight = std::max(Stats->PeakInFlight, flying.size());
    }
    if (flying.empty()) continue;

    // One wait for all of them and the cancel event, until the earliest deadline.
    fds.clear();
    auto earliest = flying.front().Deadline;
    for (const TInFlight& f : flying) {
      fds.push_back({f.Fd, POLLOUT, 0});
      earliest = std::min(earliest, f.Deadline);
    }
    fds.push_back({CurrentCancelFd(), POLLIN, 0});
    const auto left = std::max<std::int64_t>(
        0,
        std::chrono::duration_cast<std::chrono::nanoseconds>(earliest - TWaitClock::now()).count());
    const timespec wait{static_cast<time_t>(left / 1000000000),
                        static_cast<long>(left % 1000000000)};
    if (::ppoll(fds.data(), fds.size(), &wait, nullptr) < 0) {
      if (errno == EINTR) continue;
      return OsError(errno);
    }
    if (fds.back().revents & POLLIN) return OsError(ECANCELED);

    // What ended leaves the list before it is reported: a handler that throws leaves nothing
    // closed twice.
    const auto now = TWaitClock::now();
    ended.clear();
    std::size_t kept = 0;
    for (std::size_t i = 0; i < flying.size(); ++i) {
      const TInFlight f = flying[i];
      int code = -1;
      if (fds[i].revents != 0) {
        int soError = 0;
        socklen_t len = sizeof soError;
        code = ::getsockopt(f.Fd, SOL_SOCKET, SO_ERROR, &soError, &len) < 0 ? errno : soError;
      } else if (now >= f.Deadline) {
        code = ETIMEDOUT;
      }
      if (code < 0) {
        flying[kept++] = f;
        continue;
      }
      if (code == 0) {
        Abort(f.Fd);
      } else {
        ::close(f.Fd);
      }
      ended.emplace_back(f.Index, code);
    }
    flying.resize(kept);
    for (const auto& [index, code] : ended) report(index, code);
  }
  return {};
}

}  // namespace probrix::platform
