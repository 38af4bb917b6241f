#pragma once

// Which of a resolver's answers a socket uses, and the answers as texts, the same on every
// system. Include it after the system's socket headers: it reads their address structures, and
// the answer list may be getaddrinfo's or GetAddrInfoW's (the fields are the same).

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

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

// The numeric addresses of List as texts ("127.0.0.1", "::1"), each once. An IPv4-mapped IPv6
// address (::ffff:127.0.0.1) is its IPv4 host and gives the IPv4 text, so that the host is
// known as one whichever form it was given in.
template <class TAddrInfo>
std::vector<std::string> AddressTexts(const TAddrInfo* List) {
  std::vector<std::string> Result;
  for (const TAddrInfo* p = List; p != nullptr; p = p->ai_next) {
    if (p->ai_addr == nullptr) continue;
    char Text[INET6_ADDRSTRLEN] = {};
    const char* Done = nullptr;
    if (p->ai_family == AF_INET && p->ai_addrlen >= sizeof(sockaddr_in)) {
      sockaddr_in sin;
      std::memcpy(&sin, p->ai_addr, sizeof(sin));
      Done = ::inet_ntop(AF_INET, &sin.sin_addr, Text, sizeof Text);
    } else if (p->ai_family == AF_INET6 && p->ai_addrlen >= sizeof(sockaddr_in6)) {
      sockaddr_in6 sin6;
      std::memcpy(&sin6, p->ai_addr, sizeof(sin6));
      static constexpr std::uint8_t MappedPrefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
      const auto* Bytes = reinterpret_cast<const std::uint8_t*>(&sin6.sin6_addr);
      if (std::memcmp(Bytes, MappedPrefix, sizeof MappedPrefix) == 0)
        Done = ::inet_ntop(AF_INET, Bytes + sizeof MappedPrefix, Text, sizeof Text);
      else
        Done = ::inet_ntop(AF_INET6, &sin6.sin6_addr, Text, sizeof Text);
    }
    if (Done == nullptr) continue;
    if (std::find(Result.begin(), Result.end(), Text) == Result.end()) Result.emplace_back(Text);
  }
  return Result;
}

}  // namespace probrix::platform::detail
