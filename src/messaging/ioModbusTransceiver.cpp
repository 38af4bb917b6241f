#include "messaging/ioModbusTransceiver.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <optional>

#include "foundation/ioExceptions.h"
#include "messaging/ioModbusCoreTypes.h"
#include "messaging/updStrUtils.h"

namespace probrix {

namespace {

// Exactly Count bytes into Buffer.
class TExactCount final : public TReadPhase {
 public:
  TExactCount(std::uint8_t* Buffer, std::int32_t Count, std::string_view MissingFmt)
      : Buffer_(Buffer), Count_(Count), MissingFmt_(MissingFmt) {}

  std::uint8_t* ReadPosition() override { return Buffer_ + Total; }
  std::int32_t ReadRoom() const override { return Count_ - Total; }
  // A kept traffic log shows each read's chunk as before; otherwise the rest is waited for whole.
  bool NeedsWhole(IDeviceConnection& Connection) const override {
    return !ConnectionLogger().IsKept(&Connection);
  }
  bool Take(IDeviceConnection& Connection, std::int32_t N, const TReadPass& Pass) override {
    if (ConnectionLogger().IsKept(&Connection)) {
      Connection.WriteLogFmt(TTrafficLogKind::RawRead, "<raw (size=%d) %s (OperationTime=%d ms)",
                             {N, HexDump(Buffer_ + Total, N), Pass.Elapsed - Pass.ElapsedAtStart});
    }
    Total += N;
    return Total >= Count_;
  }
  [[noreturn]] void Expired(IDeviceConnection& Connection, const TReadPass& Pass) override {
    TimeoutError(Connection, nullptr, Pass)->Raise();
    std::terminate();  // not reached: the compiler cannot see through the virtual Raise
  }
  std::unique_ptr<Exception> TimeoutError(IDeviceConnection& /*Connection*/,
                                          const Exception* Timeout,
                                          const TReadPass& Pass) override {
    std::unique_ptr<Exception> own;
    if (Timeout == nullptr) {
      own = std::make_unique<EReadTimeoutError>(EReadTimeoutError::CreateFmt(
          "Время ожидания чтения %d байт данных истекло. Прочитано %d байт "
          "(ReadTimeout=%d msec, elapsedTimeout=%d msec, remainingTimeout=%d msec)",
          {Count_, Total, Pass.Timeout, Pass.ElapsedAtStart, Pass.Remaining}));
      Timeout = own.get();
    }
    if (MissingFmt_.empty()) return own ? std::move(own) : Timeout->Clone();
    return std::make_unique<EReadMessageTimeoutError>(
        EReadMessageTimeoutError::CreateFmt(MissingFmt_, {Count_}, Timeout));
  }

  std::int32_t Total = 0;

