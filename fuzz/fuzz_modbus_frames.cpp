// ModbusUtils frame parsers over arbitrary frames: RTU and TCP parsing, and the RTU length
// computed from a three-byte header and from the whole input.

#include <cstddef>
#include <cstdint>

#include "FuzzSupport.h"
#include "foundation/appExceptions.h"
#include "messaging/ioModbusCoreTypes.h"

using namespace probrix;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size) {
  const TBytes frame(Data, Size);
  try {
    const TBytes body = ModbusUtils::ParseRtuFrame(frame);
    fuzz::Require(body.size() + 2 == frame.size(), "RTU body is not the frame without its CRC");
    fuzz::Require(ModbusUtils::BuildRtuFrame(body) == frame, "RTU frame does not rebuild");
  } catch (const Exception&) {
  }
  if (Size >= 2) {
    const auto id = static_cast<std::uint16_t>((Data[0] << 8) | Data[1]);
    try {
      const TBytes body = ModbusUtils::ParseTcpFrame(frame, id);
      fuzz::Require(body.size() + ModbusUtils::TcpHeaderLength == frame.size(),
                    "TCP body is not the frame without its header");
    } catch (const Exception&) {
    }
    try {
      (void)ModbusUtils::ParseTcpFrame(frame, static_cast<std::uint16_t>(id + 1));
    } catch (const Exception&) {
    }
  }
  if (Size >= static_cast<std::size_t>(ModbusUtils::RtuHeaderLength)) {
    try {
      const std::uint16_t length = ModbusUtils::GetRtuPacketLength(Data);
      fuzz::Require(length >= ModbusUtils::RtuHeaderLength, "RTU length shorter than its header");
      const std::uint16_t known =
          ModbusUtils::GetRtuPacketLength(Data, static_cast<std::int32_t>(Size));
      fuzz::Require(known >= length, "more bytes made the RTU length shorter");
    } catch (const Exception&) {
    }
  }
  return 0;
}
