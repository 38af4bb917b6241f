#include <winsock2.h>
#include <ws2tcpip.h>

#include <algorithm>

#include "platform/platHostAddresses.h"
#include "platform/win/platWin.h"

namespace probrix::platform {

std::vector<std::string> HostAddresses(const std::string& Host) {
  std::vector<std::string> Result;
  if (Host.empty() || Host.find('\0') != std::string::npos) return Result;
  // The resolver needs the socket library started; starts are counted, so this one is cheap
  // and balanced here.
  WSADATA Data{};
  if (::WSAStartup(MAKEWORD(2, 2), &Data) != 0) return Result;
  addrinfoW Hints{};
  Hints.ai_family = AF_UNSPEC;
  Hints.ai_socktype = SOCK_STREAM;
  addrinfoW* List = nullptr;
  if (::GetAddrInfoW(WideFromUtf8(Host).c_str(), nullptr, &Hints, &List) == 0) {
    for (const addrinfoW* P = List; P != nullptr; P = P->ai_next) {
      char Text[INET6_ADDRSTRLEN] = {};
      const void* Address = nullptr;
      if (P->ai_family == AF_INET && P->ai_addrlen >= sizeof(sockaddr_in))
        Address = &reinterpret_cast<const sockaddr_in*>(P->ai_addr)->sin_addr;
      else if (P->ai_family == AF_INET6 && P->ai_addrlen >= sizeof(sockaddr_in6))
        Address = &reinterpret_cast<const sockaddr_in6*>(P->ai_addr)->sin6_addr;
      if (Address == nullptr || ::inet_ntop(P->ai_family, Address, Text, sizeof Text) == nullptr)
        continue;
      if (std::find(Result.begin(), Result.end(), Text) == Result.end()) Result.emplace_back(Text);
    }
    ::FreeAddrInfoW(List);
  }
  ::WSACleanup();
  return Result;
}

}  // namespace probrix::platform
