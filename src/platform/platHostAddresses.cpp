#include "platform/platHostAddresses.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include "platform/platAddressChoice.h"

namespace probrix::platform {

std::vector<std::string> HostAddresses(const std::string& Host) {
  if (Host.empty() || Host.find('\0') != std::string::npos) return {};
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* list = nullptr;
  if (::getaddrinfo(Host.c_str(), nullptr, &hints, &list) != 0) return {};
  std::vector<std::string> result = detail::AddressTexts(list);
  ::freeaddrinfo(list);
  return result;
}

}  // namespace probrix::platform
