#include "platform/platSockets.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>

#include "platform/platAddressChoice.h"
#include "platform/platCancel.h"
#include "platform/platPosix.h"

namespace probrix::platform {

static_assert(sizeof(sockaddr_in) <= sizeof(TSockAddrBytes));
static_assert(sizeof(sockaddr_in6) == sizeof(TSockAddrBytes));
static_assert(AF_INET == AddressFamilyIPv4 && AF_INET6 == AddressFamilyIPv6);

namespace {
// The length of the socket address the family field of Address announces.
socklen_t SockAddrLength(const TSockAddrBytes& Address) {
  sa_family_t family = 0;
  std::memcpy(&family, Address.data(), sizeof(family));
  return family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
}
}  // namespace

TOsError SocketLibraryStartup() { return {}; }
TOsError SocketLibraryCleanup() { return {}; }

TOsError SocketInvalidArgument() { return OsError(EINVAL); }

TOsError SocketCreate(int Family, int Type, int Protocol, TSocketHandle& Handle) {
  Handle = ::socket(Family, Type | SOCK_CLOEXEC, Protocol);
  if (Handle >= 0) return {};
  Handle = InvalidSocketHandle;
  return OsError(errno);
}

void SocketShutdownBoth(TSocketHandle Handle) noexcept {
  if (Handle != InvalidSocketHandle) ::shutdown(Handle, SHUT_RDWR);
}

void SocketCloseHandle(TSocketHandle Handle) noexcept {
  // close() is not retried on EINTR: the descriptor is released either way on Linux.
  if (Handle != InvalidSocketHandle) ::close(Handle);
}

namespace {

// A failure of the resolver, with its own code and text.
TOsError ResolverError(int Code) {
  return {Code == EAI_NONAME ? TErrorKind::ekNotFound : TErrorKind::ekOther, Code,
          gai_strerror(Code)};
}

// getaddrinfo for a stream socket of Family.
TOsError LookUp(const std::string& HostName, int Family, addrinfo*& List) {
  List = nullptr;
  if (HostName.find('\0') != std::string::npos) return ResolverError(EAI_NONAME);
  addrinfo hints{};
  hints.ai_family = Family;
  hints.ai_socktype = SOCK_STREAM;
  const int rc = ::getaddrinfo(HostName.c_str(), nullptr, &hints, &List);
  if (rc == 0) return {};
  List = nullptr;
  if (rc == EAI_SYSTEM) {
    const int err = errno;
    return err != 0 ? OsError(err) : ResolverError(EAI_SYSTEM);
  }
  return ResolverError(rc);
}

}  // namespace

TOsError SocketResolveIPv4(const std::string& HostName, std::uint32_t& Address) {
  Address = 0;
  addrinfo* list = nullptr;
  if (TOsError error = LookUp(HostName, AF_INET, list)) return error;
  const bool found = detail::TakeIPv4Address(list, Address);
  ::freeaddrinfo(list);
  return found ? TOsError{} : ResolverError(EAI_NONAME);
}

TOsError SocketResolve(const std::string& HostName, std::uint16_t Port, TSockAddrBytes& Address) {
  Address.fill(0);
  addrinfo* list = nullptr;
  if (TOsError error = LookUp(HostName, AF_UNSPEC, list)) return error;
  const bool found = detail::TakeStreamAddress(list, Port, Address);
  ::freeaddrinfo(list);
  return found ? TOsError{} : ResolverError(EAI_NONAME);
}

std::string SocketIPv6AddressText(const TSockAddrBytes& Address) {
  sockaddr_in6 sin6;
  std::memcpy(&sin6, Address.data(), sizeof(sin6));
  char buf[INET6_ADDRSTRLEN] = {};
  if (::inet_ntop(AF_INET6, &sin6.sin6_addr, buf, sizeof(buf)) == nullptr) return {};
  std::string text = buf;
  if (sin6.sin6_scope_id != 0) {
    char name[IF_NAMESIZE] = {};
    text += '%';
    text += ::if_indextoname(sin6.sin6_scope_id, name) != nullptr
                ? std::string(name)
                : std::to_string(sin6.sin6_scope_id);
  }
  return text;
}

std::string SocketAddressToText(std::uint32_t Address) {
  char buf[INET_ADDRSTRLEN] = {};
  in_addr a{};
  a.s_addr = Address;
  if (::inet_ntop(AF_INET, &a, buf, sizeof(buf)) == nullptr) return {};
  return buf;
}

bool SocketParseIPv4Address(const std::string& Text, std::uint32_t& Address) {
  const in_addr_t value = ::inet_addr(Text.c_str());
  if (value == INADDR_NONE) return false;
  Address = value;
  return true;
}

std::uint16_t SocketHostToNetPort(std::uint16_t Port) { return htons(Port); }
std::uint16_t SocketNetToHostPort(std::uint16_t Port) { return ntohs(Port); }

namespace {

int SetBlocking(TSocketHandle Handle, bool Blocking) {
  const int flags = ::fcntl(Handle, F_GETFL);
  if (flags < 0) return errno;
  const int wanted = Blocking ? (flags & ~O_NONBLOCK) : (flags | O_NONBLOCK);
  if (wanted != flags && ::fcntl(Handle, F_SETFL, wanted) < 0) return errno;
  return 0;
}

// A deadline TimeoutMs from now; none for 0 (no limit), the shortest wait for a negative value.
std::optional<TWaitClock::time_point> DeadlineAfter(std::int32_t TimeoutMs) {
  if (TimeoutMs == 0) return std::nullopt;
  return TWaitClock::now() + std::chrono::milliseconds(TimeoutMs < 0 ? 1 : TimeoutMs);
}

// Waits for a non-blocking connect to finish; returns its outcome.
int WaitConnected(TSocketHandle Handle, std::int32_t TimeoutMs) {
  short revents = 0;
  if (const int rc = WaitDescriptor(Handle, POLLOUT, DeadlineAfter(TimeoutMs), revents)) return rc;
  int soError = 0;
  socklen_t len = sizeof(soError);
  if (::getsockopt(Handle, SOL_SOCKET, SO_ERROR, &soError, &len) < 0) return errno;
  return soError;
}

}  // namespace

TOsError SocketConnect(TSocketHandle Handle, const TSockAddrBytes& Address,
                       std::int32_t TimeoutMs) {
  sockaddr_storage ss{};
  std::memcpy(&ss, Address.data(), Address.size());
  if (const int err = SetBlocking(Handle, false)) return OsError(err);
  int result = 0;
  if (::connect(Handle, reinterpret_cast<const sockaddr*>(&ss), SockAddrLength(Address)) < 0) {
    result = errno;
    if (result == EINPROGRESS || result == EINTR) result = WaitConnected(Handle, TimeoutMs);
  }
  // The socket goes back to blocking mode whatever happened; a failure to do so after a
  // successful connect fails the connect, since every later call relies on blocking mode.
  const int restore = SetBlocking(Handle, true);
  return OsError(result != 0 ? result : restore);
}

TOsError SocketSend(TSocketHandle Handle, const void* Data, std::int32_t Count,
                    std::int32_t TimeoutMs, std::int32_t& Sent) {
  Sent = 0;
  if (Count < 0) return OsError(EINVAL);
  // The kernel's send timeout would start afresh with every partial send; the deadline here
  // governs the whole buffer.
  const auto deadline = DeadlineAfter(TimeoutMs);
  const auto* bytes = static_cast<const std::uint8_t*>(Data);
  while (Sent < Count) {
    const ssize_t n = ::send(Handle, bytes + Sent, static_cast<std::size_t>(Count - Sent),
                             MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n >= 0) {
      Sent += static_cast<std::int32_t>(n);
      continue;
    }
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) return OsError(errno);
    short revents = 0;
    if (const int rc = WaitDescriptor(Handle, POLLOUT, deadline, revents)) return OsError(rc);
    // An error or a hang-up shows at the next send.
  }
  return {};
}

