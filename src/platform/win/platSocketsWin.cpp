#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstddef>
#include <cstring>
#include <optional>

#include "platform/platAddressChoice.h"
#include "platform/platSockets.h"
#include "platform/win/platWin.h"

namespace probrix::platform {

static_assert(sizeof(sockaddr_in) <= sizeof(TSockAddrBytes));
static_assert(sizeof(sockaddr_in6) == sizeof(TSockAddrBytes));
static_assert(AF_INET == AddressFamilyIPv4 && AF_INET6 == AddressFamilyIPv6);
static_assert(sizeof(SOCKET) == sizeof(TSocketHandle) && INVALID_SOCKET == InvalidSocketHandle);

namespace {

SOCKET Native(TSocketHandle Handle) { return static_cast<SOCKET>(Handle); }

TOsError SocketError(int Code) { return WinError(static_cast<DWORD>(Code)); }
TOsError LastSocketError() { return SocketError(::WSAGetLastError()); }

int SockAddrLength(const TSockAddrBytes& Address) {
  std::uint16_t family = 0;
  std::memcpy(&family, Address.data(), sizeof(family));
  return family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
}

// A deadline TimeoutMs from now; none for 0 (no limit), the shortest wait for a negative value.
std::optional<TWaitClock::time_point> DeadlineAfter(std::int32_t TimeoutMs) {
  if (TimeoutMs == 0) return std::nullopt;
  return TWaitClock::now() + std::chrono::milliseconds(TimeoutMs < 0 ? 1 : TimeoutMs);
}

// One overlapped WSARecv or WSASend (issued by Start, 0 when done at once) on Socket, as
// OverlappedTransfer does it.
template <class StartFn>
DWORD Transfer(SOCKET Socket, StartFn Start, const std::optional<TWaitClock::time_point>& Deadline,
               DWORD& Done) {
  return OverlappedTransfer(
      reinterpret_cast<HANDLE>(Socket),
      [&](OVERLAPPED* Ov) -> DWORD {
        return Start(Ov) == 0 ? 0 : static_cast<DWORD>(::WSAGetLastError());
      },
      [&](OVERLAPPED* Ov, BOOL Wait, DWORD& N) {
        DWORD flags = 0;
        return ::WSAGetOverlappedResult(Socket, Ov, &N, Wait, &flags);
      },
      Deadline, Done);
}

// A failure of the resolver, with its own code and text.
TOsError ResolverError(int Code) {
  return {Code == WSAHOST_NOT_FOUND || Code == WSANO_DATA ? TErrorKind::ekNotFound
                                                          : TErrorKind::ekOther,
          Code, SystemErrorText(Code)};
}

TOsError LookUp(const std::string& HostName, int Family, addrinfoW*& List) {
  List = nullptr;
  if (HostName.find('\0') != std::string::npos) return ResolverError(WSAHOST_NOT_FOUND);
  addrinfoW hints{};
  hints.ai_family = Family;
  hints.ai_socktype = SOCK_STREAM;
  const int rc = ::GetAddrInfoW(WideFromUtf8(HostName).c_str(), nullptr, &hints, &List);
  if (rc == 0) return {};
  List = nullptr;
  return ResolverError(rc);
}

}  // namespace

TOsError SocketLibraryStartup() {
  WSADATA data{};
  const int rc = ::WSAStartup(MAKEWORD(2, 2), &data);
  return rc == 0 ? TOsError{} : SocketError(rc);
}

TOsError SocketLibraryCleanup() { return ::WSACleanup() == 0 ? TOsError{} : LastSocketError(); }

TOsError SocketInvalidArgument() { return SocketError(WSAEINVAL); }

TOsError SocketCreate(int Family, int Type, int Protocol, TSocketHandle& Handle) {
  const SOCKET s = ::WSASocketW(Family, Type, Protocol, nullptr, 0,
                                WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
  if (s != INVALID_SOCKET) {
    Handle = static_cast<TSocketHandle>(s);
    return {};
  }
  Handle = InvalidSocketHandle;
  return LastSocketError();
}

void SocketShutdownBoth(TSocketHandle Handle) noexcept {
  if (Handle != InvalidSocketHandle) ::shutdown(Native(Handle), SD_BOTH);
}

void SocketCloseHandle(TSocketHandle Handle) noexcept {
  if (Handle != InvalidSocketHandle) ::closesocket(Native(Handle));
}

TOsError SocketResolveIPv4(const std::string& HostName, std::uint32_t& Address) {
  Address = 0;
  addrinfoW* list = nullptr;
  if (TOsError error = LookUp(HostName, AF_INET, list)) return error;
  const bool found = detail::TakeIPv4Address(list, Address);
  ::FreeAddrInfoW(list);
  return found ? TOsError{} : ResolverError(WSAHOST_NOT_FOUND);
}

TOsError SocketResolve(const std::string& HostName, std::uint16_t Port, TSockAddrBytes& Address) {
  Address.fill(0);
  addrinfoW* list = nullptr;
  if (TOsError error = LookUp(HostName, AF_UNSPEC, list)) return error;
  const bool found = detail::TakeStreamAddress(list, Port, Address);
  ::FreeAddrInfoW(list);
  return found ? TOsError{} : ResolverError(WSAHOST_NOT_FOUND);
}

std::string SocketIPv6AddressText(const TSockAddrBytes& Address) {
  sockaddr_in6 sin6;
  std::memcpy(&sin6, Address.data(), sizeof(sin6));
  char buffer[INET6_ADDRSTRLEN] = {};
  if (::inet_ntop(AF_INET6, &sin6.sin6_addr, buffer, sizeof(buffer)) == nullptr) return {};
  std::string text = buffer;
  // Windows names a zone by its interface number.
  if (sin6.sin6_scope_id != 0) text += "%" + std::to_string(sin6.sin6_scope_id);
  return text;
}

std::string SocketAddressToText(std::uint32_t Address) {
  char buffer[INET_ADDRSTRLEN] = {};
  in_addr a{};
  a.s_addr = Address;
  if (::inet_ntop(AF_INET, &a, buffer, sizeof(buffer)) == nullptr) return {};
  return buffer;
}

bool SocketParseIPv4Address(const std::string& Text, std::uint32_t& Address) {
  if (Text.empty() || Text.find('\0') != std::string::npos) return false;
  const unsigned long value = ::inet_addr(Text.c_str());
  if (value == INADDR_NONE) return false;
  Address = static_cast<std::uint32_t>(value);
  return true;
}

std::uint16_t SocketHostToNetPort(std::uint16_t Port) { return ::htons(Port); }
std::uint16_t SocketNetToHostPort(std::uint16_t Port) { return ::ntohs(Port); }

TOsError SocketConnect(TSocketHandle Handle, const TSockAddrBytes& Address,
                       std::int32_t TimeoutMs) {
  const SOCKET s = Native(Handle);
  sockaddr_storage ss{};
  std::memcpy(&ss, Address.data(), Address.size());
  // The connect's end is an event of the socket, waited for together with the cancel event;
  // the selection also makes the socket non-blocking until it is taken back.
  const TWinHandle event(::WSACreateEvent());
  if (!event.Valid()) return LastSocketError();
  if (::WSAEventSelect(s, event.Get(), FD_CONNECT) != 0) return LastSocketError();
  int result = 0;
  if (::connect(s, reinterpret_cast<const sockaddr*>(&ss), SockAddrLength(Address)) != 0) {
    result = ::WSAGetLastError();
    if (result == WSAEWOULDBLOCK) {
      const DWORD wait = WaitHandle(event.Get(), DeadlineAfter(TimeoutMs));
      if (wait == WAIT_TIMEOUT) {
        result = WSAETIMEDOUT;
      } else if (wait != 0) {
        result = static_cast<int>(wait);
      } else {
        WSANETWORKEVENTS events{};
        result = ::WSAEnumNetworkEvents(s, event.Get(), &events) != 0
                     ? ::WSAGetLastError()
                     : events.iErrorCode[FD_CONNECT_BIT];
      }
    }
  }
  // Back to blocking mode whatever happened; a failure to do so fails the connect, since every
  // later call relies on it.
  u_long blocking = 0;
  int restore = 0;
  if (::WSAEventSelect(s, nullptr, 0) != 0 || ::ioctlsocket(s, FIONBIO, &blocking) != 0)
    restore = ::WSAGetLastError();
  return SocketError(result != 0 ? result : restore);
}

TOsError SocketSend(TSocketHandle Handle, const void* Data, std::int32_t Count,
                    std::int32_t TimeoutMs, std::int32_t& Sent) {
  Sent = 0;
  if (Count < 0) return SocketError(WSAEINVAL);
  if (Count == 0) return {};
  const SOCKET s = Native(Handle);
  // One deadline for the whole buffer.
  WSABUF buffer{static_cast<ULONG>(Count), static_cast<CHAR*>(const_cast<void*>(Data))};
  DWORD moved = 0;
  const DWORD rc = Transfer(
      s, [&](WSAOVERLAPPED* Ov) { return ::WSASend(s, &buffer, 1, nullptr, 0, Ov, nullptr); },
      DeadlineAfter(TimeoutMs), moved);
  Sent = static_cast<std::int32_t>(moved);
  if (rc == WAIT_TIMEOUT) return SocketError(WSAETIMEDOUT);
  if (rc != 0) return SocketError(static_cast<int>(rc));
  if (Sent < Count) return SocketError(WSAETIMEDOUT);
  return {};
}

namespace {

// The outcome of a receive that was not left waiting: bytes, an orderly close (ekGone with
// code 0) or the failure.
TOsError ReceiveOutcome(DWORD Code, std::int32_t Count) {
  if (Code != 0) return SocketError(static_cast<int>(Code));
  if (Count == 0) return {TErrorKind::ekGone, 0, SystemErrorText(0)};
  return {};
}

}  // namespace

TOsError SocketRecvAvailable(TSocketHandle Handle, void* Buffer, std::int32_t Count,
                             std::int32_t& Received) {
  Received = 0;
  if (Count < 0) return SocketError(WSAEINVAL);
  if (Count == 0) return {};
  const SOCKET s = Native(Handle);
  WSAPOLLFD p{s, POLLRDNORM, 0};
  const int ready = ::WSAPoll(&p, 1, 0);
  if (ready < 0) return LastSocketError();
  if (ready == 0) return {};
  // Readable: bytes, the close or an error are there, so the receive does not wait.
  const int n = ::recv(s, static_cast<char*>(Buffer), Count, 0);
  if (n < 0) return LastSocketError();
  Received = n;
  return ReceiveOutcome(0, n);
}

TOsError SocketRecv(TSocketHandle Handle, void* Buffer, std::int32_t Count, std::int32_t TimeoutMs,
                    std::int32_t& Received) {
  Received = 0;
  if (Count < 0) return SocketError(WSAEINVAL);
  const SOCKET s = Native(Handle);
  WSABUF buf{static_cast<ULONG>(Count), static_cast<CHAR*>(Buffer)};
  DWORD moved = 0;
  const DWORD rc = Transfer(
      s,
      [&](WSAOVERLAPPED* Ov) {
        DWORD flags = 0;
        return ::WSARecv(s, &buf, 1, nullptr, &flags, Ov, nullptr);
      },
      DeadlineAfter(TimeoutMs), moved);
  Received = static_cast<std::int32_t>(moved);
  // Bytes that arrived just at the deadline still count.
  if (rc == WAIT_TIMEOUT) return Received > 0 ? TOsError{} : SocketError(WSAETIMEDOUT);
  if (rc == ERROR_OPERATION_ABORTED && Received > 0) return {};
  return ReceiveOutcome(rc, Received);
}

namespace {
int TimeoutOption(TSocketTimeoutKind Kind) {
  return Kind == TSocketTimeoutKind::tkReceive ? SO_RCVTIMEO : SO_SNDTIMEO;
}
}  // namespace

TOsError SocketSetTimeout(TSocketHandle Handle, TSocketTimeoutKind Kind, std::int32_t Ms) {
  // 0 is "no limit" as on the socket itself; a negative value is the shortest wait.
  const DWORD value = Ms < 0 ? 1 : static_cast<DWORD>(Ms);
  if (::setsockopt(Native(Handle), SOL_SOCKET, TimeoutOption(Kind),
                   reinterpret_cast<const char*>(&value), sizeof(value)) != 0)
    return LastSocketError();
  return {};
}

TOsError SocketGetTimeout(TSocketHandle Handle, TSocketTimeoutKind Kind, std::int32_t& Ms) {
  DWORD value = 0;
  int length = sizeof(value);
  if (::getsockopt(Native(Handle), SOL_SOCKET, TimeoutOption(Kind), reinterpret_cast<char*>(&value),
                   &length) != 0)
    return LastSocketError();
  Ms = value > INT32_MAX ? INT32_MAX : static_cast<std::int32_t>(value);
  return {};
}

TOsError SocketAvailable(TSocketHandle Handle, std::int32_t& Count) {
  u_long n = 0;
  Count = 0;
  if (::ioctlsocket(Native(Handle), FIONREAD, &n) != 0) return LastSocketError();
  Count = n > INT32_MAX ? INT32_MAX : static_cast<std::int32_t>(n);
  return {};
}

namespace {
template <class QueryFn>
TOsError ReadAddress(QueryFn Query, TSocketHandle Handle, TSockAddrBytes& Address) {
  sockaddr_storage ss{};
  int length = sizeof(ss);
  Address.fill(0);
  if (Query(Native(Handle), reinterpret_cast<sockaddr*>(&ss), &length) != 0)
    return LastSocketError();
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
