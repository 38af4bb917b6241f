#include "messaging/ioOrvatbusTransceiver.h"

#include <cstring>

#include "foundation/appExceptions.h"
#include "foundation/ioExceptions.h"
#include "messaging/ioOrvatbusCoreTypes.h"
#include "messaging/updStrUtils.h"

namespace probrix {

namespace {

constexpr const char* kEtxCheckLine =
    "<chk ETXPosition=%d (TotalBytesRead=%d, Bytes=%s, StartIndex=SOHPosition=%d, "
    "StopIndex=TotalBytesRead-1=%d)";

}  // namespace

std::int32_t TOrvatbusReceiver::IndexOfByte(std::uint8_t Value, const std::uint8_t* Data,
                                            std::int32_t From, std::int32_t To) {
  for (std::int32_t i = From; i <= To; ++i)
    if (Data[i] == Value) return i;
  return -1;
}

std::int32_t TOrvatbusReceiver::LastIndexOfByte(std::uint8_t Value, const std::uint8_t* Data,
                                                std::int32_t From, std::int32_t To) {
  for (std::int32_t i = To; i >= From; --i)
    if (Data[i] == Value) return i;
  return -1;
}

bool TOrvatbusReceiver::ContainsByte(std::uint8_t Value, const std::uint8_t* Data,
                                     std::int32_t Count) {
  return IndexOfByte(Value, Data, 0, Count - 1) != -1;
}

namespace {

// Chunks into Buffer until one holds StopByte or Capacity bytes are held.
class TUntilByte final : public TReadPhase {
 public:
  TUntilByte(std::uint8_t StopByte, std::uint8_t* Buffer, std::int32_t Capacity)
      : StopByte_(StopByte), Buffer_(Buffer), Capacity_(Capacity) {}

  std::uint8_t* ReadPosition() override { return Buffer_ + Count; }
  std::int32_t ReadRoom() const override { return Capacity_ - Count; }
  void BeforeRead(IDeviceConnection& Connection) override {
    if (!ConnectionLogger().IsKept(&Connection)) return;
    Connection.WriteLogFmt(TTrafficLogKind::ReadStep,
                           "<trd Вызов очередной операции чтения даных (ReadTimeout=%d ms)",
                           {Connection.ReadTimeout()});
  }
  bool Take(IDeviceConnection& Connection, std::int32_t N, const TReadPass& Pass) override {
    const bool logged = ConnectionLogger().IsKept(&Connection);
    const std::string dump = logged ? HexDump(Buffer_ + Count, N) : std::string();
    if (logged)
      Connection.WriteLogFmt(TTrafficLogKind::ReadStep, "<rd- (NumberOfBytesRead=%d) %s",
                             {N, dump});
    // Only the bytes of this chunk are searched.
    Found = TOrvatbusReceiver::ContainsByte(StopByte_, Buffer_ + Count, N);
    Count += N;
    if (!logged) return Found || Count >= Capacity_;
    Connection.WriteLogFmt(TTrafficLogKind::Check, "<chk isStopByteReceived=%d (StopByte=0x%.2x)",
                           {Found ? 1 : 0, StopByte_});
    Connection.WriteLogFmt(TTrafficLogKind::RawRead,
                           "<raw (size=%d) %s (OperationTime=%d ms) [ThreadID: 0x%.8x]",
                           {N, dump, Pass.Elapsed - Pass.ElapsedAtStart, CurrentThreadIdForLog()});
    return Found || Count >= Capacity_;
  }
  [[noreturn]] void Expired(IDeviceConnection& Connection, const TReadPass& Pass) override {
    throw EReadMessageTimeoutError::CreateFmt(
        "[%s] Время ожидания чтения байта (0x%.2x) истекло. Прочитано %d байт "
        "(ReadTimeout=%d ms, elapsedTimeout=%d ms, remainingTimeout=%d ms)",
        {Connection.ConnectionString(), StopByte_, Count, Pass.Timeout, Pass.ElapsedAtStart,
         Pass.Remaining});
  }
  bool TranslatesReadFailures() const override { return true; }
  [[noreturn]] void ReadFailed(IDeviceConnection& Connection, const Exception& E,
                               const TReadPass& Pass) override {
    if (E.Is<EReadTimeoutError>()) {
      throw EReadMessageTimeoutError::CreateFmt(
          "[%s] Истек таймаут ожидания чтения данных (ReadTimeout=%d ms, elapsedTimeout=%d ms, "
          "remainingTimeout=%d ms). Данные не получены.",
          {Connection.ConnectionString(), Pass.Timeout, Pass.ElapsedAtStart, Pass.Remaining}, &E);
    }
    throw EConnectionIOError::CreateFmt("[%s] Ошибка приема сообщения.",
                                        {Connection.ConnectionString()}, &E);
  }

  std::int32_t Count = 0;
  bool Found = false;

