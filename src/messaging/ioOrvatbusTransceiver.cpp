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

std::int32_t TOrvatbusReceiver::ReadUntilByte(IDeviceConnection& Connection, std::uint8_t StopByte,
                                              std::uint8_t* Buffer, std::int32_t Capacity,
                                              std::int32_t Timeout) {
  std::int32_t count = 0;
  std::int64_t elapsedAtStart = 0;
  std::int64_t remaining = Timeout;
  Stopwatch.Restart();
  TStopwatchStopper stopper(Stopwatch);
  const bool limited = Timeout != Connection.InfiniteTimeout();
  bool found = false;
  while (!found && count < Capacity) {
    if (limited) {
      elapsedAtStart = Stopwatch.ElapsedMilliseconds();
      remaining = Timeout - elapsedAtStart;
      if (remaining <= 0) {
        throw EReadMessageTimeoutError::CreateFmt(
            "[%s] Время ожидания чтения байта (0x%.2x) истекло. Прочитано %d байт "
            "(ReadTimeout=%d ms, elapsedTimeout=%d ms, remainingTimeout=%d ms)",
            {Connection.ConnectionString(), StopByte, count, Timeout, elapsedAtStart, remaining});
      }
    }
    std::int32_t n = 0;
    try {
      Connection.SetReadTimeout(static_cast<std::int32_t>(remaining));
      Connection.WriteLogFmt(TTrafficLogKind::ReadStep,
                             "<trd Вызов очередной операции чтения даных (ReadTimeout=%d ms)",
                             {Connection.ReadTimeout()});
      n = Connection.Read(Buffer + count, Capacity - count);
      // A connection never returns more than asked; a faulty one must not move us past the end.
      if (n < 0 || n > Capacity - count) {
        throw EConnectionIOError::CreateFmt(
            "[%s] Операция чтения вернула недопустимое количество байт: %d",
            {Connection.ConnectionString(), n});
      }
      Connection.WriteLogFmt(TTrafficLogKind::ReadStep, "<rd- (NumberOfBytesRead=%d) %s",
                             {n, HexDump(Buffer + count, n)});
    } catch (const EReadTimeoutError& e) {
      throw EReadMessageTimeoutError::CreateFmt(
          "[%s] Истек таймаут ожидания чтения данных (ReadTimeout=%d ms, elapsedTimeout=%d ms, "
          "remainingTimeout=%d ms). Данные не получены.",
          {Connection.ConnectionString(), Timeout, elapsedAtStart, remaining}, &e);
    } catch (const EConnectionIOError& e) {
      throw EConnectionIOError::CreateFmt("[%s] Ошибка приема сообщения.",
                                          {Connection.ConnectionString()}, &e);
    }
    found = ContainsByte(StopByte, Buffer + count, n);
    const std::string dump = HexDump(Buffer + count, n);
    count += n;
    Connection.WriteLogFmt(TTrafficLogKind::Check, "<chk isStopByteReceived=%d (StopByte=0x%.2x)",
                           {found ? 1 : 0, StopByte});
    Connection.WriteLogFmt(
        TTrafficLogKind::RawRead, "<raw (size=%d) %s (OperationTime=%d ms) [ThreadID: 0x%.8x]",
        {n, dump, Stopwatch.ElapsedMilliseconds() - elapsedAtStart, CurrentThreadIdForLog()});
  }
  return count;
}

std::int32_t TOrvatbusReceiver::WaitForSOH(IDeviceConnection& Connection, std::uint8_t* Buffer,
                                           std::int32_t Capacity) {
  try {
    return ReadUntilByte(Connection, OrvatbusUtils::SOH, Buffer, Capacity,
                         StartOfPacketReadTimeout);
  } catch (const EReadMessageTimeoutError& e) {
    throw EReadSOHTimeoutError::CreateFmt("[%s] Не получен символ начала пакета (SOH)",
                                          {Connection.ConnectionString()}, &e);
  }
}

std::int32_t TOrvatbusReceiver::WaitForETX(IDeviceConnection& Connection, std::uint8_t* Buffer,
                                           std::int32_t Capacity) {
  try {
    return ReadUntilByte(Connection, OrvatbusUtils::ETX, Buffer, Capacity, ReadTimeout);
  } catch (const EReadMessageTimeoutError& e) {
    throw EReadETXTimeoutError::CreateFmt("[%s] Не получен символ конца пакета (ETX)",
                                          {Connection.ConnectionString()}, &e);
  }
}

std::int32_t TOrvatbusReceiver::ReadPacket(IDeviceConnection& Connection, std::uint8_t* Buffer,
                                           std::int32_t Capacity) {
  try {
    std::int32_t n = WaitForSOH(Connection, Buffer, Capacity);
    const std::int64_t sohTime = Stopwatch.ElapsedMilliseconds();
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
    Connection.WriteLogFmt(TTrafficLogKind::Check, kEtxCheckLine,
                           {etx, n, HexDump(Buffer, n), soh, stop});
    if (etx < 0) {
      if (n >= Capacity) {
        throw ECorruptMessageFrame::CreateFmt(
            "[%s] Буфер приема заполнен (%d байт), но символ конца пакета (ETX) не получен.",
            {Connection.ConnectionString(), n});
      }
      n += WaitForETX(Connection, Buffer + n, Capacity - n);
      etxTime = Stopwatch.ElapsedMilliseconds();
      stop = n - 1;
      etx = IndexOfByte(OrvatbusUtils::ETX, Buffer, soh, stop);
      Connection.WriteLogFmt(TTrafficLogKind::Check, kEtxCheckLine,
                             {etx, n, HexDump(Buffer, n), soh, stop});
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
