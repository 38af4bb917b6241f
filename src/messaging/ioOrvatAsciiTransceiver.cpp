#include "messaging/ioOrvatAsciiTransceiver.h"

#include <cstring>

#include "foundation/appExceptions.h"
#include "foundation/ioExceptions.h"
#include "messaging/updStrUtils.h"

namespace probrix {

namespace {

constexpr std::uint8_t CR = 0x0D;
constexpr std::uint8_t LF = 0x0A;

void StripLeadingLineEnds(TBytes& Message) {
  std::size_t i = 0;
  while (i < Message.size() && (Message[i] == CR || Message[i] == LF)) ++i;
  Message.erase(0, i);
}

// The newest complete lines of Message (which ends with CR LF) that fit into Capacity bytes.
// Empty when even the last line does not fit.
TBytes NewestLinesThatFit(const TBytes& Message, std::size_t Capacity) {
  const std::size_t earliest = Message.size() - Capacity;
  for (std::size_t p = std::max<std::size_t>(earliest, 2); p < Message.size(); ++p) {
    if (Message[p - 2] == CR && Message[p - 1] == LF) {
      TBytes tail = Message.substr(p);
      StripLeadingLineEnds(tail);
      return tail;
    }
  }
  return {};
}

}  // namespace

TOrvatAsciiReceiver::TOrvatAsciiReceiver() {
  ReadTimeout = 5000;
  StartOfPacketReadTimeout = 5000;
}

TBytes TOrvatAsciiReceiver::ReadChunk(IDeviceConnection& Connection, std::int32_t Timeout) {
  std::int32_t n = 0;
  try {
    Connection.SetReadTimeout(Timeout);
    n = Connection.Read(ChunkBuffer_.data(), ChunkSize);
    // A connection never returns more than asked; a faulty one must not move us past the end.
    if (n < 0 || n > ChunkSize) {
      throw EConnectionIOError::CreateFmt(
          "[%s] Операция чтения вернула недопустимое количество байт: %d",
          {Connection.ConnectionString(), n});
    }
  } catch (const EReadTimeoutError& e) {
    throw EReadTimeoutError::CreateFmt(
        "[%s] Истек таймаут ожидания чтения данных (%d ms). Данные не получены.",
        {Connection.ConnectionString(), Connection.ReadTimeout()}, &e);
  } catch (const EConnectionIOError& e) {
    throw EConnectionIOError::CreateFmt("[%s] Ошибка приема сообщения.",
                                        {Connection.ConnectionString()}, &e);
  }
  Connection.WriteLogFmt(TTrafficLogKind::ReadStep, "<raw (size=%d) %s (OperationTime=%d ms)",
                         {n, HexDump(ChunkBuffer_.data(), n), Stopwatch.ElapsedMilliseconds()});
  return TBytes(ChunkBuffer_.data(), static_cast<std::size_t>(n));
}

std::int32_t TOrvatAsciiReceiver::FindLastCrLf(const TBytes& Text) {
  for (std::size_t i = Text.size(); i >= 2; --i) {
    if (Text[i - 2] == CR && Text[i - 1] == LF) return static_cast<std::int32_t>(i - 1);
  }
  return 0;
}

TBytes TOrvatAsciiReceiver::ExtractMessage(TBytes& Accumulator) {
  const std::int32_t p = FindLastCrLf(Accumulator);
  if (p == 0) return {};
  TBytes message = Accumulator.substr(0, static_cast<std::size_t>(p) + 1);
  Accumulator.erase(0, static_cast<std::size_t>(p) + 1);
  StripLeadingLineEnds(message);
  return message;
}

std::int32_t TOrvatAsciiReceiver::ReadPacket(IDeviceConnection& Connection, std::uint8_t* Buffer,
                                             std::int32_t Capacity) {
  try {
    std::int64_t remaining = ReadTimeout;
    std::int32_t total = 0;
    Stopwatch.Restart();
    TStopwatchStopper stopper(Stopwatch);
    const bool limited = ReadTimeout != Connection.InfiniteTimeout();
    const std::size_t capacity = Capacity > 0 ? static_cast<std::size_t>(Capacity) : 0;
    TBytes message;
    do {
      if (limited) {
        const std::int64_t elapsed = Stopwatch.ElapsedMilliseconds();
        remaining = ReadTimeout - elapsed;
        if (remaining < 1) {
          throw EReadTimeoutError::CreateFmt(
              "[%s] Время ожидания конца сообщения (CRLF=0x0D0A) истекло. Прочитано %d байт "
              "(ReadTimeout=%d msec, elapsedTimeout=%d msec, remainingTimeout=%d msec)",
              {Connection.ConnectionString(), total, ReadTimeout, elapsed, remaining});
        }
      }
      const TBytes chunk = ReadChunk(Connection, static_cast<std::int32_t>(remaining));
      total += static_cast<std::int32_t>(chunk.size());
      Accumulator_ += chunk;
      Connection.WriteLogFmt(TTrafficLogKind::RawRead,
                             "<acc (size=%d) %s (received chars accumulator)",
                             {Accumulator_.size(), HexDumpText(Accumulator_)});
      message = ExtractMessage(Accumulator_);
      // Without a complete line the oldest characters can only belong to a line too long for
      // the buffer; dropping them keeps the accumulator bounded during a flood.
      if (message.empty() && Accumulator_.size() > capacity)
        Accumulator_.erase(0, Accumulator_.size() - capacity);
    } while (message.empty());

    if (message.size() > capacity) {
      const std::size_t received = message.size();
      message = NewestLinesThatFit(message, capacity);
      if (message.empty()) {
        throw ECorruptMessageFrame::CreateFmt(
            "[%s] Строка сообщения ORVATBUS ASCII не помещается в буфер приема. Длина сообщения: "
            "%d байт (размер буфера: %d байт)",
            {Connection.ConnectionString(), received, capacity});
      }
    }
    std::memcpy(Buffer, message.data(), message.size());
    return static_cast<std::int32_t>(message.size());
  } catch (const EReadTimeoutError& e) {
    throw EReadTimeoutError::CreateFmt("[%s] Не получены символы конца сообщения (CRLF=0x0D0A)",
                                       {Connection.ConnectionString()}, &e);
  } catch (const std::exception& e) {
    RethrowReadFailure(Connection, e);
  }
}

TOrvatAsciiTransceiver::TOrvatAsciiTransceiver(std::shared_ptr<IDeviceConnection> Connection)
    : TMessageTransceiver(std::move(Connection)) {
  SetStartOfPacketReadTimeout(5000);
  SetReadTimeout(5000);
  SetWriteTimeout(500);
}

std::unique_ptr<TMessageSender> TOrvatAsciiTransceiver::CreateSender() {
  return std::make_unique<TOrvatAsciiSender>();
}

std::unique_ptr<TMessageReceiver> TOrvatAsciiTransceiver::CreateReceiver() {
  return std::make_unique<TOrvatAsciiReceiver>();
}

}  // namespace probrix