 private:
  std::uint8_t* const Buffer_;
  const std::int32_t Count_;
  const std::string_view MissingFmt_;
};

std::uint16_t TransactionIdOf(const std::uint8_t* Frame) {
  return static_cast<std::uint16_t>((Frame[0] << 8) | Frame[1]);
}

// An RTU frame (address, function, any data) whose last two bytes are the CRC of the rest.
bool HasGoodCrc(const std::uint8_t* Frame, std::int32_t Count) {
  return Count >= ModbusUtils::MinRtuFrameLength - 1 &&
         (Frame[Count - 2] | (Frame[Count - 1] << 8)) == ModbusUtils::CalcCrc16(Frame, Count - 2);
}

}  // namespace

std::int32_t TModbusAbstractReceiver::ReadExact(IDeviceConnection& Connection, std::uint8_t* Buffer,
                                                std::int32_t Timeout, std::int32_t Count,
                                                std::int64_t SpentMs, std::string_view MissingFmt,
                                                std::unique_ptr<Exception>* TimedOut) {
  TExactCount phase(Buffer, Count, MissingFmt);
  ReadWithin(Connection, Timeout, phase, SpentMs, TimedOut);
  return phase.Total;
}

std::int32_t TModbusAbstractReceiver::ReadHeader(IDeviceConnection& Connection,
                                                 std::uint8_t* Buffer, std::int64_t SpentMs,
                                                 std::unique_ptr<Exception>* TimedOut) {
  return ReadExact(Connection, Buffer, StartOfPacketReadTimeout(), GetHeaderLength(), SpentMs,
                   "Не получен заголовок (%d байт) MODBUS пакета. ", TimedOut);
}

std::int32_t TModbusAbstractReceiver::ReadRemainder(IDeviceConnection& Connection,
                                                    std::uint8_t* Buffer, std::int32_t Count,
                                                    std::int64_t SpentMs) {
  // The fourth word starts with a Latin "o": the device texts are kept as they are.
  return ReadExact(Connection, Buffer, ReadTimeout(), Count, SpentMs,
                   "Не получен oстаток (%d байт) MODBUS пакета. ");
}

std::int32_t TModbusAbstractReceiver::PacketLengthSoFar(const std::uint8_t* Buffer,
                                                        std::int32_t Count, std::int32_t Capacity,
                                                        const TBytes* Request) {
  std::int32_t length = 0;
  if (Request != nullptr && static_cast<std::size_t>(Count) <= Request->size() &&
      std::equal(Buffer, Buffer + Count, Request->begin())) {
    length = static_cast<std::int32_t>(Request->size());
  } else {
    length = GetPacketLength(Buffer, Count);
  }
  if (length < Count || length > Capacity) {
    throw ECorruptMessageFrame::CreateFmt(
        "Недопустимая длина MODBUS пакета: %d байт (заголовок: %d байт, буфер приёма: %d байт)",
        {length, Count, Capacity});
  }
  return length;
}

std::int32_t TModbusAbstractReceiver::ReadRest(IDeviceConnection& Connection, std::uint8_t* Buffer,
                                               std::int32_t Capacity, std::int32_t HeaderCount,
                                               const TBytes* Request) {
  const std::int64_t headerTime = Stopwatch_.ElapsedMilliseconds();
  std::int64_t restTime = 0;
  std::int32_t count = HeaderCount;
  for (;;) {
    std::int32_t length = 0;
    try {
      length = PacketLengthSoFar(Buffer, count, Capacity, Request);
    } catch (const Exception& e) {
      if (Request == nullptr || !(e.Is<EUnknownCommandCode>() || e.Is<ECorruptMessageFrame>()))
        throw;
      TStopwatch resync;
      resync.Start();
      const std::int32_t end = ReadToFrameEnd(Connection, *Request, Buffer, Capacity, count);
      if (end < 0) throw;
      count = end;
      restTime += resync.ElapsedMilliseconds();
      break;
    }
    if (length == count) break;
    count += ReadRemainder(Connection, Buffer + count, length - count, restTime);
    restTime += Stopwatch_.ElapsedMilliseconds();
  }
  if (ConnectionLogger().IsKept(&Connection)) {
    Connection.WriteLogFmt(TTrafficLogKind::PacketReceived,
                           "<--- (size=%d) %s (WaitHeaderTime=%d ms, WaitEndOfPacketTime=%d ms)",
                           {count, HexDump(Buffer, count), headerTime, headerTime + restTime});
  }
  return count;
}

std::int32_t TModbusAbstractReceiver::ReadPacket(IDeviceConnection& Connection,
                                                 std::uint8_t* Buffer, std::int32_t Capacity) {
  std::unique_ptr<Exception> timedOut;
  const std::int32_t count = ReadPacketOrTimeOut(Connection, Buffer, Capacity, timedOut);
  if (timedOut) timedOut->Raise();
  return count;
}

std::int32_t TModbusAbstractReceiver::ReadPacketOrTimeOut(IDeviceConnection& Connection,
                                                          std::uint8_t* Buffer,
                                                          std::int32_t Capacity,
                                                          std::unique_ptr<Exception>& TimedOut) {
  const std::int32_t headerLength = GetHeaderLength();
  if (headerLength > Capacity) {
    throw ECorruptMessageFrame::CreateFmt(
        "Заголовок MODBUS пакета (%d байт) не помещается в буфер приёма (%d байт)",
        {headerLength, Capacity});
  }
  const std::optional<TBytes> request = TakeRequest();
  if (!request) {
    const std::int32_t count = ReadHeader(Connection, Buffer, 0, &TimedOut);
    return TimedOut ? 0 : ReadRest(Connection, Buffer, Capacity, count, nullptr);
  }

  // Packets passed over use up the start-of-packet budget of this receive, not a new one.
  TStopwatch listening;
  listening.Start();
  const bool limited = StartOfPacketReadTimeout() != Connection.InfiniteTimeout();
  TBytes setAside;
  for (;;) {
    const std::int64_t spent = limited ? listening.ElapsedMilliseconds() : 0;
    std::int32_t count = ReadHeader(Connection, Buffer, spent, &TimedOut);
    if (TimedOut) {
      if (setAside.empty()) return 0;
      // The reply did not come in time: the packet set aside is the answer after all.
      TimedOut.reset();
      std::memcpy(Buffer, setAside.data(), setAside.size());
      return static_cast<std::int32_t>(setAside.size());
    }
    count = ReadRest(Connection, Buffer, Capacity, count, &*request);
    if (SkipEcho(Connection, *request, Buffer, count)) continue;
    switch (CheckReply(Connection, *request, Buffer, count)) {
      case TReplyCheck::rcAccept:
        return count;
      case TReplyCheck::rcSetAside:
        if (setAside.empty()) setAside.assign(Buffer, Buffer + count);
        break;
      case TReplyCheck::rcSkip:
        break;
    }
  }
}

std::uint16_t TModbusRtuReceiver::GetPacketLength(const std::uint8_t* Data, std::int32_t Count) {
  return ModbusUtils::GetRtuPacketLength(Data, Count);
}

std::uint16_t TModbusRtuReceiver::GetHeaderLength() { return ModbusUtils::RtuHeaderLength; }

TModbusAbstractReceiver::TReplyCheck TModbusRtuReceiver::CheckReply(IDeviceConnection& Connection,
                                                                    const TBytes& Request,
                                                                    const std::uint8_t* Packet,
                                                                    std::int32_t Count) {
  if (Request.empty() || Packet[0] == Request[0]) return TReplyCheck::rcAccept;
  // A broken frame is the searcher's to reject (a CRC error is retried).
  if (!HasGoodCrc(Packet, Count)) return TReplyCheck::rcAccept;
  LogSkipped(Connection, Packet, Count,
             Format("ответ другого прибора с адресом %d пропущен, ожидается ответ прибора с "
                    "адресом %d",
                    {Packet[0], Request[0]}));
  return TReplyCheck::rcSetAside;
}

std::int32_t TModbusRtuReceiver::ReadToFrameEnd(IDeviceConnection& Connection,
                                                const TBytes& Request, std::uint8_t* Buffer,
                                                std::int32_t Capacity, std::int32_t Count) {
  // The addressed device's reply keeps the length rule's verdict.
  if (Request.empty() || Buffer[0] == Request[0]) return -1;
  const std::int32_t limit = std::min<std::int32_t>(Capacity, ModbusUtils::MaxRtuFrameLength);
  const bool limited = ReadTimeout() != Connection.InfiniteTimeout();
  TStopwatch frame;
  frame.Start();
  while (Count < limit && !HasGoodCrc(Buffer, Count)) {
    std::int64_t wait = FrameSilenceMs;
    if (limited) wait = std::min<std::int64_t>(wait, ReadTimeout() - frame.ElapsedMilliseconds());
    if (wait <= 0) break;
    try {
      Count += ReadExact(Connection, Buffer + Count, static_cast<std::int32_t>(wait), 1);
    } catch (const EReadTimeoutError&) {
      break;  // the line fell silent: the frame ended there
    }
  }
  return Count;
}

std::int32_t TModbusTcpReceiver::ReadPacketOrTimeOut(IDeviceConnection& Connection,
                                                     std::uint8_t* Buffer, std::int32_t Capacity,
                                                     std::unique_ptr<Exception>& TimedOut) {
  try {
    return TModbusAbstractReceiver::ReadPacketOrTimeOut(Connection, Buffer, Capacity, TimedOut);
  } catch (const ECorruptMessageFrame&) {
    Connection.CloseQuietly();  // the next exchange opens a fresh stream
    throw;
  }
}

std::uint16_t TModbusTcpReceiver::GetPacketLength(const std::uint8_t* Data, std::int32_t) {
  const auto length = static_cast<std::uint16_t>((Data[4] << 8) | Data[5]);
  constexpr std::int32_t maxLength = TDeviceMessenger::BufferSize - ModbusUtils::TcpHeaderLength;
  if (length == 0 || length > maxLength) {
    throw ECorruptMessageFrame::CreateFmt(
        "Недопустимое значение поля длины в заголовке MODBUS TCP: %d (допустимо от 1 до %d)",
        {length, maxLength});
  }
  return static_cast<std::uint16_t>(ModbusUtils::TcpHeaderLength + length);
}

std::uint16_t TModbusTcpReceiver::GetHeaderLength() { return ModbusUtils::TcpHeaderLength; }

void TModbusTcpReceiver::ExpectReplyTo(const TBytes& Request) {
  if (SentCount_ < 0x10000) ++SentCount_;
  TModbusAbstractReceiver::ExpectReplyTo(Request);
}

TModbusAbstractReceiver::TReplyCheck TModbusTcpReceiver::CheckReply(IDeviceConnection& Connection,
                                                                    const TBytes& Request,
                                                                    const std::uint8_t* Packet,
                                                                    std::int32_t Count) {
  if (Request.size() < 2) return TReplyCheck::rcAccept;
  const std::uint16_t sent = TransactionIdOf(Request.data());
  const std::uint16_t received = TransactionIdOf(Packet);
  // An identifier this receiver sent before the current one: the reply to an earlier request.
  const auto age = static_cast<std::uint16_t>(sent - received);
  if (age == 0 || age >= SentCount_) return TReplyCheck::rcAccept;
  LogSkipped(Connection, Packet, Count,
             Format("запоздавший ответ с идентификатором транзакции %d пропущен, ожидается "
                    "идентификатор %d",
                    {received, sent}));
  return TReplyCheck::rcSkip;
}

std::unique_ptr<TMessageSender> TModbusAbstractTransceiver::CreateSender() {
  return std::make_unique<TModbusSender>();
}

std::unique_ptr<TMessageReceiver> TModbusRtuTransceiver::CreateReceiver() {
  return std::make_unique<TModbusRtuReceiver>();
}

std::unique_ptr<TMessageReceiver> TModbusTcpTransceiver::CreateReceiver() {
  return std::make_unique<TModbusTcpReceiver>();
}

}  // namespace probrix
