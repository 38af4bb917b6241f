// TModbusRtuReceiver::ReadPacket over a scripted connection (chunks, delays and failures from
// the input): a packet it returns has the length its header (and, for a device identification
// reply, its object list) announces. With bit 7 of the first byte set it reads the reply to a
// request for device 17, passing the request's echo and other devices' frames over; another
// device's frame whose length the header cannot tell (it ends at its CRC or the line's silence)
// may then come back, at most the largest RTU frame.

#include <cstddef>
#include <cstdint>

#include "FuzzSupport.h"
#include "foundation/appExceptions.h"
#include "messaging/ioModbusCoreTypes.h"
#include "messaging/ioModbusTransceiver.h"

using namespace probrix;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size) {
  TModbusRtuReceiver receiver;
  const TBytes request = ModbusUtils::BuildRtuFrame(BytesOf({0x11, 0x03, 0x03, 0xE8, 0x00, 0x0A}));
  const bool afterRequest = Size > 0 && (Data[0] & 0x80) != 0;
  if (afterRequest) receiver.ExpectReplyTo(request);
  const TBytes packet = fuzz::RunReceive(receiver, Data, Size);
  if (!packet.empty()) {
    fuzz::Require(packet.size() >= static_cast<std::size_t>(ModbusUtils::RtuHeaderLength),
                  "packet shorter than its header");
    fuzz::Require(!afterRequest || packet != request, "the request's echo taken for the reply");
    const bool foreign = afterRequest && packet[0] != request[0];
    bool announced = false;
    try {
      announced = ModbusUtils::GetRtuPacketLength(
                      packet.data(), static_cast<std::int32_t>(packet.size())) == packet.size();
    } catch (const Exception&) {
      // a length the header cannot tell
    }
    fuzz::Require(announced || (foreign && packet.size() <= ModbusUtils::MaxRtuFrameLength),
                  "packet length differs from the announced one");
  }
  return 0;
}
