#include "platform/platHostAddresses.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>

namespace probrix::platform {

std::vector<std::string> HostAddresses(const std::string& Host) {
  std::vector<std::string> result;
  if (Host.empty() || Host.find('\0') != std::string::npos) return result;
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* list = nullptr;
  if (::getaddrinfo(Host.c_str(), nullptr, &hints, &list) != 0) return result;
  for (const addrinfo* p = list; p != nullptr; p = p->ai_next) {
    char text[INET6_ADDRSTRLEN] = {};
    const void* address = nullptr;
    if (p->ai_family == AF_INET && p->ai_addrlen >= sizeof(sockaddr_in))
      address = &reinterpret_cast<const sockaddr_in*>(p->ai_addr)->sin_addr;
    else if (p->ai_family == AF_INET6 && p->ai_addrlen >= sizeof(sockaddr_in6))
      address = &reinterpret_cast<const sockaddr_in6*>(p->ai_addr)->sin6_addr;
    if (address == nullptr || ::inet_ntop(p->ai_family, address, text, sizeof text) == nullptr)
      continue;
    if (std::find(result.begin(), result.end(), text) == result.end()) result.emplace_back(text);
  }
  ::freeaddrinfo(list);
  return result;
}

}  // namespace probrix::platform
