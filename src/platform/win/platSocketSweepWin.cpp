#include <winsock2.h>
#include <ws2tcpip.h>

#include <algorithm>
#include <cstring>
#include <utility>
#include <vector>

#include "platform/platCancel.h"
#include "platform/platSocketSweep.h"
#include "platform/win/platWin.h"

namespace probrix::platform {

namespace {

struct TInFlight {
  std::size_t Index;
  SOCKET Socket;
  TWaitClock::time_point Deadline;
};

TConnectOutcome OutcomeOf(int Code) {
  switch (Code) {
    case 0:
      return TConnectOutcome::coAccepted;
    case WSAECONNREFUSED:
      return TConnectOutcome::coRefused;
    case WSAETIMEDOUT:
      return TConnectOutcome::coSilent;
    default:
      return TConnectOutcome::coFailed;
  }
}

// Closes with a reset: the host frees the connection at once.
void Abort(SOCKET Socket) {
  const linger Now{1, 0};
  ::setsockopt(Socket, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&Now), sizeof Now);
  ::closesocket(Socket);
}

}  // namespace

// Windows has no descriptor limit of this kind: sockets are bounded by memory.
std::size_t SweepInFlightLimit() { return MaxSweepInFlight; }

TOsError SweepConnect(std::span<const TSockAddrBytes> Addresses, std::int32_t TimeoutMs,
                      std::size_t MaxInFlight, const TSweepOutcomeFn& OnOutcome,
                      TSweepStats* Stats) {
  std::size_t Cap = MaxInFlight == 0 ? SweepInFlightLimit() : MaxInFlight;
  const auto Timeout = std::chrono::milliseconds(std::max<std::int32_t>(TimeoutMs, 1));
  WSADATA Data{};
  if (const int Rc = ::WSAStartup(MAKEWORD(2, 2), &Data)) return WinError(static_cast<DWORD>(Rc));
  std::vector<TInFlight> Flying;
  Flying.reserve(Cap);
  // Every socket signals the end of its connect on one event; a wait watches it and the cancel
  // event, however many are in flight.
  const TWinHandle Event(::WSACreateEvent());
  struct TCloser {
    std::vector<TInFlight>& Flying;
    ~TCloser() {
      for (const TInFlight& F : Flying) ::closesocket(F.Socket);
      ::WSACleanup();
    }
  } Closer{Flying};
  if (!Event.Valid()) return WinError(static_cast<DWORD>(::WSAGetLastError()));
  std::vector<std::pair<std::size_t, int>> Ended;
  const auto Report = [&](std::size_t Index, int Code) {
    if (OnOutcome) OnOutcome(Index, OutcomeOf(Code), WinError(static_cast<DWORD>(Code)));
  };

  std::size_t Next = 0;
  while (Next < Addresses.size() || !Flying.empty()) {
    while (Next < Addresses.size() && Flying.size() < Cap) {
      if (CancelRequested()) return WinError(ERROR_OPERATION_ABORTED);
      const TSockAddrBytes& Address = Addresses[Next];
      std::uint16_t Family = 0;
      std::memcpy(&Family, Address.data(), sizeof Family);
      const SOCKET S =
          ::WSASocketW(Family, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, WSA_FLAG_NO_HANDLE_INHERIT);
      if (S == INVALID_SOCKET) {
        const int Err = ::WSAGetLastError();
        const bool Exhausted = Err == WSAEMFILE || Err == WSAENOBUFS;
        if (Exhausted && Flying.empty()) return WinError(static_cast<DWORD>(Err));
        if (Exhausted) {
          Cap = Flying.size();
          break;
        }
        Report(Next++, Err);
        continue;
      }
      // The selection makes the socket non-blocking.
      int Err = 0;
      if (::WSAEventSelect(S, Event.Get(), FD_CONNECT) != 0) {
        Err = ::WSAGetLastError();
      } else {
        sockaddr_storage Ss{};
        std::memcpy(&Ss, Address.data(), Address.size());
        const int Length = Family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
        if (::connect(S, reinterpret_cast<const sockaddr*>(&Ss), Length) != 0)
          Err = ::WSAGetLastError();
      }
      if (Err == 0) {
        Abort(S);
        Report(Next++, 0);
        continue;
      }
      if (Err != WSAEWOULDBLOCK) {
        ::closesocket(S);
        Report(Next++, Err);
        continue;
      }
      Flying.push_back({Next++, S, TWaitClock::now() + Timeout});
      if (Stats != nullptr) Stats->PeakInFlight = std::max(Stats->PeakInFlight, Flying.size());
    }
    if (Flying.empty()) continue;

    auto Earliest = Flying.front().Deadline;
    for (const TInFlight& F : Flying) Earliest = std::min(Earliest, F.Deadline);
    const DWORD Wait = WaitHandle(Event.Get(), Earliest);
    if (Wait == ERROR_OPERATION_ABORTED) return WinError(Wait);
    if (Wait != 0 && Wait != WAIT_TIMEOUT) return WinError(Wait);
    // Reset first: a connect that ends while the others are looked at signals again.
    ::ResetEvent(Event.Get());

    const auto Now = TWaitClock::now();
    Ended.clear();
    std::size_t Kept = 0;
    for (std::size_t I = 0; I < Flying.size(); ++I) {
      const TInFlight F = Flying[I];
      int Code = -1;
      WSANETWORKEVENTS Events{};
      if (::WSAEnumNetworkEvents(F.Socket, nullptr, &Events) != 0) {
        Code = ::WSAGetLastError();
      } else if (Events.lNetworkEvents & FD_CONNECT) {
        Code = Events.iErrorCode[FD_CONNECT_BIT];
      } else if (Now >= F.Deadline) {
        Code = WSAETIMEDOUT;
      }
      if (Code < 0) {
        Flying[Kept++] = F;
        continue;
      }
      if (Code == 0) {
        Abort(F.Socket);
      } else {
        ::closesocket(F.Socket);
      }
      Ended.emplace_back(F.Index, Code);
    }
    Flying.resize(Kept);
    for (const auto& [Index, Code] : Ended) Report(Index, Code);
  }
  return {};
}

}  // namespace probrix::platform
