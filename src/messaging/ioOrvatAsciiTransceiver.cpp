#include "messaging/ioOrvatAsciiTransceiver.h"

#include <cstring>
#include <utility>

#include "foundation/appExceptions.h"
#include "foundation/ioExceptions.h"
#include "messaging/ioOrvatAsciiCoreTypes.h"
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
  SetReadTimeout(5000);
  SetStartOfPacketReadTimeout(5000);
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

namespace {

// Chunks into the accumulator until it holds a complete line.
class TLines final : public TReadPhase {
 public:
  TLines(TBytes& Accumulator, std::uint8_t* Chunk, std::size_t Capacity)
      : Accumulator_(Accumulator),
        Chunk_(Chunk),
        Capacity_(Capacity),
        MayStartMidLine_(Accumulator.empty()) {}

  std::uint8_t* ReadPosition() override { return Chunk_; }
  std::int32_t ReadRoom() const override { return TOrvatAsciiReceiver::ChunkSize; }
  bool Take(IDeviceConnection& Connection, std::int32_t N, const TReadPass& Pass) override {
    const bool logged = ConnectionLogger().IsKept(&Connection);
    if (logged) {
      Connection.WriteLogFmt(TTrafficLogKind::ReadStep, "<raw (size=%d) %s (OperationTime=%d ms)",
                             {N, HexDump(Chunk_, N), Pass.Elapsed});
    }
    Total += N;
    Accumulator_.append(Chunk_, static_cast<std::size_t>(N));
    if (logged) {
      Connection.WriteLogFmt(TTrafficLogKind::RawRead,
                             "<acc (size=%d) %s (received chars accumulator)",
                             {Accumulator_.size(), HexDumpText(Accumulator_)});
    }
    Message = TOrvatAsciiReceiver::ExtractMessage(Accumulator_);
    if (!Message.empty() && std::exchange(MayStartMidLine_, false) && IsFragment(Message)) {
      // Listening began in the middle of a transmission: the first line is only its tail.
      if (logged) {
        Connection.WriteLogFmt(
            TTrafficLogKind::Skipped,
            "<skp (size=%d) %s (обрывок строки пропущен: прием начат с середины строки)",
            {Message.size(), HexDumpText(Message)});
      }
      Message.clear();
    }
    // Without a complete line the oldest characters can only belong to a line too long for
    // the buffer; dropping them keeps the accumulator bounded during a flood.
    if (Message.empty() && Accumulator_.size() > Capacity_)
      Accumulator_.erase(0, Accumulator_.size() - Capacity_);
    return !Message.empty();
  }
  [[noreturn]] void Expired(IDeviceConnection& Connection, const TReadPass& Pass) override {
    throw EReadTimeoutError::CreateFmt(
        "[%s] Время ожидания конца сообщения (CRLF=0x0D0A) истекло. Прочитано %d байт "
        "(ReadTimeout=%d msec, elapsedTimeout=%d msec, remainingTimeout=%d msec)",
        {Connection.ConnectionString(), Total, Pass.Timeout, Pass.ElapsedAtStart, Pass.Remaining});
  }
  bool TranslatesReadFailures() const override { return true; }
  [[noreturn]] void ReadFailed(IDeviceConnection& Connection, const Exception& E,
                               const TReadPass& /*Pass*/) override {
    if (E.Is<EReadTimeoutError>()) {
      throw EReadTimeoutError::CreateFmt(
          "[%s] Истек таймаут ожидания чтения данных (%d ms). Данные не получены.",
          {Connection.ConnectionString(), Connection.ReadTimeout()}, &E);
    }
    throw EConnectionIOError::CreateFmt("[%s] Ошибка приема сообщения.",
                                        {Connection.ConnectionString()}, &E);
  }

  std::int32_t Total = 0;
  TBytes Message;

 private:
  // A single line, shorter than a message body.
  static bool IsFragment(const TBytes& Message) {
    const TBytes line = OrvatAsciiUtils::LastLine(Message);
    return line.size() + 2 == Message.size() &&
           line.size() < static_cast<std::size_t>(OrvatAsciiUtils::BodyLength);
  }

  TBytes& Accumulator_;
  std::uint8_t* const Chunk_;
  const std::size_t Capacity_;
  bool MayStartMidLine_;
};

}  // namespace

std::int32_t TOrvatAsciiReceiver::ReadPacket(IDeviceConnection& Connection, std::uint8_t* Buffer,
                                             std::int32_t Capacity) {
  try {
    const std::size_t capacity = Capacity > 0 ? static_cast<std::size_t>(Capacity) : 0;
    TLines phase(Accumulator_, ChunkBuffer_.data(), capacity);
    ReadWithin(Connection, ReadTimeout(), phase);
    TBytes& message = phase.Message;
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