namespace {

// One receive without waiting: 0 with the bytes, EWOULDBLOCK when nothing waits, else errno.
int ReceiveNow(TSocketHandle Handle, void* Buffer, std::int32_t Count, std::int32_t& Received) {
  Received = 0;
  if (Count < 0) return EINVAL;
  for (;;) {
    const ssize_t n = ::recv(Handle, Buffer, static_cast<std::size_t>(Count), MSG_DONTWAIT);
    if (n >= 0) {
      Received = static_cast<std::int32_t>(n);
      return 0;
    }
    if (errno == EINTR) continue;
    return errno == EAGAIN ? EWOULDBLOCK : errno;
  }
}

// The outcome of a receive that was not left waiting: bytes, an orderly close (ekGone with
// code 0) or the failure.
TOsError ReceiveOutcome(int Code, std::int32_t Count) {
  if (Code != 0) return OsError(Code);
  if (Count == 0) return {TErrorKind::ekGone, 0, SystemErrorText(0)};
  return {};
}

}  // namespace

TOsError SocketRecvAvailable(TSocketHandle Handle, void* Buffer, std::int32_t Count,
                             std::int32_t& Received) {
  const int rc = ReceiveNow(Handle, Buffer, Count, Received);
  if (rc == EWOULDBLOCK || (rc == 0 && Count == 0)) return {};
  return ReceiveOutcome(rc, Received);
}

