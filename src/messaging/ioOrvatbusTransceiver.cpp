#include "messaging/ioOrvatbusTransceiver.h"

#include <algorithm>
#include <cstring>
#include <optional>

#include "foundation/appExceptions.h"
#include "foundation/ioExceptions.h"
#include "messaging/ioOrvatbusCoreTypes.h"
#include "messaging/updStrUtils.h"

namespace probrix {

namespace {

constexpr const char* EtxCheckLine =
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

// What a missing frame mark is raised as, with the read's timeout as its cause.
using TMissingMark = void (*)(IDeviceConnection& Connection, const Exception& Timeout);

[[noreturn]] void RaiseMissingSoh(IDeviceConnection& Connection, const Exception& Timeout) {
  throw EReadSOHTimeoutError::CreateFmt("[%s] Не получен символ начала пакета (SOH)",
                                        {Connection.ConnectionString()}, &Timeout);
}

[[noreturn]] void RaiseMissingEtx(IDeviceConnection& Connection, const Exception& Timeout) {
  throw EReadETXTimeoutError::CreateFmt("[%s] Не получен символ конца пакета (ETX)",
                                        {Connection.ConnectionString()}, &Timeout);
}

// Chunks into Buffer until one holds StopByte or Capacity bytes are held. With Missing, a
// timeout is raised as Missing makes it, in one throw.
class TUntilByte final : public TReadPhase {
 public:
  TUntilByte(std::uint8_t StopByte, std::uint8_t* Buffer, std::int32_t Capacity,
             TMissingMark Missing = nullptr)
      : StopByte_(StopByte), Buffer_(Buffer), Capacity_(Capacity), Missing_(Missing) {}

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
    Fail(Connection, EReadMessageTimeoutError::CreateFmt(
                         "[%s] Время ожидания чтения байта (0x%.2x) истекло. Прочитано %d байт "
                         "(ReadTimeout=%d ms, elapsedTimeout=%d ms, remainingTimeout=%d ms)",
                         {Connection.ConnectionString(), StopByte_, Count, Pass.Timeout,
                          Pass.ElapsedAtStart, Pass.Remaining}));
  }
  bool TranslatesReadFailures() const override { return true; }
  [[noreturn]] void ReadFailed(IDeviceConnection& Connection, const Exception& E,
                               const TReadPass& Pass) override {
    if (E.Is<EReadTimeoutError>()) {
      Fail(Connection,
           EReadMessageTimeoutError::CreateFmt(
               "[%s] Истек таймаут ожидания чтения данных (ReadTimeout=%d ms, elapsedTimeout=%d "
               "ms, remainingTimeout=%d ms). Данные не получены.",
               {Connection.ConnectionString(), Pass.Timeout, Pass.ElapsedAtStart, Pass.Remaining},
               &E));
    }
    throw EConnectionIOError::CreateFmt("[%s] Ошибка приема сообщения.",
                                        {Connection.ConnectionString()}, &E);
  }

  std::int32_t Count = 0;
  bool Found = false;

 private:
  [[noreturn]] void Fail(IDeviceConnection& Connection, const EReadMessageTimeoutError& E) const {
    if (Missing_ != nullptr) Missing_(Connection, E);
    throw E;
  }

  const std::uint8_t StopByte_;
  std::uint8_t* const Buffer_;
  const std::int32_t Capacity_;
  const TMissingMark Missing_;
};

}  // namespace

std::int32_t TOrvatbusReceiver::ReadUntilByte(IDeviceConnection& Connection, std::uint8_t StopByte,
                                              std::uint8_t* Buffer, std::int32_t Capacity,
                                              std::int32_t Timeout, std::int64_t SpentMs) {
  TUntilByte phase(StopByte, Buffer, Capacity);
  ReadWithin(Connection, Timeout, phase, SpentMs);
  return phase.Count;
}

std::int32_t TOrvatbusReceiver::WaitForSOH(IDeviceConnection& Connection, std::uint8_t* Buffer,
                                           std::int32_t Capacity, std::int64_t SpentMs) {
  TUntilByte phase(OrvatbusUtils::SOH, Buffer, Capacity, RaiseMissingSoh);
  ReadWithin(Connection, StartOfPacketReadTimeout(), phase, SpentMs);
  return phase.Count;
}

