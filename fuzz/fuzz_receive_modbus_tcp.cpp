// TModbusTcpReceiver::ReadPacket over a scripted connection (chunks, delays and failures from
// the input): a packet it returns is its MBAP header plus the length the header announces. With
// bit 7 of the first byte set it reads the reply to a second request, passing over replies to
// the first and the second one's echo.

#include <cstddef>
#include <cstdint>

#include "FuzzSupport.h"
#include "messaging/ioModbusCoreTypes.h"
#include "messaging/ioModbusTransceiver.h"

using namespace probrix;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size) {
  TModbusTcpReceiver receiver;
  const TBytes body = BytesOf({0x01, 0x03, 0x03, 0xE8, 0x00, 0x0A});
  const TBytes request = ModbusUtils::BuildTcpFrame(body, 2);
  const bool afterRequest = Size > 0 && (Data[0] & 0x80) != 0;
  if (afterRequest) {
    receiver.ExpectReplyTo(ModbusUtils::BuildTcpFrame(body, 1));
    receiver.ExpectReplyTo(request);
  }
  const TBytes packet = fuzz::RunReceive(receiver, Data, Size);
  if (!packet.empty()) {
    fuzz::Require(!afterRequest || packet != request, "the request's echo taken for the reply");
    fuzz::Require(packet.size() > static_cast<std::size_t>(ModbusUtils::TcpHeaderLength),
                  "packet without a body");
    const std::size_t length = (static_cast<std::size_t>(packet[4]) << 8) | packet[5];
    fuzz::Require(packet.size() == ModbusUtils::TcpHeaderLength + length,
                  "packet length differs from the header's");
  }
  return 0;
}
