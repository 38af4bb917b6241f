#pragma once

// The operating system's stream sockets (IPv4 and IPv6, blocking) behind one small set of
// calls, so that the IP socket class above knows no platform header. Every call reports its
// failure as a TOsError (platError.h): ekTimedOut when a wait ran out, ekCancelled when the
// calling thread's cancel event (platCancel.h) cut it short.

#include <array>
#include <cstdint>
#include <string>

#include "platform/platError.h"

namespace probrix::platform {

#if defined(_WIN32)
using TSocketHandle = std::uintptr_t;  // SOCKET
inline constexpr TSocketHandle InvalidSocketHandle = ~TSocketHandle{0};
#else
using TSocketHandle = int;
inline constexpr TSocketHandle InvalidSocketHandle = -1;
#endif

// A connect that gets no answer is given up after this long, so a search over an endpoint
// where nothing answers can still be stopped; running out fails with ekTimedOut.
inline constexpr std::int32_t SocketConnectTimeoutMs = 3000;

// A socket address: a 16-bit family in host order, then the bytes of the family. An IPv4
// address fills the first 16 bytes (the rest stay zero); an IPv6 address needs all 28.
using TSockAddrBytes = std::array<std::uint8_t, 28>;
inline constexpr std::uint16_t AddressFamilyIPv4 = 2;
#if defined(_WIN32)
inline constexpr std::uint16_t AddressFamilyIPv6 = 23;
#else
inline constexpr std::uint16_t AddressFamilyIPv6 = 10;
#endif

// Library start and stop (nothing to do on POSIX; kept so each socket balances them).
TOsError SocketLibraryStartup();
TOsError SocketLibraryCleanup();

TOsError SocketCreate(int Family, int Type, int Protocol, TSocketHandle& Handle);
// Shut both directions down / close the handle; results are ignored by design.
void SocketShutdownBoth(TSocketHandle Handle) noexcept;
void SocketCloseHandle(TSocketHandle Handle) noexcept;

// Name or dotted address to the first IPv4 address (network byte order). A failure carries the
// resolver's own code and text (ekNotFound for a name that does not resolve).
TOsError SocketResolveIPv4(const std::string& HostName, std::uint32_t& Address);
// Name or address text (IPv4, or IPv6 with an optional "%zone") to a socket address with
// Port: the first IPv4 address, else the first IPv6 one. Fails like SocketResolveIPv4.
TOsError SocketResolve(const std::string& HostName, std::uint16_t Port, TSockAddrBytes& Address);
// Dotted decimal text of an address in network byte order.
std::string SocketAddressToText(std::uint32_t Address);
// An IPv4 address text in any of the classic forms of inet_addr ("10.0.0.7", "10.7",
// "0x0a000007") to the address in network byte order, without a name lookup. False for
// anything else, and for 255.255.255.255, which that form cannot tell from a failure.
bool SocketParseIPv4Address(const std::string& Text, std::uint32_t& Address);
// The address of an IPv6 socket address as text, with its zone when it has one: "fe80::1%eth0".
std::string SocketIPv6AddressText(const TSockAddrBytes& Address);
std::uint16_t SocketHostToNetPort(std::uint16_t Port);
std::uint16_t SocketNetToHostPort(std::uint16_t Port);

// Connects within TimeoutMs (non-blocking connect and a wait, then back to blocking mode).
// Every wait below also ends with ekCancelled when the calling thread's cancel event is set.
TOsError SocketConnect(TSocketHandle Handle, const TSockAddrBytes& Address, std::int32_t TimeoutMs);

// Sends all Count bytes within one deadline of TimeoutMs for the whole buffer (0: no limit),
// waiting for room with the time that is left; Sent counts what went out. Running out reports
// ekTimedOut. Sending never raises SIGPIPE.
TOsError SocketSend(TSocketHandle Handle, const void* Data, std::int32_t Count,
                    std::int32_t TimeoutMs, std::int32_t& Sent);
// One receive of 1..Count bytes. A peer that closed in an orderly way is ekGone with code 0.
// TimeoutMs is the wait of this receive (0: no limit; negative: the shortest wait), timed here
// to the millisecond rather than by the kernel's receive timeout, which runs in scheduler ticks.
TOsError SocketRecv(TSocketHandle Handle, void* Buffer, std::int32_t Count, std::int32_t TimeoutMs,
                    std::int32_t& Received);
// What has already arrived, without waiting: Received 0 when nothing has; otherwise as
// SocketRecv.
TOsError SocketRecvAvailable(TSocketHandle Handle, void* Buffer, std::int32_t Count,
                             std::int32_t& Received);

enum class TSocketTimeoutKind : std::uint8_t { tkReceive, tkSend };
// Milliseconds; 0 means no limit.
TOsError SocketSetTimeout(TSocketHandle Handle, TSocketTimeoutKind Kind, std::int32_t Ms);
TOsError SocketGetTimeout(TSocketHandle Handle, TSocketTimeoutKind Kind, std::int32_t& Ms);

// Bytes that can be read at once.
TOsError SocketAvailable(TSocketHandle Handle, std::int32_t& Count);

TOsError SocketLocalAddress(TSocketHandle Handle, TSockAddrBytes& Address);
TOsError SocketPeerAddress(TSocketHandle Handle, TSockAddrBytes& Address);

// The system's error for an argument it cannot take, for callers that refuse one themselves.
TOsError SocketInvalidArgument();

}  // namespace probrix::platform
