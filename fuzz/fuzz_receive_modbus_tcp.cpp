// TModbusTcpReceiver::ReadPacket over a scripted connection (chunks, delays and failures from
// the input): a packet it returns is its MBAP header plus the length the header announces.

#include <cstddef>
#include <cstdint>

#include "FuzzSupport.h"
#include "messaging/ioModbusCoreTypes.h"
#include "messaging/ioModbusTransceiver.h"

using namespace probrix;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size) {
  TModbusTcpReceiver receiver;
  const TBytes packet = fuzz::RunReceive(receiver, Data, Size);
  if (!packet.empty()) {
    fuzz::Require(packet.size() > static_cast<std::size_t>(ModbusUtils::TcpHeaderLength),
                  "packet without a body");
    const std::size_t length = (static_cast<std::size_t>(packet[4]) << 8) | packet[5];
    fuzz::Require(packet.size() == ModbusUtils::TcpHeaderLength + length,
                  "packet length differs from the header's");
  }
  return 0;
}
