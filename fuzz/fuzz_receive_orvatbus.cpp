// TOrvatbusReceiver::ReadPacket over a scripted connection (chunks, delays and failures from
// the input): a packet it returns runs from SOH to ETX. With bit 7 of the first byte set it
// reads the reply to a request for device 5, passing the request's echo over.

#include <cstddef>
#include <cstdint>

#include "FuzzSupport.h"
#include "messaging/ioOrvatbusCoreTypes.h"
#include "messaging/ioOrvatbusTransceiver.h"

using namespace probrix;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size) {
  TOrvatbusReceiver receiver;
  const TBytes request = BytesOf({0xFF, 0x25, 0x20, 0x49, 0xB3, 0x03});
  const bool afterRequest = Size > 0 && (Data[0] & 0x80) != 0;
  if (afterRequest) receiver.ExpectReplyTo(request);
  const TBytes packet = fuzz::RunReceive(receiver, Data, Size);
  if (!packet.empty()) {
    fuzz::Require(!afterRequest || packet != request, "the request's echo taken for the reply");
    fuzz::Require(packet.front() == OrvatbusUtils::SOH, "packet does not start with SOH");
    fuzz::Require(packet.back() == OrvatbusUtils::ETX, "packet does not end with ETX");
  }
  return 0;
}
