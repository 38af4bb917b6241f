#pragma once

// Reading one Modbus response without an end marker: a fixed-length header is read within the
// start-of-packet timeout, the whole length is computed from it, and exactly the remaining
// bytes are read within the read timeout. Sending is the plain sender of the framework.

#include <cstdint>
#include <memory>
#include <string_view>

#include "messaging/ioMessageTransceiver.h"

namespace probrix {

class TModbusSender : public TMessageSender {};

class TModbusAbstractReceiver : public TMessageReceiver {
 public:
  // Header, then the remainder the header announces; a length that does not fit Capacity
  // fails with ECorruptMessageFrame before anything more is read. After an exchange's request,
  // the line's echo of it and a complete packet that CheckReply does not accept (a late reply,
  // another device's frame) are logged and passed over, and reading goes on within the same
  // start-of-packet budget.
  std::int32_t ReadPacket(IDeviceConnection& Connection, std::uint8_t* Buffer,
                          std::int32_t Capacity) override;
  // A header that does not begin in time comes back as its EReadMessageTimeoutError.
  std::int32_t ReadPacketOrTimeOut(IDeviceConnection& Connection, std::uint8_t* Buffer,
                                   std::int32_t Capacity,
                                   std::unique_ptr<Exception>& TimedOut) override;
  // The total length of the packet as far as its first Count bytes (at least the header) tell
  // it; while it is more than Count, the packet tells the rest of its length as it arrives.
  virtual std::uint16_t GetPacketLength(const std::uint8_t* Data, std::int32_t Count) = 0;
  virtual std::uint16_t GetHeaderLength() = 0;

  // Exactly Count bytes within Timeout milliseconds in total (no limit when Timeout is the
  // connection's InfiniteTimeout), of which SpentMs are already gone; time used up between
  // reads raises EReadTimeoutError. With MissingFmt a timeout (either kind) is raised as the
  // EReadMessageTimeoutError of that text (its %d: Count) with the timeout as its cause, in one
  // throw; with TimedOut it comes back there instead, unthrown.
  std::int32_t ReadExact(IDeviceConnection& Connection, std::uint8_t* Buffer, std::int32_t Timeout,
                         std::int32_t Count, std::int64_t SpentMs = 0,
                         std::string_view MissingFmt = {},
                         std::unique_ptr<Exception>* TimedOut = nullptr);
  // Within StartOfPacketReadTimeout; a timeout becomes EReadMessageTimeoutError (in TimedOut
  // when given).
  std::int32_t ReadHeader(IDeviceConnection& Connection, std::uint8_t* Buffer,
                          std::int64_t SpentMs = 0, std::unique_ptr<Exception>* TimedOut = nullptr);
  // Within ReadTimeout, of which SpentMs are already gone; a timeout becomes
  // EReadMessageTimeoutError.
  std::int32_t ReadRemainder(IDeviceConnection& Connection, std::uint8_t* Buffer,
                             std::int32_t Count, std::int64_t SpentMs = 0);

 protected:
  enum class TReplyCheck : std::uint8_t {
    rcAccept,   // the reply to read
    rcSkip,     // not this request's reply: read on
    rcSetAside  // read on, but return it if the reply does not arrive in time
  };
  // Judges a complete packet against the request it should answer (and logs what it passes
  // over). Only called after an exchange's request.
  virtual TReplyCheck CheckReply(IDeviceConnection& Connection, const TBytes& Request,
                                 const std::uint8_t* Packet, std::int32_t Count) = 0;
  // A packet whose first Count bytes are in Buffer but whose length the framing cannot tell
  // (GetPacketLength failed) is read to its end when it is not the addressed device's, and
  // that end is returned; -1 leaves the failure as it is.
  virtual std::int32_t ReadToFrameEnd(IDeviceConnection& /*Connection*/, const TBytes& /*Request*/,
                                      std::uint8_t* /*Buffer*/, std::int32_t /*Capacity*/,
                                      std::int32_t /*Count*/) {
    return -1;
  }

 private:
  // The rest of a packet whose header is in Buffer: the length check, the remainder (in steps,
  // all within one ReadTimeout, when the packet tells its length as it arrives) and the "<---"
  // line (the stopwatch still holds the header's wait). Returns the packet's length. With the
  // request of an exchange, bytes that begin like it are read as far as the request goes (the
  // line's echo of a request need not have the length of a reply).
  std::int32_t ReadRest(IDeviceConnection& Connection, std::uint8_t* Buffer, std::int32_t Capacity,
                        std::int32_t HeaderCount, const TBytes* Request);
  // The packet's length as far as its first Count bytes tell it, within Capacity.
  std::int32_t PacketLengthSoFar(const std::uint8_t* Buffer, std::int32_t Count,
                                 std::int32_t Capacity, const TBytes* Request);
};

// Header: address, function code, byte count (a device identification reply tells the rest of
// its length object by object). After an exchange, a whole frame with a good CRC from another
// address, whatever its function, is set aside: the addressed device may still answer in time
// (a late reply of the device before it, on a bus or behind a gateway, comes first). Only when
// it does not is that frame returned, for the searcher to reject. Another device's frame of a
// function the length rule does not know ends where its bytes carry a good CRC, or where the
// line falls silent.
class TModbusRtuReceiver : public TModbusAbstractReceiver {
 public:
  // A pause this long between two bytes ends a frame of unknown length: longer than the
  // inter-frame silence at any line rate in use, and than a USB adapter's latency timer.
  static constexpr std::int32_t FrameSilenceMs = 20;

  std::uint16_t GetPacketLength(const std::uint8_t* Data, std::int32_t Count) override;
  std::uint16_t GetHeaderLength() override;

 protected:
  TReplyCheck CheckReply(IDeviceConnection& Connection, const TBytes& Request,
                         const std::uint8_t* Packet, std::int32_t Count) override;
  // Another device's frame is read one byte at a time (what follows it may be the reply),
  // within ReadTimeout, at most the largest RTU frame.
  std::int32_t ReadToFrameEnd(IDeviceConnection& Connection, const TBytes& Request,
                              std::uint8_t* Buffer, std::int32_t Capacity,
                              std::int32_t Count) override;
};

// Header: transaction identifier, protocol identifier, length (the MBAP prefix); the length
// field counts the bytes that follow it. A refused header closes the connection: the rest of
// that reply would otherwise stay in the stream and be read as the next address's reply. After
// an exchange, a reply with the identifier of an earlier request on this receiver (a late reply)
// is passed over; one with an identifier never sent is returned, for the searcher to reject.
class TModbusTcpReceiver : public TModbusAbstractReceiver {
 public:
  std::int32_t ReadPacketOrTimeOut(IDeviceConnection& Connection, std::uint8_t* Buffer,
                                   std::int32_t Capacity,
                                   std::unique_ptr<Exception>& TimedOut) override;
  std::uint16_t GetPacketLength(const std::uint8_t* Data, std::int32_t Count) override;
  std::uint16_t GetHeaderLength() override;
  // Also counts the request among those sent on this receiver.
  void ExpectReplyTo(const TBytes& Request) override;

 protected:
  TReplyCheck CheckReply(IDeviceConnection& Connection, const TBytes& Request,
                         const std::uint8_t* Packet, std::int32_t Count) override;

 private:
  std::uint32_t SentCount_ = 0;  // requests so far, the current one included (at most 65536)
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
