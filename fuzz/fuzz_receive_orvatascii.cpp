// TOrvatAsciiReceiver::ReadPacket over a scripted connection (chunks, delays and failures from
// the input): what it returns are complete lines ending in CR LF. A second receive on the same
// receiver goes on from its accumulator.

#include <cstddef>
#include <cstdint>

#include "FuzzSupport.h"
#include "messaging/ioOrvatAsciiTransceiver.h"

using namespace probrix;

namespace {

void CheckLines(const TBytes& Packet, const char* Which) {
  if (Packet.empty()) return;
  fuzz::Require(Packet.size() >= 2 && Packet[Packet.size() - 2] == '\r' && Packet.back() == '\n',
                Which);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size) {
  TOrvatAsciiReceiver receiver;
  const std::size_t half = Size / 2;
  CheckLines(fuzz::RunReceive(receiver, Data, half), "first packet does not end in CR LF");
  CheckLines(fuzz::RunReceive(receiver, Data + half, Size - half),
             "second packet does not end in CR LF");
  fuzz::Require(
      receiver.Accumulator().size() <=
          static_cast<std::size_t>(TDeviceMessenger::BufferSize + TOrvatAsciiReceiver::ChunkSize),
      "accumulator grows without bound");
  return 0;
}
