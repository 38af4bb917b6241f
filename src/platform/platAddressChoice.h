#pragma once

// Which of a resolver's answers a socket uses, the same on every system. Include it after the
// system's socket headers: it reads their address structures, and the answer list may be
// getaddrinfo's or GetAddrInfoW's (the fields are the same).

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "platform/platSockets.h"

namespace probrix::platform::detail {

// The first IPv4 address of List, in network order; false when there is none.
template <class TAddrInfo>
bool TakeIPv4Address(const TAddrInfo* List, std::uint32_t& Address) {
  for (const TAddrInfo* p = List; p != nullptr; p = p->ai_next) {
    if (p->ai_family == AF_INET && p->ai_addr != nullptr && p->ai_addrlen >= sizeof(sockaddr_in)) {
      sockaddr_in sin;
      std::memcpy(&sin, p->ai_addr, sizeof(sin));
      Address = sin.sin_addr.s_addr;
      return true;
    }
  }
  return false;
}

// IPv4 first, as names have always been resolved; an IPv6 address only when there is none.
// The chosen address goes into Address with Port; false when List holds neither.
template <class TAddrInfo>
bool TakeStreamAddress(const TAddrInfo* List, std::uint16_t Port, TSockAddrBytes& Address) {
  const TAddrInfo* chosen = nullptr;
  for (const TAddrInfo* p = List; p != nullptr; p = p->ai_next) {
    const bool usable = (p->ai_family == AF_INET && p->ai_addrlen >= sizeof(sockaddr_in)) ||
                        (p->ai_family == AF_INET6 && p->ai_addrlen >= sizeof(sockaddr_in6));
    if (!usable || p->ai_addr == nullptr) continue;
    if (chosen == nullptr || (p->ai_family == AF_INET && chosen->ai_family != AF_INET)) chosen = p;
  }
  if (chosen == nullptr) return false;
  std::memcpy(Address.data(), chosen->ai_addr,
              chosen->ai_family == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6));
  // Both layouts keep the port right after the family.
  static_assert(offsetof(sockaddr_in, sin_port) == 2 && offsetof(sockaddr_in6, sin6_port) == 2);
  const std::uint16_t port = htons(Port);
  std::memcpy(Address.data() + 2, &port, sizeof(port));
  return true;
}

}  // namespace probrix::platform::detail
