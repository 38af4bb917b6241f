#include <winsock2.h>
#include <ws2tcpip.h>

#include "platform/platAddressChoice.h"
#include "platform/platHostAddresses.h"
#include "platform/win/platWin.h"

namespace probrix::platform {

std::vector<std::string> HostAddresses(const std::string& Host) {
  std::vector<std::string> result;
  if (Host.empty() || Host.find('\0') != std::string::npos) return result;
  // The resolver needs the socket library started; starts are counted, so this one is cheap
  // and balanced here.
  WSADATA data{};
  if (::WSAStartup(MAKEWORD(2, 2), &data) != 0) return result;
  addrinfoW hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfoW* list = nullptr;
  if (::GetAddrInfoW(WideFromUtf8(Host).c_str(), nullptr, &hints, &list) == 0) {
    result = detail::AddressTexts(list);
    ::FreeAddrInfoW(list);
  }
  ::WSACleanup();
  return result;
}

}  // namespace probrix::platform
