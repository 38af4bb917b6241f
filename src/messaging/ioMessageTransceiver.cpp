#include "messaging/ioMessageTransceiver.h"

#include <algorithm>
#include <exception>

#include "foundation/appExceptions.h"
#include "foundation/appFinally.h"
#include "foundation/ioExceptions.h"
#include "messaging/updStrUtils.h"
#include "platform/platProcess.h"

namespace probrix {

std::uint32_t CurrentThreadIdForLog() { return platform::CurrentThreadId(); }

// --- TDeviceMessenger ----------------------------------------------------------------------

bool TDeviceMessenger::IsConnectionOrTimeoutError(const std::exception& E) const {
  // ETimeoutError covers every read and write timeout class of the tree.
  return dynamic_cast<const EConnectionOpenError*>(&E) != nullptr ||
         dynamic_cast<const EConnectionIOError*>(&E) != nullptr ||
         dynamic_cast<const ETimeoutError*>(&E) != nullptr;
}

void TDeviceMessenger::CheckConnection(const IDeviceConnection* Connection) {
  if (Connection == nullptr) {
    throw EArgumentNullError::Create(
        "[TDeviceMessenger] Не задано значение свойства \"Connection\" (Connection=null)");
  }
}

// --- TMessageSender ------------------------------------------------------------------------

void TMessageSender::WritePacket(IDeviceConnection& Connection, const std::uint8_t* Data,
                                 std::int32_t Count) {
  Stopwatch_.Restart();
  try {
    Connection.SetWriteTimeout(WriteTimeout_);
    Connection.Write(Data, Count);
  } catch (const EAbort&) {
    Stopwatch_.Stop();
    throw;  // a stop is not a failure to send
  } catch (const EWriteTimeoutError& e) {
    Stopwatch_.Stop();
    throw EWriteMessageTimeoutError::CreateFmt(
        "[%s] Отправка сообщения не была завершена до истечения таймаута ожидания записи (%d "
        "ms).",
        {Connection.ConnectionString(), WriteTimeout()}, &e);
  } catch (const EConnectionIOError& e) {
    Stopwatch_.Stop();
    throw EConnectionIOError::CreateFmt(
        "[%s] Отправка сообщения не выполнена из-за ошибки вввод-вывода.",
        {Connection.ConnectionString()}, &e);
  } catch (const std::exception& e) {
    Stopwatch_.Stop();
    throw EUnexpectedSendError::CreateFmt("[%s] Непредвиденная ошибка при отправке сообщения",
                                          {Connection.ConnectionString()}, &e);
  } catch (...) {
    Stopwatch_.Stop();
    throw EUnexpectedSendError::CreateFmt("[%s] Непредвиденная ошибка при отправке сообщения",
                                          {Connection.ConnectionString()});
  }
  Stopwatch_.Stop();
  if (!ConnectionLogger().IsKept(&Connection)) return;
  Connection.WriteLogFmt(
      TTrafficLogKind::RequestWritten, "---> (size=%d) %s (ExecutionTime=%d ms) [ThreadID: 0x%.8x]",
      {Count, HexDump(Data, Count), Stopwatch_.ElapsedMilliseconds(), CurrentThreadIdForLog()});
}

void TMessageSender::SendPacked(IDeviceConnection* Connection, const std::uint8_t* Data,
                                std::int32_t Count, const std::function<void()>& Opened) {
  CheckConnection(Connection);
  const bool logged = ConnectionLogger().IsKept(Connection);
  if (logged) {
    Connection->WriteLogFmt(TTrafficLogKind::PackedRequest,
                            "--q> (size=%d) %s (packed message) [ThreadID: 0x%.8x]",
                            {Count, HexDump(Data, Count), CurrentThreadIdForLog()});
  }
  if (Count <= 0) return;
  const auto logFailure = [&] {
    if (logged) {
      Connection->WriteLogFmt(TTrafficLogKind::Error,
                              "<err Не удалось выполнить отправку данных: %s",
                              {DescribeCurrentException()});
    }
  };
  if (!Connection->IsOpen()) {
    try {
      Connection->Open();
      Connection->WriteLogFmt(TTrafficLogKind::ConnectionOpened, "---> Connection opened [%s]",
                              {Connection->ConnectionString()});
    } catch (...) {
      logFailure();
      throw;
    }
    if (Opened) Opened();
  }
  try {
    try {
      WritePacket(*Connection, Data, Count);
    } catch (const EConnectionIOError&) {
      Connection->CloseQuietly();
      throw;
    }
  } catch (...) {
    logFailure();
    throw;
  }
}

void TMessageSender::SendPacked(IDeviceConnection* Connection, const TBytes& Message,
                                const std::function<void()>& Opened) {
  SendPacked(Connection, Message.data(), static_cast<std::int32_t>(Message.size()), Opened);
}

// --- TMessageReceiver ----------------------------------------------------------------------

namespace {

// The traffic line of a read that failed with the error Description describes.
void LogReadFailure(IDeviceConnection& Connection, const std::string& Description) {
  Connection.WriteLogFmt(TTrafficLogKind::Error, "<err Не удалось выполнить чтение данных: %s",
                         {Description});
}

// Runs one read step of a receiver: after an EConnectionIOError the connection is closed quietly
// (the next exchange opens it again); every failure is logged "<err ..." and re-thrown
// unchanged.
template <class F>
auto GuardedRead(IDeviceConnection& Connection, F&& Step) {
  const auto closing = [&] {
    try {
      return Step();
    } catch (const EConnectionIOError&) {
      Connection.CloseQuietly();
      throw;
    }
  };
  // Without a log line to write, a failure passes on without being caught and thrown again.
  if (!ConnectionLogger().IsKept(&Connection)) return closing();
  try {
    return closing();
  } catch (...) {
    LogReadFailure(Connection, DescribeCurrentException());
    throw;
  }
}

}  // namespace

std::int32_t TMessageReceiver::ReceivePacked(IDeviceConnection* Connection, std::uint8_t* Buffer,
                                             std::int32_t Capacity,
                                             std::unique_ptr<Exception>* TimedOut) {
  CheckConnection(Connection);
  Connection->WriteLogFmt(TTrafficLogKind::ReadRequested, "<--- Запрошена операция чтения данных",
                          {});
  return GuardedRead(*Connection, [&] {
    if (!Connection->IsOpen()) {
      Connection->Open();
      Connection->WriteLogFmt(TTrafficLogKind::ConnectionOpened, "--->  [%s] Connection opened",
                              {Connection->ConnectionString()});
    }
    std::int32_t count = 0;
    if (TimedOut == nullptr) {
      count = ReadPacket(*Connection, Buffer, Capacity);
    } else {
      count = ReadPacketOrTimeOut(*Connection, Buffer, Capacity, *TimedOut);
      if (*TimedOut) {
        // The line a thrown failure gets (GuardedRead).
        if (ConnectionLogger().IsKept(Connection))
          LogReadFailure(*Connection, DescribeException(TimedOut->get()));
        return 0;
      }
    }
    // A receiver reporting more than its buffer holds would make every later use of the count
    // read past the buffer.
    if (count > Capacity) {
      throw EUnexpectedReceiveError::CreateFmt(
          "[%s] Получено больше данных (%d байт), чем вмещает буфер приема (%d байт).",
          {Connection->ConnectionString(), count, Capacity});
    }
    if (ConnectionLogger().IsKept(Connection)) {
      Connection->WriteLogFmt(TTrafficLogKind::PackedResponse, "<a-- (size=%d) %s (packed message)",
                              {count, HexDump(Buffer, count)});
    }
    return count;
  });
}

void TMessageReceiver::RethrowReadFailure(IDeviceConnection& Connection,
                                          const std::exception& E) const {
  if (dynamic_cast<const ECorruptMessageFrame*>(&E) != nullptr ||
      dynamic_cast<const EAbort*>(&E) != nullptr || IsConnectionOrTimeoutError(E))
    throw;
  throw EUnexpectedReceiveError::CreateFmt("[%s] Непредвиденная ошибка при попытке чтения данных.",
                                           {Connection.ConnectionString()}, &E);
}

void TReadPhase::ReadFailed(IDeviceConnection& /*Connection*/, const Exception& E,
                            const TReadPass& /*Pass*/) {
  E.Raise();
  std::terminate();  // not reached: the compiler cannot see through the virtual Raise
}

void TReadPhase::ReadTimedOut(IDeviceConnection& Connection, const Exception& E,
                              const TReadPass& Pass) {
  if (const std::unique_ptr<Exception> own = TimeoutError(Connection, &E, Pass)) own->Raise();
  if (TranslatesReadFailures()) ReadFailed(Connection, E, Pass);
  TReadPhase::ReadFailed(Connection, E, Pass);  // not translated: E itself
}

void TMessageReceiver::ReadWithin(IDeviceConnection& Connection, std::int32_t Timeout,
                                  TReadPhase& Phase, std::int64_t SpentMs,
                                  std::unique_ptr<Exception>* TimedOut) {
  Stopwatch_.Restart();
  const TFinally stopper([this] { Stopwatch_.Stop(); });
  const bool limited = Timeout != Connection.InfiniteTimeout();
  TReadPass pass;
  pass.Timeout = Timeout;
  pass.ElapsedAtStart = SpentMs;
  pass.Remaining = Timeout;
  for (std::int32_t room = Phase.ReadRoom(); room > 0; room = Phase.ReadRoom()) {
    if (limited) {
      pass.ElapsedAtStart = SpentMs + Stopwatch_.ElapsedMilliseconds();
      pass.Remaining = Timeout - pass.ElapsedAtStart;
      if (pass.Remaining <= 0) {
        if (TimedOut != nullptr && (*TimedOut = Phase.TimeoutError(Connection, nullptr, pass)))
          return;
        Phase.Expired(Connection, pass);
      }
    }
    std::uint8_t* const at = Phase.ReadPosition();
    std::int32_t n = 0;
    std::unique_ptr<Exception> timedOut;
    const auto read = [&] {
      Connection.SetReadTimeout(static_cast<std::int32_t>(pass.Remaining));
      Phase.BeforeRead(Connection);
      n = Connection.ReadOrTimeOut(at, room, Phase.NeedsWhole(Connection), timedOut);
      if (timedOut) return;
      // A connection returns 1..room bytes or throws; any other count must not be taken, or
      // the next read would land outside the buffer (or the loop never end).
      if (n < 1 || n > room) {
        throw EUnexpectedReceiveError::CreateFmt(
            "[%s] Недопустимый результат операции чтения: запрошено байт: %d, получено байт: %d",
            {Connection.ConnectionString(), room, n});
      }
    };
    if (!Phase.TranslatesReadFailures()) {
      read();
    } else {
      try {
        read();
      } catch (const EReadTimeoutError& e) {
        Phase.ReadFailed(Connection, e, pass);
      } catch (const EConnectionIOError& e) {
        Phase.ReadFailed(Connection, e, pass);
      }
    }
    if (timedOut) {
      if (TimedOut != nullptr && (*TimedOut = Phase.TimeoutError(Connection, timedOut.get(), pass)))
        return;
      Phase.ReadTimedOut(Connection, *timedOut, pass);
    }
    pass.Elapsed = SpentMs + Stopwatch_.ElapsedMilliseconds();
    if (Phase.Take(Connection, n, pass)) return;
  }
}

void TMessageReceiver::DiscardWaiting(IDeviceConnection& Connection, std::int32_t SettleMs) {
  GuardedRead(Connection, [&] {
    std::int32_t count = 0;
    // One buffer's worth at most: a device that floods the line cannot hold the exchange up.
    const auto take = [&](std::int32_t N) {
      const std::int32_t room = BufferSize - count;
      count += N < room ? N : room;
    };
    if (SettleMs > 0) {
      // The far end of a fresh connection speaks first, if at all, within SettleMs.
      Stopwatch_.Restart();
      const TFinally stopper([this] { Stopwatch_.Stop(); });
      for (std::int64_t left = SettleMs; left > 0 && count < BufferSize;
           left = SettleMs - Stopwatch_.ElapsedMilliseconds()) {
        Connection.SetReadTimeout(static_cast<std::int32_t>(left));
        std::int32_t n = 0;
        try {
          n = Connection.Read(Buffer_.data() + count, BufferSize - count);
        } catch (const EReadTimeoutError&) {
          break;  // quiet
        }
        if (n <= 0) break;
        take(n);
      }
    }
    while (count < BufferSize) {
      const std::int32_t n = Connection.ReadAvailable(Buffer_.data() + count, BufferSize - count);
      if (n <= 0) break;
      take(n);
    }
    if (count > 0 && ConnectionLogger().IsKept(&Connection)) {
      Connection.WriteLogFmt(
          TTrafficLogKind::Discarded,
          "<del (size=%d) %s (данные, полученные до отправки запроса, отброшены)",
          {count, HexDump(Buffer_.data(), count)});
    }
  });
}

bool TMessageReceiver::SkipEcho(IDeviceConnection& Connection, const TBytes& Request,
                                const std::uint8_t* Packet, std::int32_t Count) {
  if (Count <= 0 || static_cast<std::size_t>(Count) != Request.size() ||
      !std::equal(Request.begin(), Request.end(), Packet))
    return false;
  LogSkipped(Connection, Packet, Count, "эхо запроса пропущено");
  return true;
}

void TMessageReceiver::LogSkipped(IDeviceConnection& Connection, const std::uint8_t* Packet,
                                  std::int32_t Count, const std::string& Why) {
  if (!ConnectionLogger().IsKept(&Connection)) return;
  Connection.WriteLogFmt(TTrafficLogKind::Skipped, "<skp (size=%d) %s (%s)",
                         {Count, HexDump(Packet, Count), Why});
}

TBytes TMessageReceiver::ReceivePacked(IDeviceConnection* Connection,
                                       std::unique_ptr<Exception>* TimedOut) {
  const std::int32_t count = ReceivePacked(Connection, Buffer_.data(), BufferSize, TimedOut);
  if (count <= 0) return {};
  return TBytes(Buffer_.data(), static_cast<std::size_t>(count));
}

// --- TMessageTransceiver -------------------------------------------------------------------

TMessageTransceiver::TMessageTransceiver(std::shared_ptr<IDeviceConnection> Connection)
    : Connection_(std::move(Connection)) {
  ConnectionLogger().AddListener(&Listener_);
}

TMessageTransceiver::~TMessageTransceiver() {
  Sender_.reset();
  Receiver_.reset();
  ConnectionLogger().RemoveListener(&Listener_);
}

TMessageSender& TMessageTransceiver::Sender() {
  if (!Sender_) Sender_ = CreateSender();
  return *Sender_;
}

TMessageReceiver& TMessageTransceiver::Receiver() {
  if (!Receiver_) Receiver_ = CreateReceiver();
  return *Receiver_;
}

void TMessageTransceiver::CheckConnection() const {
  if (!Connection_) {
    throw EArgumentNullError::Create(
        "[TMessageTransceiver] Не задано значение свойства \"Connection\" (Connection=null)");
  }
}

void TMessageTransceiver::FinishOperation() noexcept {
  if (AutoClose_) {
    try {
      Connection_->CloseQuietly();
    } catch (...) {
      // CloseQuietly swallows by contract; the lock must be released regardless.
    }
  }
  Connection_->Unlock();
}

void TMessageTransceiver::SendLocked(const TBytes& Message, const std::function<void()>& Opened) {
  TMessageSender& sender = Sender();
  sender.SetWriteTimeout(WriteTimeout_);
  sender.SendPacked(Connection_.get(), Message, Opened);
}

TBytes TMessageTransceiver::ReceiveLocked(std::unique_ptr<Exception>* TimedOut) {
  TMessageReceiver& receiver = Receiver();
  receiver.SetStartOfPacketReadTimeout(StartOfPacketReadTimeout_);
  receiver.SetReadTimeout(ReadTimeout_);
  return receiver.ReceivePacked(Connection_.get(), TimedOut);
}

void TMessageTransceiver::Send(const TBytes& Message) {
  CheckConnection();
  Connection_->Lock();
  const TFinally finish([this] { FinishOperation(); });
  SendLocked(Message);
}

TBytes TMessageTransceiver::Receive() {
  CheckConnection();
  Connection_->Lock();
  const TFinally finish([this] { FinishOperation(); });
  return ReceiveLocked();
}

TBytes TMessageTransceiver::Exchange(const TBytes& Request) {
  std::unique_ptr<Exception> timedOut;
  TBytes reply = ExchangeOrTimeOut(Request, timedOut);
  if (timedOut) timedOut->Raise();
  return reply;
}

TBytes TMessageTransceiver::ExchangeOrTimeOut(const TBytes& Request,
                                              std::unique_ptr<Exception>& TimedOut) {
  CheckConnection();
  Connection_->Lock();
  const TFinally finish([this] { FinishOperation(); });
  // A late reply to an earlier request, noise, bytes queued before the port opened or a
  // server's greeting would otherwise be read as this reply.
  TMessageReceiver& receiver = Receiver();
  if (Connection_->IsOpen()) receiver.DiscardWaiting(*Connection_);
  // The inner steps do not apply AutoClose: closing between the request and its response
  // would lose the response.
  SendLocked(Request,
             [&] { receiver.DiscardWaiting(*Connection_, Connection_->GreetingTimeout()); });
  receiver.ExpectReplyTo(Request);
  return ReceiveLocked(&TimedOut);
}

bool TMessageTransceiver::KeepsLinesOf(const IDeviceConnection* Connection) const {
  return Connection != nullptr && Connection == Connection_.get() && Log() != nullptr;
}

void TMessageTransceiver::OnLogLine(IDeviceConnection* Connection, std::uint8_t /*Kind*/,
                                    std::string_view Text, TDateTime Time) {
  if (Connection == nullptr || Connection != Connection_.get()) return;
  if (ILogStrings* log = Log()) log->Add(Text, Time);
}

}  // namespace probrix
