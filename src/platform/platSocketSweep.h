#pragma once

// A sweep of many TCP addresses: non-blocking connects, many in flight at once, each with its
// own deadline, to learn which hosts accept a connection before any of them is searched. A
// network of silent addresses then costs about one connect timeout instead of one per address.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <span>

#include "platform/platError.h"
#include "platform/platSockets.h"

namespace probrix::platform {

enum class TConnectOutcome : std::uint8_t {
  coAccepted,  // the host accepted the connection (it is closed again at once)
  coRefused,   // the host answered that nothing listens at that port
  coSilent,    // no answer before the deadline
  coFailed,    // the network or the system said no (unreachable, no buffers...): see the error
};

// Called on the sweeping thread for each address, as soon as its outcome is known (not in
// address order). Error is the system's failure for coRefused, coSilent and coFailed.
using TSweepOutcomeFn =
    std::function<void(std::size_t Index, TConnectOutcome Outcome, const TOsError& Error)>;

struct TSweepStats {
  std::size_t PeakInFlight = 0;  // the most connects that were in flight at the same time
};

// The socket address of an IPv4 address and a port, both in host byte order (the layout is the
// same on every platform: family, port and address, the last two in network order).
inline TSockAddrBytes SocketIPv4Address(std::uint32_t Address, std::uint16_t Port) {
  TSockAddrBytes bytes{};
  const std::uint16_t family = AddressFamilyIPv4;
  std::memcpy(bytes.data(), &family, sizeof family);
  bytes[2] = static_cast<std::uint8_t>(Port >> 8);
  bytes[3] = static_cast<std::uint8_t>(Port);
  for (int i = 0; i < 4; ++i) bytes[4 + i] = static_cast<std::uint8_t>(Address >> (24 - 8 * i));
  return bytes;
}

// The most connects a sweep keeps in flight.
inline constexpr std::size_t MaxSweepInFlight = 256;
// MaxSweepInFlight, or fewer where the process's descriptor limit leaves less room beside the
// descriptors already open (and a reserve for the rest of the program); at least one.
std::size_t SweepInFlightLimit();

// Connects to each of Addresses in order, up to MaxInFlight at once (0: SweepInFlightLimit),
// each given up TimeoutMs after its own start; a host that accepts is disconnected at once with
// a reset, so that it frees the connection for the search that follows. Every wait also ends at
// the calling thread's cancel event: ekCancelled then comes back, and the addresses not yet
// reported have no outcome. When the system runs out of descriptors the sweep goes on with
// those in flight; with none in flight it ends with that failure.
TOsError SweepConnect(std::span<const TSockAddrBytes> Addresses, std::int32_t TimeoutMs,
                      std::size_t MaxInFlight, const TSweepOutcomeFn& OnOutcome,
                      TSweepStats* Stats = nullptr);

}  // namespace probrix::platform
