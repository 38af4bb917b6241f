#include "platform/platSocketSweepOs.h"

#include <dirent.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/platPosix.h"

namespace probrix::platform {

namespace {

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

namespace detail {

TSweepSystem::TSweepSystem() = default;
TSweepSystem::~TSweepSystem() = default;

int TSweepSystem::Start(const TSockAddrBytes& Address, TSocketHandle& Socket) {
  sa_family_t family = 0;
  std::memcpy(&family, Address.data(), sizeof family);
  Socket = ::socket(family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (Socket < 0) return errno;
  sockaddr_storage ss{};
  std::memcpy(&ss, Address.data(), Address.size());
  const socklen_t length = family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
  const int code =
      ::connect(Socket, reinterpret_cast<const sockaddr*>(&ss), length) == 0 ? 0 : errno;
  if (code == EINPROGRESS || code == EINTR) return InProgress;
  Close(Socket, code == 0);
  return code;
}

bool TSweepSystem::Exhausted(int Code) {
  return Code == EMFILE || Code == ENFILE || Code == ENOBUFS || Code == ENOMEM;
}

int TSweepSystem::TimedOutCode() { return ETIMEDOUT; }

TConnectOutcome TSweepSystem::OutcomeOf(int Code) {
  return Code == 0              ? TConnectOutcome::coAccepted
         : Code == ECONNREFUSED ? TConnectOutcome::coRefused
         : Code == ETIMEDOUT    ? TConnectOutcome::coSilent
                                : TConnectOutcome::coFailed;
}

TOsError TSweepSystem::ErrorOf(int Code) { return OsError(Code); }
TOsError TSweepSystem::Cancelled() { return OsError(ECANCELED); }

TOsError TSweepSystem::Wait(std::span<const TSocketHandle> Sockets, TSweepClock::time_point Until,
                            std::vector<int>& Codes) {
  std::vector<pollfd> fds;
  fds.reserve(Sockets.size() + 1);
  for (const TSocketHandle s : Sockets) fds.push_back({s, POLLOUT, 0});
  fds.push_back({CurrentCancelFd(), POLLIN, 0});
  for (;;) {
    const auto left = std::max<std::int64_t>(
        0,
        std::chrono::duration_cast<std::chrono::nanoseconds>(Until - TSweepClock::now()).count());
    const timespec wait{static_cast<time_t>(left / 1000000000),
                        static_cast<long>(left % 1000000000)};
    if (::ppoll(fds.data(), fds.size(), &wait, nullptr) >= 0) break;
    if (errno != EINTR) return OsError(errno);
  }
  if (fds.back().revents & POLLIN) return Cancelled();
  Codes.assign(Sockets.size(), InProgress);
  for (std::size_t i = 0; i < Sockets.size(); ++i) {
    if (fds[i].revents == 0) continue;
    int soError = 0;
    socklen_t len = sizeof soError;
    Codes[i] = ::getsockopt(Sockets[i], SOL_SOCKET, SO_ERROR, &soError, &len) < 0 ? errno : soError;
  }
  return {};
}

void TSweepSystem::Close(TSocketHandle Socket, bool Reset) {
  if (Reset) {
    const linger now{1, 0};
    ::setsockopt(Socket, SOL_SOCKET, SO_LINGER, &now, sizeof now);
  }
  ::close(Socket);
}

}  // namespace detail
}  // namespace probrix::platform
