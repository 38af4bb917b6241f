#pragma once

// Orvatbus receiver: a packed frame holds SOH (0xFF) only as its first byte and ETX (0x03)
// only as its last, so a reply is read in two phases, first until a chunk brings an SOH
// (within StartOfPacketReadTimeout), then, if no ETX follows it yet, until a chunk brings an
// ETX (within ReadTimeout). The frame from SOH to ETX ends up at the start of the buffer.

#include <cstdint>
#include <memory>

#include "messaging/ioMessageTransceiver.h"

namespace probrix {

class TOrvatbusReceiver : public TMessageReceiver {
 public:
  std::int32_t ReadPacket(IDeviceConnection& Connection, std::uint8_t* Buffer,
                          std::int32_t Capacity) override;

  // Reads chunks into Buffer until a chunk holds StopByte or Capacity bytes are held, within
  // Timeout ms in total; returns the number of bytes read.
  std::int32_t ReadUntilByte(IDeviceConnection& Connection, std::uint8_t StopByte,
                             std::uint8_t* Buffer, std::int32_t Capacity, std::int32_t Timeout);
  std::int32_t WaitForSOH(IDeviceConnection& Connection, std::uint8_t* Buffer,
                          std::int32_t Capacity);
  std::int32_t WaitForETX(IDeviceConnection& Connection, std::uint8_t* Buffer,
                          std::int32_t Capacity);

  // Positions are 0-based; a range whose end lies before its start finds nothing (-1).
  static std::int32_t IndexOfByte(std::uint8_t Value, const std::uint8_t* Data, std::int32_t From,
                                  std::int32_t To);
  static std::int32_t LastIndexOfByte(std::uint8_t Value, const std::uint8_t* Data,
                                      std::int32_t From, std::int32_t To);
  static bool ContainsByte(std::uint8_t Value, const std::uint8_t* Data, std::int32_t Count);
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