std::int32_t TOrvatbusReceiver::WaitForETX(IDeviceConnection& Connection, std::uint8_t* Buffer,
                                           std::int32_t Capacity) {
  TUntilByte phase(OrvatbusUtils::ETX, Buffer, Capacity, RaiseMissingEtx);
  ReadWithin(Connection, ReadTimeout(), phase);
  return phase.Count;
}

TOrvatbusReceiver::TFrame TOrvatbusReceiver::ReadFrame(IDeviceConnection& Connection,
                                                       std::uint8_t* Buffer, std::int32_t Capacity,
                                                       std::int32_t Held, std::int64_t SpentMs) {
  TFrame f;
  std::int32_t& n = f.Held;
  n = Held;
  std::int32_t soh = LastIndexOfByte(OrvatbusUtils::SOH, Buffer, 0, n - 1);
  f.SohTime = SpentMs;
  if (soh < 0) {
    n += WaitForSOH(Connection, Buffer + n, Capacity - n, SpentMs);
    f.SohTime = SpentMs + Stopwatch_.ElapsedMilliseconds();
    soh = LastIndexOfByte(OrvatbusUtils::SOH, Buffer, 0, n - 1);
  }
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
    Connection.WriteLogFmt(TTrafficLogKind::Check, EtxCheckLine,
                           {etx, n, HexDump(Buffer, n), soh, stop});
  }
  if (etx < 0) {
    if (n >= Capacity) {
      throw ECorruptMessageFrame::CreateFmt(
          "[%s] Буфер приема заполнен (%d байт), но символ конца пакета (ETX) не получен.",
          {Connection.ConnectionString(), n});
    }
    n += WaitForETX(Connection, Buffer + n, Capacity - n);
    f.EtxTime = Stopwatch_.ElapsedMilliseconds();
    stop = n - 1;
    etx = IndexOfByte(OrvatbusUtils::ETX, Buffer, soh, stop);
    if (logged) {
      Connection.WriteLogFmt(TTrafficLogKind::Check, EtxCheckLine,
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
  f.Soh = soh;
  f.Etx = etx;
  return f;
}

std::int32_t TOrvatbusReceiver::ReadPacket(IDeviceConnection& Connection, std::uint8_t* Buffer,
                                           std::int32_t Capacity) {
  try {
    const std::optional<TBytes> request = TakeRequest();
    // An echo passed over uses up the start-of-packet budget of this receive, not a new one.
    TStopwatch listening;
    listening.Start();
    std::int32_t held = 0;
    std::int64_t spent = 0;
    for (;;) {
      const TFrame f = ReadFrame(Connection, Buffer, Capacity, held, spent);
      const std::int32_t length = f.Etx - f.Soh + 1;
      if (ConnectionLogger().IsKept(&Connection)) {
        Connection.WriteLogFmt(TTrafficLogKind::PacketReceived,
                               "<--- (size=%d) %s (WaitStartOfPacketTime=%d ms, "
                               "WaitEndOfPacketTime=%d ms) [ThreadID: 0x%.8x]",
                               {length, HexDump(Buffer + f.Soh, length), f.SohTime,
                                f.SohTime + f.EtxTime, CurrentThreadIdForLog()});
      }
      if (request && f.Soh > 0 &&
          std::search(Buffer, Buffer + f.Soh, request->begin(), request->end()) != Buffer + f.Soh) {
        // The echo came in one chunk with what follows it: passed over with the bytes before.
        LogSkipped(Connection, request->data(), static_cast<std::int32_t>(request->size()),
                   "эхо запроса пропущено");
      }
      if (request && SkipEcho(Connection, *request, Buffer + f.Soh, length)) {
        // What came after the echo is the start of what follows it.
        held = f.Held - f.Etx - 1;
        std::memmove(Buffer, Buffer + f.Etx + 1, static_cast<std::size_t>(held));
        spent = listening.ElapsedMilliseconds();
        continue;
      }
      if (f.Soh != 0) std::memmove(Buffer, Buffer + f.Soh, static_cast<std::size_t>(length));
      return length;
    }
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
