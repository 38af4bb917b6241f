#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstring>

#include "platform/platSocketSweepOs.h"
#include "platform/win/platWin.h"

namespace probrix::platform {

// Windows has no descriptor limit of this kind: sockets are bounded by memory.
std::size_t SweepInFlightLimit() { return MaxSweepInFlight; }

namespace detail {

TSweepSystem::TSweepSystem() {
  WSADATA Data{};
  if (const int Rc = ::WSAStartup(MAKEWORD(2, 2), &Data)) {
    SetupError_ = WinError(static_cast<DWORD>(Rc));
    return;
  }
  Started_ = true;
  // Every socket signals the end of its connect on this one event: a wait watches it and the
  // cancel event, however many connects are in flight.
  Event_ = ::WSACreateEvent();
  if (Event_ == WSA_INVALID_EVENT) {
    Event_ = nullptr;
    SetupError_ = WinError(static_cast<DWORD>(::WSAGetLastError()));
  }
}

TSweepSystem::~TSweepSystem() {
  if (Event_ != nullptr) ::WSACloseEvent(Event_);
  if (Started_) ::WSACleanup();
}

int TSweepSystem::Start(const TSockAddrBytes& Address, TSocketHandle& Socket) {
  std::uint16_t Family = 0;
  std::memcpy(&Family, Address.data(), sizeof Family);
  const SOCKET S =
      ::WSASocketW(Family, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, WSA_FLAG_NO_HANDLE_INHERIT);
  if (S == INVALID_SOCKET) return ::WSAGetLastError();
  Socket = static_cast<TSocketHandle>(S);
  // The selection also makes the socket non-blocking.
  int Code = 0;
  sockaddr_storage Ss{};
  std::memcpy(&Ss, Address.data(), Address.size());
  const int Length = Family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
  if (::WSAEventSelect(S, Event_, FD_CONNECT) != 0 ||
      ::connect(S, reinterpret_cast<const sockaddr*>(&Ss), Length) != 0)
    Code = ::WSAGetLastError();
  if (Code == WSAEWOULDBLOCK) return InProgress;
  Close(Socket, Code == 0);
  return Code;
}

bool TSweepSystem::Exhausted(int Code) { return Code == WSAEMFILE || Code == WSAENOBUFS; }

int TSweepSystem::TimedOutCode() { return WSAETIMEDOUT; }

TConnectOutcome TSweepSystem::OutcomeOf(int Code) {
  return Code == 0                 ? TConnectOutcome::coAccepted
         : Code == WSAECONNREFUSED ? TConnectOutcome::coRefused
         : Code == WSAETIMEDOUT    ? TConnectOutcome::coSilent
                                   : TConnectOutcome::coFailed;
}

TOsError TSweepSystem::ErrorOf(int Code) { return WinError(static_cast<DWORD>(Code)); }
TOsError TSweepSystem::Cancelled() { return WinError(ERROR_OPERATION_ABORTED); }

TOsError TSweepSystem::Wait(std::span<const TSocketHandle> Sockets, TSweepClock::time_point Until,
                            std::vector<int>& Codes) {
  const DWORD Wait = WaitHandle(Event_, Until);
  if (Wait != 0 && Wait != WAIT_TIMEOUT) return WinError(Wait);
  // Reset first: a connect that ends while the sockets are looked at signals again.
  ::ResetEvent(Event_);
  Codes.assign(Sockets.size(), InProgress);
  for (std::size_t I = 0; I < Sockets.size(); ++I) {
    WSANETWORKEVENTS Events{};
    if (::WSAEnumNetworkEvents(static_cast<SOCKET>(Sockets[I]), nullptr, &Events) != 0)
      Codes[I] = ::WSAGetLastError();
    else if (Events.lNetworkEvents & FD_CONNECT)
      Codes[I] = Events.iErrorCode[FD_CONNECT_BIT];
  }
  return {};
}

void TSweepSystem::Close(TSocketHandle Socket, bool Reset) {
  const SOCKET S = static_cast<SOCKET>(Socket);
  if (Reset) {
    const linger Now{1, 0};
    ::setsockopt(S, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&Now), sizeof Now);
  }
  ::closesocket(S);
}

}  // namespace detail
}  // namespace probrix::platform
