// ModbusUtils' Read Device Identification reply over arbitrary reply bodies: a body it accepts
// is rebuilt exactly from the decoded fields, and the RTU length rule, asked the way the
// receiver asks it (each time with only the bytes read so far), gives exactly the length of
// that body's RTU frame.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "FuzzSupport.h"
#include "foundation/appExceptions.h"
#include "messaging/ioModbusCoreTypes.h"

using namespace probrix;

namespace {

TBytes Rebuild(std::uint8_t Address, const TModbusDeviceIdReply& Reply) {
  TBytes body{Address,
              ModbusUtils::EncapsulatedInterfaceTransport,
              ModbusUtils::MeiReadDeviceId,
              Reply.ReadDeviceIdCode,
              Reply.ConformityLevel,
              static_cast<std::uint8_t>(Reply.MoreFollows ? 0xFF : 0x00),
              Reply.NextObjectId,
              static_cast<std::uint8_t>(Reply.Objects.size())};
  for (const TModbusDeviceIdObject& object : Reply.Objects) {
    body.push_back(object.Id);
    body.push_back(static_cast<std::uint8_t>(object.Value.size()));
    body += object.Value;
  }
  return body;
}

// The RTU length as the receiver learns it: header first, then as far as each answer says.
// Every call sees a heap copy of exactly the bytes read so far, so a look past them is caught.
// Returns 0 when the frame ends before the announced length.
std::size_t WalkRtuLength(const TBytes& Frame) {
  std::size_t count = ModbusUtils::RtuHeaderLength;
  for (;;) {
    const auto held = std::make_unique<std::uint8_t[]>(count);
    std::copy(Frame.begin(), Frame.begin() + static_cast<std::ptrdiff_t>(count), held.get());
    const std::size_t length =
        ModbusUtils::GetRtuPacketLength(held.get(), static_cast<std::int32_t>(count));
    fuzz::Require(length >= count, "the RTU length went below the bytes already read");
    if (length == count) return length;
    if (length > Frame.size()) return 0;
    count = length;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size) {
  const TBytes body(Data, Size);
  bool accepted = false;
  try {
    const TModbusDeviceIdReply reply = ModbusUtils::ParseReadDeviceIdReply(body);
    fuzz::Require(Rebuild(body[0], reply) == body, "the decoded reply does not rebuild the body");
    accepted = true;
  } catch (const Exception&) {
  }
  if (Size < static_cast<std::size_t>(ModbusUtils::RtuHeaderLength)) return 0;
  const TBytes frame = ModbusUtils::BuildRtuFrame(body);
  try {
    const std::size_t length = WalkRtuLength(frame);
    if (accepted) fuzz::Require(length == frame.size(), "an accepted reply has another RTU length");
  } catch (const Exception&) {
    fuzz::Require(!accepted || frame.size() > ModbusUtils::MaxRtuFrameLength,
                  "the RTU length rule refused an accepted reply");
  }
  return 0;
}
