#pragma once

// Helpers shared by the fuzz targets: turning fuzz input into a read script of the scripted
// test connection, and a check that aborts with a message (libFuzzer then keeps the input).

#include <cstddef>
#include <cstdint>
#include <memory>

#include "messaging/ioMessageTransceiver.h"
#include "support/ScriptedConnection.h"

namespace probrix::fuzz {

// Aborts with Message when Condition is false.
void Require(bool Condition, const char* Message);

// One receive set up from fuzz input.
//
// Byte 0 chooses the receive: bits 0-1 the buffer capacity (8192, 1..64 from byte 1, 256,
// 3), bit 2 the TCP flavour of the connection, bits 3-4 and 5-6 the start-of-packet and read
// budgets (0, 1, 2 ms or the connection's infinite value); bit 7 is the target's own. The rest is a
// list of steps, each led by a control byte:
//   0x00..0xDF  a chunk of the next (c + 1) bytes
//   0xE0..0xE7  a chunk of ((c & 7) + 1) * 1024 copies of the next byte
//   0xE8..0xEB  the next step comes (c & 3) + 1 ms late (at most 6 ms per input in total)
//   0xEC        a read timeout (EReadTimeoutError)
//   0xED        a lost connection (EConnectionIOError)
//   0xEE        a failure outside the connection classes (EStreamError)
//   0xEF..0xFF  a chunk of all the remaining bytes
// After the script a read waits at most a few ms and times out, as a silent line does.
struct TFuzzReceive {
  std::shared_ptr<test::TScriptedConnection> Connection;
  std::int32_t Capacity = TDeviceMessenger::BufferSize;
  std::int32_t StartOfPacketReadTimeout = 1;
  std::int32_t ReadTimeout = 1;
};

TFuzzReceive BuildReceive(const std::uint8_t* Data, std::size_t Size);

// Runs Receiver.ReadPacket over the scripted receive into a heap buffer of exactly Capacity
// bytes (so a write past it is caught) and checks the count. Returns the packet, or an empty
// string when the receive failed with an exception of the system's tree; any other exception
// escapes (and is a finding).
TBytes RunReceive(TMessageReceiver& Receiver, const std::uint8_t* Data, std::size_t Size);

}  // namespace probrix::fuzz