TOsError SocketRecv(TSocketHandle Handle, void* Buffer, std::int32_t Count, std::int32_t TimeoutMs,
                    std::int32_t& Received) {
  // The kernel keeps SO_RCVTIMEO in scheduler ticks, rounds it up and ends the wait a tick
  // late (at 250 Hz a 50 ms timeout ran 52 to 56 ms), which adds up over a search of silent
  // addresses. The wait is done here against a deadline, which ends on time.
  // What a receive would refuse at once is not waited for (poll skips a negative descriptor).
  Received = 0;
  if (Count < 0) return OsError(EINVAL);
  if (Handle == InvalidSocketHandle) return OsError(EBADF);
  const auto deadline = DeadlineAfter(TimeoutMs);
  for (;;) {
    // Wait first: a receive follows a request the peer has not answered yet, so a read before
    // the wait would only come back empty. Data already there ends the wait at once.
    short revents = 0;
    // A wait that ends at the deadline found nothing readable then: what comes later is late.
    const int wait = WaitDescriptor(Handle, POLLIN, deadline, revents);
    if (wait != 0) return OsError(wait);
    const int rc = ReceiveNow(Handle, Buffer, Count, Received);
    if (rc != EWOULDBLOCK) return ReceiveOutcome(rc, Received);
    // Another reader was faster: wait on until the deadline.
  }
}

namespace {
int TimeoutOption(TSocketTimeoutKind Kind) {
  return Kind == TSocketTimeoutKind::tkReceive ? SO_RCVTIMEO : SO_SNDTIMEO;
}
}  // namespace

TOsError SocketSetTimeout(TSocketHandle Handle, TSocketTimeoutKind Kind, std::int32_t Ms) {
  // 0 is "no limit" as on the socket itself. A negative value (an already spent budget) is
  // the shortest wait rather than an error or an endless one.
  if (Ms < 0) Ms = 1;
  timeval tv{};
  tv.tv_sec = Ms / 1000;
  tv.tv_usec = static_cast<suseconds_t>(Ms % 1000) * 1000;
  if (::setsockopt(Handle, SOL_SOCKET, TimeoutOption(Kind), &tv, sizeof(tv)) < 0)
    return OsError(errno);
  return {};
}

TOsError SocketGetTimeout(TSocketHandle Handle, TSocketTimeoutKind Kind, std::int32_t& Ms) {
  timeval tv{};
  socklen_t len = sizeof(tv);
  if (::getsockopt(Handle, SOL_SOCKET, TimeoutOption(Kind), &tv, &len) < 0) return OsError(errno);
  const long long total = static_cast<long long>(tv.tv_sec) * 1000 + (tv.tv_usec + 999) / 1000;
  Ms = total > INT32_MAX ? INT32_MAX : static_cast<std::int32_t>(total);
  return {};
}

TOsError SocketAvailable(TSocketHandle Handle, std::int32_t& Count) {
  int n = 0;
  Count = 0;
  if (::ioctl(Handle, FIONREAD, &n) < 0) return OsError(errno);
  Count = n;
  return {};
}

namespace {
TOsError ReadAddress(int (*Query)(int, sockaddr*, socklen_t*), TSocketHandle Handle,
                     TSockAddrBytes& Address) {
  sockaddr_storage ss{};
  socklen_t len = sizeof(ss);
  Address.fill(0);
  if (Query(Handle, reinterpret_cast<sockaddr*>(&ss), &len) < 0) return OsError(errno);
  // The address layout holds IPv4 and IPv6 addresses; longer families are cut to it.
  std::memcpy(Address.data(), &ss, Address.size());
  return {};
}
}  // namespace

TOsError SocketLocalAddress(TSocketHandle Handle, TSockAddrBytes& Address) {
  return ReadAddress(&::getsockname, Handle, Address);
}

TOsError SocketPeerAddress(TSocketHandle Handle, TSockAddrBytes& Address) {
  return ReadAddress(&::getpeername, Handle, Address);
}

}  // namespace probrix::platform
