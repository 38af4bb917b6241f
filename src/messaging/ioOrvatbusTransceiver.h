#pragma once

// Orvatbus receiver: a packed frame holds SOH (0xFF) only as its first byte and ETX (0x03)
// only as its last, so a reply is read in two phases, first until a chunk brings an SOH
// (within StartOfPacketReadTimeout), then, if no ETX follows it yet, until a chunk brings an
// ETX (within ReadTimeout). The frame from SOH to ETX ends up at the start of the buffer.
// After an exchange's request, a frame that is the line's echo of it is logged and passed
// over; the reply is read on from the bytes after it, within the same start-of-packet budget.

#include <cstdint>
#include <memory>

#include "messaging/ioMessageTransceiver.h"

namespace probrix {

class TOrvatbusReceiver : public TMessageReceiver {
 public:
  std::int32_t ReadPacket(IDeviceConnection& Connection, std::uint8_t* Buffer,
                          std::int32_t Capacity) override;

  // Reads chunks into Buffer until a chunk holds StopByte or Capacity bytes are held, within
  // Timeout ms in total of which SpentMs are already gone; returns the number of bytes read.
  std::int32_t ReadUntilByte(IDeviceConnection& Connection, std::uint8_t StopByte,
                             std::uint8_t* Buffer, std::int32_t Capacity, std::int32_t Timeout,
                             std::int64_t SpentMs = 0);
  std::int32_t WaitForSOH(IDeviceConnection& Connection, std::uint8_t* Buffer,
                          std::int32_t Capacity, std::int64_t SpentMs = 0);
  std::int32_t WaitForETX(IDeviceConnection& Connection, std::uint8_t* Buffer,
                          std::int32_t Capacity);

  // Positions are 0-based; a range whose end lies before its start finds nothing (-1).
  static std::int32_t IndexOfByte(std::uint8_t Value, const std::uint8_t* Data, std::int32_t From,
                                  std::int32_t To);
  static std::int32_t LastIndexOfByte(std::uint8_t Value, const std::uint8_t* Data,
                                      std::int32_t From, std::int32_t To);
  static bool ContainsByte(std::uint8_t Value, const std::uint8_t* Data, std::int32_t Count);

 private:
  // Where a frame lies in the buffer, and its waits.
  struct TFrame {
    std::int32_t Soh = 0;
    std::int32_t Etx = 0;
    std::int32_t Held = 0;  // bytes in the buffer, the frame's and any after it
    std::int64_t SohTime = 0;
    std::int64_t EtxTime = 0;
  };
  // One frame, from the Held bytes already at the start of Buffer on; the start of packet is
  // awaited with SpentMs of its budget gone.
  TFrame ReadFrame(IDeviceConnection& Connection, std::uint8_t* Buffer, std::int32_t Capacity,
                   std::int32_t Held, std::int64_t SpentMs);
};

class TOrvatbusSender : public TMessageSender {};

class TOrvatbusTransceiver : public TMessageTransceiver {
 public:
  using TMessageTransceiver::TMessageTransceiver;

 protected:
  std::unique_ptr<TMessageSender> CreateSender() override;
  std::unique_ptr<TMessageReceiver> CreateReceiver() override;
};

}  // namespace probrix
