// TOrvatbusReceiver::ReadPacket over a scripted connection (chunks, delays and failures from
// the input): a packet it returns runs from SOH to ETX.

#include <cstddef>
#include <cstdint>

#include "FuzzSupport.h"
#include "messaging/ioOrvatbusCoreTypes.h"
#include "messaging/ioOrvatbusTransceiver.h"

using namespace probrix;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size) {
  TOrvatbusReceiver receiver;
  const TBytes packet = fuzz::RunReceive(receiver, Data, Size);
  if (!packet.empty()) {
    fuzz::Require(packet.front() == OrvatbusUtils::SOH, "packet does not start with SOH");
    fuzz::Require(packet.back() == OrvatbusUtils::ETX, "packet does not end with ETX");
  }
  return 0;
}
