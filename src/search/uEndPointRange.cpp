#include "search/uEndPointRange.h"

#include <optional>

#include "connections/ioDeviceConnection.h"
#include "foundation/appExceptions.h"
#include "foundation/appSysUtils.h"

namespace probrix {

namespace {

// A decimal number of 1..MaxDigits digits, nothing else.
std::optional<std::uint32_t> Decimal(std::string_view Text, std::size_t MaxDigits) {
  if (Text.empty() || Text.size() > MaxDigits) return std::nullopt;
  std::uint32_t value = 0;
  for (const char c : Text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<std::uint32_t>(c - '0');
  }
  return value;
}

// Four decimal octets "a.b.c.d" (host byte order). Stricter than inet_addr on purpose: a range
// is arithmetic on the written octets, so "10.7" or "0x0a000007" would only mislead.
std::optional<std::uint32_t> DottedQuad(std::string_view Text) {
  std::uint32_t address = 0;
  for (int i = 0; i < 4; ++i) {
    const std::size_t dot = i < 3 ? Text.find('.') : Text.size();
    if (dot == std::string_view::npos) return std::nullopt;
    const auto octet = Decimal(Text.substr(0, dot), 3);
    if (!octet || *octet > 255) return std::nullopt;
    address = (address << 8) | *octet;
    Text.remove_prefix(i < 3 ? dot + 1 : dot);
  }
  return address;
}

// A dotted address with exactly three dots before the first '-': "10.0.0.5-", "10.0.0.5-x".
bool StartsAsOctetRange(std::string_view Host) {
  const std::size_t dash = Host.find('-');
  if (dash == std::string_view::npos || dash == 0) return false;
  int dots = 0;
  for (const char c : Host.substr(0, dash)) {
    if (c == '.') {
      ++dots;
    } else if (c < '0' || c > '9') {
      return false;
    }
  }
  return dots == 3;
}

// Made of the characters of an IPv4 range or block, with a dot: "10.0.0.1-5", "10.0.0.0/24".
bool IPv4Shaped(std::string_view Host) {
  return Host.find('.') != std::string_view::npos &&
         Host.find_first_not_of("0123456789.-/") == std::string_view::npos;
}

// An IPv6 address in brackets keeps its colons; without them it was split at them ("fe80::/64:502"
// leaves "fe80" and extra items).
bool IsIPv6(const TTcpEndPoint& E) {
  return E.TcpAddr.find(':') != std::string::npos || (E.ExtraItems && !IPv4Shaped(E.TcpAddr));
}

[[noreturn]] void Refuse(std::string_view Text, std::string_view Why) {
  throw EArgumentError::CreateFmt("Ошибочное TCP-подключение (%s): %s", {Text, Why});
}

}  // namespace

std::string IPv4AddressText(std::uint32_t Address) {
  return Format("%d.%d.%d.%d",
                {static_cast<int>(Address >> 24), static_cast<int>(Address >> 16 & 255),
                 static_cast<int>(Address >> 8 & 255), static_cast<int>(Address & 255)});
}

std::string TEndPointRange::AddressText(std::size_t Index) const {
  return IPv4AddressText(First + static_cast<std::uint32_t>(Index));
}

bool IsEndPointRangeText(std::string_view EndPointText) {
  const TTcpEndPoint e = ParseTcpEndPointText(EndPointText);
  const std::string_view host = e.TcpAddr;
  if (host.find('/') != std::string_view::npos) return true;
  if (IsIPv6(e)) {
    // A zone may be an interface name with a dash: only the address part counts.
    const std::string_view text = e.ExtraItems ? EndPointText : host;
    return text.substr(0, text.find('%')).find_first_of("/-") != std::string_view::npos;
  }
  return StartsAsOctetRange(host);
}

TEndPointRange ParseEndPointRange(std::string_view EndPointText) {
  const TTcpEndPoint e = ParseTcpEndPointText(EndPointText);
  const std::string_view host = e.TcpAddr;
  if (IsIPv6(e))
    Refuse(EndPointText,
           "диапазоны адресов IPv6 не поддерживаются; диапазон задаётся адресами IPv4: "
           "192.168.1.10-60:502 или 192.168.1.0/24:502");
  if (e.ExtraItems) Refuse(EndPointText, "лишнее двоеточие");
  TEndPointRange range;
  range.Port = e.TcpPort;

  if (const std::size_t slash = host.find('/'); slash != std::string_view::npos) {
    const auto address = DottedQuad(host.substr(0, slash));
    if (!address)
      Refuse(EndPointText, "блок задаётся адресом IPv4 и длиной префикса: 192.168.1.0/24");
    const auto prefix = Decimal(host.substr(slash + 1), 2);
    if (!prefix || *prefix > 32) Refuse(EndPointText, "длина префикса блока - число от 16 до 32");
    const std::uint64_t size = std::uint64_t{1} << (32 - *prefix);
    if (size > MaxEndPointRangeAddresses)
      Refuse(EndPointText,
             Format("блок /%d - это %s адресов, больше %d (длина префикса от 16 до 32)",
                    {static_cast<int>(*prefix), std::to_string(size),
                     static_cast<int>(MaxEndPointRangeAddresses)}));
    // The block that holds the written address ("192.168.1.7/24" is 192.168.1.0/24).
    range.First = *address & ~static_cast<std::uint32_t>(size - 1);
    range.Last = range.First + static_cast<std::uint32_t>(size - 1);
    // The network and broadcast addresses name no host, except in the point-to-point /31 and
    // the single host /32.
    if (*prefix <= 30) {
      ++range.First;
      --range.Last;
    }
    return range;
  }

  const std::size_t dash = host.find('-');
  const auto first = DottedQuad(host.substr(0, dash));
  if (!first) Refuse(EndPointText, "начало диапазона - адрес IPv4: 192.168.1.10-60");
  const auto last = Decimal(host.substr(dash + 1), 3);
  const std::uint32_t lowest = *first & 255;
  if (!last || *last > 255 || *last < lowest)
    Refuse(EndPointText, Format("конец диапазона - последний октет адреса, число от %d до 255",
                                {static_cast<int>(lowest)}));
  range.First = *first;
  range.Last = (*first & ~std::uint32_t{255}) | *last;
  return range;
}

}  // namespace probrix
