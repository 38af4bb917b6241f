#pragma once

// Reading one Modbus response without an end marker: a fixed-length header is read within the
// start-of-packet timeout, the whole length is computed from it, and exactly the remaining
// bytes are read within the read timeout. Sending is the plain sender of the framework.

#include <cstdint>
#include <memory>

#include "messaging/ioMessageTransceiver.h"

namespace probrix {

class TModbusSender : public TMessageSender {};

class TModbusAbstractReceiver : public TMessageReceiver {
 public:
  /* slot 2 */
  // Header, then the remainder the header announces; a length that does not fit Capacity
  // fails with ECorruptMessageFrame before anything more is read.
  std::int32_t ReadPacket(IDeviceConnection& Connection, std::uint8_t* Buffer,
                          std::int32_t Capacity) override;
  /* slot 3 */ virtual std::uint16_t GetPacketLength(const std::uint8_t* Header) = 0;
  /* slot 4 */ virtual std::uint16_t GetHeaderLength() = 0;

  // Exactly Count bytes within Timeout milliseconds in total (no limit when Timeout is the
  // connection's InfiniteTimeout); time used up between reads raises EReadTimeoutError.
  std::int32_t ReadExact(IDeviceConnection& Connection, std::uint8_t* Buffer, std::int32_t Timeout,
                         std::int32_t Count);
  // Within StartOfPacketReadTimeout; a timeout becomes EReadMessageTimeoutError.
  std::int32_t ReadHeader(IDeviceConnection& Connection, std::uint8_t* Buffer);
  // Within ReadTimeout; a timeout becomes EReadMessageTimeoutError.
  std::int32_t ReadRemainder(IDeviceConnection& Connection, std::uint8_t* Buffer,
                             std::int32_t Count);
};

// Header: address, function code, byte count.
class TModbusRtuReceiver : public TModbusAbstractReceiver {
 public:
  std::uint16_t GetPacketLength(const std::uint8_t* Header) override;
  std::uint16_t GetHeaderLength() override;
};

// Header: transaction identifier, protocol identifier, length (the MBAP prefix); the length
// field counts the bytes that follow it. A refused header closes the connection: the rest of
// that reply would otherwise stay in the stream and be read as the next address's reply.
class TModbusTcpReceiver : public TModbusAbstractReceiver {
 public:
  std::int32_t ReadPacket(IDeviceConnection& Connection, std::uint8_t* Buffer,
                          std::int32_t Capacity) override;
  std::uint16_t GetPacketLength(const std::uint8_t* Header) override;
  std::uint16_t GetHeaderLength() override;
};

class TModbusAbstractTransceiver : public TMessageTransceiver {
 public:
  using TMessageTransceiver::TMessageTransceiver;

 protected:
  std::unique_ptr<TMessageSender> CreateSender() override;
};

class TModbusRtuTransceiver : public TModbusAbstractTransceiver {
 public:
  using TModbusAbstractTransceiver::TModbusAbstractTransceiver;

 protected:
  std::unique_ptr<TMessageReceiver> CreateReceiver() override;
};

class TModbusTcpTransceiver : public TModbusAbstractTransceiver {
 public:
  using TModbusAbstractTransceiver::TModbusAbstractTransceiver;

 protected:
  std::unique_ptr<TMessageReceiver> CreateReceiver() override;
};

}  // namespace probrix
