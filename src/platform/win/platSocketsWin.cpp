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
  std::uint16_t Family = 0;
  std::memcpy(&Family, Address.data(), sizeof(Family));
  return Family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
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
        DWORD Flags = 0;
        return ::WSAGetOverlappedResult(Socket, Ov, &N, Wait, &Flags);
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
  addrinfoW Hints{};
  Hints.ai_family = Family;
  Hints.ai_socktype = SOCK_STREAM;
  const int Rc = ::GetAddrInfoW(WideFromUtf8(HostName).c_str(), nullptr, &Hints, &List);
  if (Rc == 0) return {};
  List = nullptr;
  return ResolverError(Rc);
}

}  // namespace

TOsError SocketLibraryStartup() {
  WSADATA Data{};
  const int Rc = ::WSAStartup(MAKEWORD(2, 2), &Data);
  return Rc == 0 ? TOsError{} : SocketError(Rc);
}

TOsError SocketLibraryCleanup() { return ::WSACleanup() == 0 ? TOsError{} : LastSocketError(); }

TOsError SocketInvalidArgument() { return SocketError(WSAEINVAL); }

TOsError SocketCreate(int Family, int Type, int Protocol, TSocketHandle& Handle) {
  const SOCKET S = ::WSASocketW(Family, Type, Protocol, nullptr, 0,
                                WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
  if (S != INVALID_SOCKET) {
    Handle = static_cast<TSocketHandle>(S);
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
  addrinfoW* List = nullptr;
  if (TOsError Error = LookUp(HostName, AF_INET, List)) return Error;
  const bool Found = detail::TakeIPv4Address(List, Address);
  ::FreeAddrInfoW(List);
  return Found ? TOsError{} : ResolverError(WSAHOST_NOT_FOUND);
}

TOsError SocketResolve(const std::string& HostName, std::uint16_t Port, TSockAddrBytes& Address) {
  Address.fill(0);
  addrinfoW* List = nullptr;
  if (TOsError Error = LookUp(HostName, AF_UNSPEC, List)) return Error;
  const bool Found = detail::TakeStreamAddress(List, Port, Address);
  ::FreeAddrInfoW(List);
  return Found ? TOsError{} : ResolverError(WSAHOST_NOT_FOUND);
}

std::string SocketIPv6AddressText(const TSockAddrBytes& Address) {
  sockaddr_in6 Sin6;
  std::memcpy(&Sin6, Address.data(), sizeof(Sin6));
  char Buffer[INET6_ADDRSTRLEN] = {};
  if (::inet_ntop(AF_INET6, &Sin6.sin6_addr, Buffer, sizeof(Buffer)) == nullptr) return {};
  std::string Text = Buffer;
  // Windows names a zone by its interface number.
  if (Sin6.sin6_scope_id != 0) Text += "%" + std::to_string(Sin6.sin6_scope_id);
  return Text;
}

std::string SocketAddressToText(std::uint32_t Address) {
  char Buffer[INET_ADDRSTRLEN] = {};
  in_addr A{};
  A.s_addr = Address;
  if (::inet_ntop(AF_INET, &A, Buffer, sizeof(Buffer)) == nullptr) return {};
  return Buffer;
}

bool SocketParseIPv4Address(const std::string& Text, std::uint32_t& Address) {
  if (Text.empty() || Text.find('\0') != std::string::npos) return false;
  const unsigned long Value = ::inet_addr(Text.c_str());
  if (Value == INADDR_NONE) return false;
  Address = static_cast<std::uint32_t>(Value);
  return true;
}

std::uint16_t SocketHostToNetPort(std::uint16_t Port) { return ::htons(Port); }
std::uint16_t SocketNetToHostPort(std::uint16_t Port) { return ::ntohs(Port); }

TOsError SocketConnect(TSocketHandle Handle, const TSockAddrBytes& Address,
                       std::int32_t TimeoutMs) {
  const SOCKET S = Native(Handle);
  sockaddr_storage Ss{};
  std::memcpy(&Ss, Address.data(), Address.size());
  // The connect's end is an event of the socket, waited for together with the cancel event;
  // the selection also makes the socket non-blocking until it is taken back.
  const TWinHandle Event(::WSACreateEvent());
  if (!Event.Valid()) return LastSocketError();
  if (::WSAEventSelect(S, Event.Get(), FD_CONNECT) != 0) return LastSocketError();
  int Result = 0;
  if (::connect(S, reinterpret_cast<const sockaddr*>(&Ss), SockAddrLength(Address)) != 0) {
    Result = ::WSAGetLastError();
    if (Result == WSAEWOULDBLOCK) {
      const DWORD Wait = WaitHandle(Event.Get(), DeadlineAfter(TimeoutMs));
      if (Wait == WAIT_TIMEOUT) {
        Result = WSAETIMEDOUT;
      } else if (Wait != 0) {
        Result = static_cast<int>(Wait);
      } else {
        WSANETWORKEVENTS Events{};
        Result = ::WSAEnumNetworkEvents(S, Event.Get(), &Events) != 0
                     ? ::WSAGetLastError()
                     : Events.iErrorCode[FD_CONNECT_BIT];
      }
    }
  }
  // Back to blocking mode whatever happened; a failure to do so fails the connect, since every
  // later call relies on it.
  u_long Blocking = 0;
  int Restore = 0;
  if (::WSAEventSelect(S, nullptr, 0) != 0 || ::ioctlsocket(S, FIONBIO, &Blocking) != 0)
    Restore = ::WSAGetLastError();
  return SocketError(Result != 0 ? Result : Restore);
}

TOsError SocketSend(TSocketHandle Handle, const void* Data, std::int32_t Count,
                    std::int32_t TimeoutMs, std::int32_t& Sent) {
  Sent = 0;
  if (Count < 0) return SocketError(WSAEINVAL);
  if (Count == 0) return {};
  const SOCKET S = Native(Handle);
  // One deadline for the whole buffer.
  WSABUF Buffer{static_cast<ULONG>(Count), static_cast<CHAR*>(const_cast<void*>(Data))};
  DWORD Moved = 0;
  const DWORD Rc = Transfer(
      S, [&](WSAOVERLAPPED* Ov) { return ::WSASend(S, &Buffer, 1, nullptr, 0, Ov, nullptr); },
      DeadlineAfter(TimeoutMs), Moved);
  Sent = static_cast<std::int32_t>(Moved);
  if (Rc == WAIT_TIMEOUT) return SocketError(WSAETIMEDOUT);
  if (Rc != 0) return SocketError(static_cast<int>(Rc));
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
  const SOCKET S = Native(Handle);
  WSAPOLLFD P{S, POLLRDNORM, 0};
  const int Ready = ::WSAPoll(&P, 1, 0);
  if (Ready < 0) return LastSocketError();
  if (Ready == 0) return {};
  // Readable: bytes, the close or an error are there, so the receive does not wait.
  const int N = ::recv(S, static_cast<char*>(Buffer), Count, 0);
  if (N < 0) return LastSocketError();
  Received = N;
  return ReceiveOutcome(0, N);
}

TOsError SocketRecv(TSocketHandle Handle, void* Buffer, std::int32_t Count, std::int32_t TimeoutMs,
                    std::int32_t& Received) {
  Received = 0;
  if (Count < 0) return SocketError(WSAEINVAL);
  const SOCKET S = Native(Handle);
  WSABUF Buf{static_cast<ULONG>(Count), static_cast<CHAR*>(Buffer)};
  DWORD Moved = 0;
  const DWORD Rc = Transfer(
      S,
      [&](WSAOVERLAPPED* Ov) {
        DWORD Flags = 0;
        return ::WSARecv(S, &Buf, 1, nullptr, &Flags, Ov, nullptr);
      },
      DeadlineAfter(TimeoutMs), Moved);
  Received = static_cast<std::int32_t>(Moved);
  // Bytes that arrived just at the deadline still count.
  if (Rc == WAIT_TIMEOUT) return Received > 0 ? TOsError{} : SocketError(WSAETIMEDOUT);
  if (Rc == ERROR_OPERATION_ABORTED && Received > 0) return {};
  return ReceiveOutcome(Rc, Received);
}

namespace {
int TimeoutOption(TSocketTimeoutKind Kind) {
  return Kind == TSocketTimeoutKind::tkReceive ? SO_RCVTIMEO : SO_SNDTIMEO;
}
}  // namespace

TOsError SocketSetTimeout(TSocketHandle Handle, TSocketTimeoutKind Kind, std::int32_t Ms) {
  // 0 is "no limit" as on the socket itself; a negative value is the shortest wait.
  const DWORD Value = Ms < 0 ? 1 : static_cast<DWORD>(Ms);
  if (::setsockopt(Native(Handle), SOL_SOCKET, TimeoutOption(Kind),
                   reinterpret_cast<const char*>(&Value), sizeof(Value)) != 0)
    return LastSocketError();
  return {};
}

TOsError SocketGetTimeout(TSocketHandle Handle, TSocketTimeoutKind Kind, std::int32_t& Ms) {
  DWORD Value = 0;
  int Length = sizeof(Value);
  if (::getsockopt(Native(Handle), SOL_SOCKET, TimeoutOption(Kind), reinterpret_cast<char*>(&Value),
                   &Length) != 0)
    return LastSocketError();
  Ms = Value > INT32_MAX ? INT32_MAX : static_cast<std::int32_t>(Value);
  return {};
}

TOsError SocketAvailable(TSocketHandle Handle, std::int32_t& Count) {
  u_long N = 0;
  Count = 0;
  if (::ioctlsocket(Native(Handle), FIONREAD, &N) != 0) return LastSocketError();
  Count = N > INT32_MAX ? INT32_MAX : static_cast<std::int32_t>(N);
  return {};
}

namespace {
template <class QueryFn>
TOsError ReadAddress(QueryFn Query, TSocketHandle Handle, TSockAddrBytes& Address) {
  sockaddr_storage Ss{};
  int Length = sizeof(Ss);
  Address.fill(0);
  if (Query(Native(Handle), reinterpret_cast<sockaddr*>(&Ss), &Length) != 0)
    return LastSocketError();
  std::memcpy(Address.data(), &Ss, Address.size());
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