 private:
  const std::uint8_t StopByte_;
  std::uint8_t* const Buffer_;
  const std::int32_t Capacity_;
};

}  // namespace

std::int32_t TOrvatbusReceiver::ReadUntilByte(IDeviceConnection& Connection, std::uint8_t StopByte,
                                              std::uint8_t* Buffer, std::int32_t Capacity,
                                              std::int32_t Timeout) {
  TUntilByte phase(StopByte, Buffer, Capacity);
  ReadWithin(Connection, Timeout, phase);
  return phase.Count;
}

std::int32_t TOrvatbusReceiver::WaitForSOH(IDeviceConnection& Connection, std::uint8_t* Buffer,
                                           std::int32_t Capacity) {
  try {
    return ReadUntilByte(Connection, OrvatbusUtils::SOH, Buffer, Capacity,
                         StartOfPacketReadTimeout());
  } catch (const EReadMessageTimeoutError& e) {
    throw EReadSOHTimeoutError::CreateFmt("[%s] Не получен символ начала пакета (SOH)",
                                          {Connection.ConnectionString()}, &e);
  }
}

std::int32_t TOrvatbusReceiver::WaitForETX(IDeviceConnection& Connection, std::uint8_t* Buffer,
                                           std::int32_t Capacity) {
  try {
    return ReadUntilByte(Connection, OrvatbusUtils::ETX, Buffer, Capacity, ReadTimeout());
  } catch (const EReadMessageTimeoutError& e) {
    throw EReadETXTimeoutError::CreateFmt("[%s] Не получен символ конца пакета (ETX)",
                                          {Connection.ConnectionString()}, &e);
  }
}

std::int32_t TOrvatbusReceiver::ReadPacket(IDeviceConnection& Connection, std::uint8_t* Buffer,
                                           std::int32_t Capacity) {
  try {
    std::int32_t n = WaitForSOH(Connection, Buffer, Capacity);
    const std::int64_t sohTime = Stopwatch_.ElapsedMilliseconds();
    std::int64_t etxTime = 0;

    std::int32_t soh = LastIndexOfByte(OrvatbusUtils::SOH, Buffer, 0, n - 1);
    if (soh < 0) {
      // The buffer filled up with bytes that hold no start of packet.
      throw ECorruptMessageFrame::CreateFmt(
          "[%s] Буфер приема заполнен (%d байт), но символ начала пакета (SOH) не получен.",
          {Connection.ConnectionString(), n});
    }
    // The ETX is searched from the SOH up to the last byte read, so that bytes of line noise
    // before the SOH cannot push the end of the frame out of the search window.
    std::int32_t stop = n - 1;
    std::int32_t etx = IndexOfByte(OrvatbusUtils::ETX, Buffer, soh, stop);
    const bool logged = ConnectionLogger().IsKept(&Connection);
    if (logged) {
      Connection.WriteLogFmt(TTrafficLogKind::Check, kEtxCheckLine,
                             {etx, n, HexDump(Buffer, n), soh, stop});
    }
    if (etx < 0) {
      if (n >= Capacity) {
        throw ECorruptMessageFrame::CreateFmt(
            "[%s] Буфер приема заполнен (%d байт), но символ конца пакета (ETX) не получен.",
            {Connection.ConnectionString(), n});
      }
      n += WaitForETX(Connection, Buffer + n, Capacity - n);
      etxTime = Stopwatch_.ElapsedMilliseconds();
      stop = n - 1;
      etx = IndexOfByte(OrvatbusUtils::ETX, Buffer, soh, stop);
      if (logged) {
        Connection.WriteLogFmt(TTrafficLogKind::Check, kEtxCheckLine,
                               {etx, n, HexDump(Buffer, n), soh, stop});
      }
      if (etx < 0) {
        throw ECorruptMessageFrame::CreateFmt(
            "[%s] Буфер приема заполнен (%d байт), но символ конца пакета (ETX) не получен.",
            {Connection.ConnectionString(), n});
      }
      // A later SOH before the ETX starts the frame that actually ended there.
      soh = LastIndexOfByte(OrvatbusUtils::SOH, Buffer, soh, etx);
    }

    const std::int32_t length = etx - soh + 1;
    if (soh != 0) std::memmove(Buffer, Buffer + soh, static_cast<std::size_t>(length));
    if (!logged) return length;
    Connection.WriteLogFmt(
        TTrafficLogKind::PacketReceived,
        "<--- (size=%d) %s (WaitStartOfPacketTime=%d ms, "
        "WaitEndOfPacketTime=%d ms) [ThreadID: 0x%.8x]",
        {length, HexDump(Buffer, length), sohTime, sohTime + etxTime, CurrentThreadIdForLog()});
    return length;
  } catch (const std::exception& e) {
    RethrowReadFailure(Connection, e);
  }
}

std::unique_ptr<TMessageSender> TOrvatbusTransceiver::CreateSender() {
  return std::make_unique<TOrvatbusSender>();
}

std::unique_ptr<TMessageReceiver> TOrvatbusTransceiver::CreateReceiver() {
  return std::make_unique<TOrvatbusReceiver>();
}

}  // namespace probrix
