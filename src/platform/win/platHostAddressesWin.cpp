#include <winsock2.h>
#include <ws2tcpip.h>

#include "platform/platAddressChoice.h"
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
    Result = detail::AddressTexts(List);
    ::FreeAddrInfoW(List);
  }
  ::WSACleanup();
  return Result;
}

}  // namespace probrix::platform
