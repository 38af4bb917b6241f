// OrvatbusUtils::Unpack over arbitrary packed frames with both checksums: a body comes out only
// from a well-formed frame, and packing that body again gives a frame that unpacks to it.

#include <cstddef>
#include <cstdint>

#include "FuzzSupport.h"
#include "foundation/appExceptions.h"
#include "messaging/ioOrvatbusCoreTypes.h"

using namespace probrix;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size) {
  const TBytes frame(Data, Size);
  for (int kind = 0; kind < OrvatbusUtils::CrcKindCount; ++kind) {
    const TOrvatbusCrcFunction crc =
        OrvatbusUtils::CrcKindFunction(static_cast<TChecksumKind>(kind));
    TBytes body;
    try {
      body = OrvatbusUtils::Unpack(frame, crc);
    } catch (const Exception&) {
      continue;
    }
    fuzz::Require(frame.size() >= static_cast<std::size_t>(OrvatbusUtils::MinFrameLength),
                  "Unpack accepted a frame shorter than the minimum");
    fuzz::Require(OrvatbusUtils::Unpack(OrvatbusUtils::Pack(body, crc), crc) == body,
                  "Pack/Unpack round trip changed the body");
  }
  try {
    (void)OrvatbusUtils::Unescape(frame);
  } catch (const Exception&) {
  }
  return 0;
}
