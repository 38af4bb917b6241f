#pragma once

// Address ranges of TCP endpoints: a range of the last octet ("192.168.1.10-60:502") or a CIDR
// block ("192.168.1.0/24:502") names many hosts at one port. The plan keeps such an entry as
// written; the search sweeps it first and searches only the hosts that accept a connection.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace probrix {

// The most addresses one range may name: a /16.
inline constexpr std::size_t MaxEndPointRangeAddresses = 65536;

struct TEndPointRange {
  // IPv4 addresses in host byte order, both ends included; a block of up to /30 leaves out its
  // network and broadcast addresses.
  std::uint32_t First = 0;
  std::uint32_t Last = 0;
  std::uint16_t Port = 9999;

  std::size_t Count() const { return static_cast<std::size_t>(Last - First) + 1; }
  // The I-th address of the range as dotted text.
  std::string AddressText(std::size_t Index) const;
};

// Whether the host of an endpoint text names a range or a block rather than one host: a '/'
// (a CIDR block), a dotted IPv4 address followed by '-', or an IPv6 address with either.
bool IsEndPointRangeText(std::string_view EndPointText);

// The range of an endpoint text for which IsEndPointRangeText holds. The port follows the rules
// of a single endpoint (9999 when none is written); checking it is the plan's business. An
// IPv6 range, a malformed range and one of more than MaxEndPointRangeAddresses addresses raise
// EArgumentError "Ошибочное TCP-подключение (<text>): <why>".
TEndPointRange ParseEndPointRange(std::string_view EndPointText);

// "10.0.0.7" of an address in host byte order.
std::string IPv4AddressText(std::uint32_t Address);

}  // namespace probrix
