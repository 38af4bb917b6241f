#include "messaging/ioMessageTransceiver.h"

#include "foundation/appExceptions.h"
#include "foundation/ioExceptions.h"
#include "messaging/updStrUtils.h"
#include "platform/platformThreadId.h"

namespace probrix {

std::uint32_t CurrentThreadIdForLog() { return platform::CurrentOsThreadId(); }

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
  Stopwatch.Restart();
  try {
    Connection.SetWriteTimeout(WriteTimeout);
    Connection.Write(Data, Count);
  } catch (const EWriteTimeoutError& E) {
    Stopwatch.Stop();
    throw EWriteMessageTimeoutError::CreateFmt(
        "[%s] Отправка сообщения не была завершена до истечения таймаута ожидания записи (%d "
        "ms).",
        {Connection.ConnectionString(), WriteTimeout}, &E);
  } catch (const EConnectionIOError& E) {
    Stopwatch.Stop();
    throw EConnectionIOError::CreateFmt(
        "[%s] Отправка сообщения не выполнена из-за ошибки вввод-вывода.",
        {Connection.ConnectionString()}, &E);
  } catch (const std::exception& E) {
    Stopwatch.Stop();
    throw EUnexpectedSendError::CreateFmt("[%s] Непредвиденная ошибка при отправке сообщения",
                                          {Connection.ConnectionString()}, &E);
  } catch (...) {
    Stopwatch.Stop();
    throw EUnexpectedSendError::CreateFmt("[%s] Непредвиденная ошибка при отправке сообщения",
                                          {Connection.ConnectionString()});
  }
  Stopwatch.Stop();
  Connection.WriteLogFmt(
      TTrafficLogKind::RequestWritten, "---> (size=%d) %s (ExecutionTime=%d ms) [ThreadID: 0x%.8x]",
      {Count, HexDump(Data, Count), Stopwatch.ElapsedMilliseconds(), CurrentThreadIdForLog()});
}

void TMessageSender::SendPacked(IDeviceConnection* Connection, const std::uint8_t* Data,
                                std::int32_t Count) {
  CheckConnection(Connection);
  Connection->WriteLogFmt(TTrafficLogKind::PackedRequest,
                          "--q> (size=%d) %s (packed message) [ThreadID: 0x%.8x]",
                          {Count, HexDump(Data, Count), CurrentThreadIdForLog()});
  if (Count <= 0) return;
  try {
    if (!Connection->IsOpen()) {
      Connection->Open();
      Connection->WriteLogFmt(TTrafficLogKind::ConnectionOpened, "---> Connection opened [%s]",
                              {Connection->ConnectionString()});
    }
    try {
      WritePacket(*Connection, Data, Count);
    } catch (const EConnectionIOError&) {
      Connection->CloseQuietly();
      throw;
    }
  } catch (...) {
    Connection->WriteLogFmt(TTrafficLogKind::Error, "<err Не удалось выполнить отправку данных: %s",
                            {DescribeCurrentException()});
    throw;
  }
}

void TMessageSender::SendPacked(IDeviceConnection* Connection, const TBytes& Message) {
  SendPacked(Connection, Message.data(), static_cast<std::int32_t>(Message.size()));
}

// --- TMessageReceiver ----------------------------------------------------------------------

std::int32_t TMessageReceiver::ReceivePacked(IDeviceConnection* Connection, std::uint8_t* Buffer,
                                             std::int32_t Capacity) {
  CheckConnection(Connection);
  Connection->WriteLogFmt(TTrafficLogKind::ReadRequested, "<--- Запрошена операция чтения данных",
                          {});
  std::int32_t count = 0;
  try {
    if (!Connection->IsOpen()) {
      Connection->Open();
      Connection->WriteLogFmt(TTrafficLogKind::ConnectionOpened, "--->  [%s] Connection opened",
                              {Connection->ConnectionString()});
    }
    try {
      count = ReadPacket(*Connection, Buffer, Capacity);
    } catch (const EConnectionIOError&) {
      Connection->CloseQuietly();
      throw;
    }
    // A receiver reporting more than its buffer holds would make every later use of the count
    // read past the buffer.
    if (count > Capacity) {
      throw EUnexpectedReceiveError::CreateFmt(
          "[%s] Получено больше данных (%d байт), чем вмещает буфер приема (%d байт).",
          {Connection->ConnectionString(), count, Capacity});
    }
    Connection->WriteLogFmt(TTrafficLogKind::PackedResponse, "<a-- (size=%d) %s (packed message)",
                            {count, HexDump(Buffer, count)});
  } catch (...) {
    Connection->WriteLogFmt(TTrafficLogKind::Error, "<err Не удалось выполнить чтение данных: %s",
                            {DescribeCurrentException()});
    throw;
  }
  return count;
}

void TMessageReceiver::RethrowReadFailure(IDeviceConnection& Connection,
                                          const std::exception& E) const {
  if (dynamic_cast<const ECorruptMessageFrame*>(&E) != nullptr || IsConnectionOrTimeoutError(E))
    throw;
  throw EUnexpectedReceiveError::CreateFmt("[%s] Непредвиденная ошибка при попытке чтения данных.",
                                           {Connection.ConnectionString()}, &E);
}

TBytes TMessageReceiver::ReceivePacked(IDeviceConnection* Connection) {
  const std::int32_t count = ReceivePacked(Connection, Buffer.data(), BufferSize);
  if (count <= 0) return {};
  return TBytes(Buffer.data(), static_cast<std::size_t>(count));
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

void TMessageTransceiver::SendLocked(const TBytes& Message) {
  TMessageSender& sender = Sender();
  sender.WriteTimeout = WriteTimeout_;
  sender.SendPacked(Connection_.get(), Message);
}

TBytes TMessageTransceiver::ReceiveLocked() {
  TMessageReceiver& receiver = Receiver();
  receiver.StartOfPacketReadTimeout = StartOfPacketReadTimeout_;
  receiver.ReadTimeout = ReadTimeout_;
  return receiver.ReceivePacked(Connection_.get());
}

namespace {

// Runs the end of an operation (AutoClose, Unlock) on every exit.
template <class F>
class TFinally {
 public:
  explicit TFinally(F Action) : Action_(std::move(Action)) {}
  ~TFinally() { Action_(); }
  TFinally(const TFinally&) = delete;
  TFinally& operator=(const TFinally&) = delete;

 private:
  F Action_;
};

}  // namespace

void TMessageTransceiver::Send(const TBytes& Message) {
  CheckConnection();
  Connection_->Lock();
  TFinally finish([this] { FinishOperation(); });
  SendLocked(Message);
}

TBytes TMessageTransceiver::Receive() {
  CheckConnection();
  Connection_->Lock();
  TFinally finish([this] { FinishOperation(); });
  return ReceiveLocked();
}

TBytes TMessageTransceiver::Exchange(const TBytes& Request) {
  CheckConnection();
  Connection_->Lock();
  TFinally finish([this] { FinishOperation(); });
  // The inner steps do not apply AutoClose: closing between the request and its response
  // would lose the response.
  SendLocked(Request);
  return ReceiveLocked();
}

void TMessageTransceiver::OnLogLine(IDeviceConnection* Connection, std::uint8_t /*Kind*/,
                                    std::string_view Text, TDateTime Time) {
  if (Connection == nullptr || Connection != Connection_.get()) return;
  if (ILogStrings* log = Log()) log->Add(Text, Time);
}

}  // namespace probrix
