// TModbusRtuReceiver::ReadPacket over a scripted connection (chunks, delays and failures from
// the input): a packet it returns has the length its header announces.

#include <cstddef>
#include <cstdint>

#include "FuzzSupport.h"
#include "messaging/ioModbusCoreTypes.h"
#include "messaging/ioModbusTransceiver.h"

using namespace probrix;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size) {
  TModbusRtuReceiver receiver;
  const TBytes packet = fuzz::RunReceive(receiver, Data, Size);
  if (!packet.empty()) {
    fuzz::Require(packet.size() >= static_cast<std::size_t>(ModbusUtils::RtuHeaderLength),
                  "packet shorter than its header");
    fuzz::Require(ModbusUtils::GetRtuPacketLength(packet.data()) == packet.size(),
                  "packet length differs from the header's");
  }
  return 0;
}
