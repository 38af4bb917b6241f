#include "connections/ioTcpConnection.h"

#include "foundation/appExceptions.h"
#include "foundation/ioExceptions.h"

namespace probrix {

TTcpConnection::TTcpConnection(std::string TcpAddr, std::uint16_t TcpPort)
    : TcpAddr_(std::move(TcpAddr)), TcpPort_(TcpPort) {}

TTcpConnection::~TTcpConnection() { CloseQuietly(); }

std::string TTcpConnection::GetDefaultUniqueName() const {
  return Format("%s[%d]", {TcpAddr_, TcpPort_});
}

std::string TTcpConnection::GetDefaultDisplayName() const {
  return Format("%s:%d", {TcpAddr_, TcpPort_});
}

std::string TTcpConnection::ConnectionString() const {
  TTcpConnectionStringBuilder builder(TcpAddr_, TcpPort_);
  return builder.GetConnectionString();
}

std::int32_t TTcpConnection::BytesToRead() { return IsOpen() ? Socket_->AvailableBytes() : 0; }

std::int32_t TTcpConnection::ReadTimeout() {
  return IsOpen() ? Socket_->ReadTimeout() : ReadTimeout_;
}

void TTcpConnection::SetReadTimeout(std::int32_t Value) {
  if (IsOpen()) Socket_->SetReadTimeout(Value);
  ReadTimeout_ = Value;
}

std::int32_t TTcpConnection::WriteTimeout() {
  return IsOpen() ? Socket_->WriteTimeout() : WriteTimeout_;
}

void TTcpConnection::SetWriteTimeout(std::int32_t Value) {
  if (IsOpen()) Socket_->SetWriteTimeout(Value);
  WriteTimeout_ = Value;
}

bool TTcpConnection::IsOpen() { return Socket_ && Socket_->Connected(); }

void TTcpConnection::Open() {
  if (IsOpen()) return;
  try {
    Socket_ = CreateTcpSocket();
    Socket_->Connect(TcpAddr_, TcpPort_);
  } catch (const EAbort&) {
    CloseQuietly();  // a stop, not a failure to connect
    throw;
  } catch (const std::exception& e) {
    CloseQuietly();
    throw EConnectionOpenError::CreateFmt("[%s] Ошибка открытия TCP-подключения",
                                          {ConnectionString()}, &e);
  }
}

void TTcpConnection::Close() {
  if (!Socket_) return;
  try {
    if (Socket_->Connected()) Socket_->Close(true);
    Socket_.reset();
  } catch (const std::exception& e) {
    Socket_.reset();
    throw EConnectionCloseError::CreateFmt("[%s] Ошибка закрытия TCP-подключения",
                                           {ConnectionString()}, &e);
  }
}

void TTcpConnection::CloseQuietly() {
  try {
    Close();
  } catch (...) {
  }
}

std::int32_t TTcpConnection::Read(std::uint8_t* Buffer, std::int32_t Count) {
  return Receive(Buffer, Count, false);
}

std::int32_t TTcpConnection::ReadAvailable(std::uint8_t* Buffer, std::int32_t Count) {
  return Receive(Buffer, Count, true);
}

std::int32_t TTcpConnection::Receive(std::uint8_t* Buffer, std::int32_t Count, bool AtOnce) {
  if (!IsOpen()) {
    throw EConnectionIOError::CreateFmt("[%s] Данные не прочитаны т.к. TCP-подключение закрыто.",
                                        {ConnectionString()});
  }
  std::optional<ETimeoutSocketError> timedOut;
  std::int32_t received = 0;
  try {
    received = AtOnce ? Socket_->ReceiveAvailable(Buffer, Count)
                      : Socket_->ReceiveOrTimeOut(Buffer, Count, timedOut);
  } catch (const EInOutSocketError& e) {
    throw EConnectionIOError::CreateFmt("[%s] Данные не прочитаны из-за ошибки вввод-вывода.",
                                        {ConnectionString()}, &e);
  }
  // A silent device's usual end: the socket's exception goes into this one unthrown.
  if (timedOut) {
    throw EReadTimeoutError::CreateFmt(
        "[%s] Операция чтения данных из TCP-подключения не была завершена до истечения времени "
        "ожидания (%d ms). ",
        {ConnectionString(), ReadTimeout_}, &*timedOut);
  }
  return received;
}

void TTcpConnection::Write(const std::uint8_t* Data, std::int32_t Count) {
  if (!IsOpen()) {
    throw EConnectionIOError::CreateFmt("[%s] Данные не отправлены т.к. TCP-подключение закрыто.",
                                        {ConnectionString()});
  }
  try {
    // The socket sends the whole buffer within one deadline, or fails.
    Socket_->Send(Data, Count);
  } catch (const ETimeoutSocketError& e) {
    throw EWriteTimeoutError::CreateFmt(
        "[%s] Операция записи данных в TCP-подключение не была завершена до истечения веремени "
        "ожидания (%d ms). ",
        {ConnectionString(), WriteTimeout_}, &e);
  } catch (const EInOutSocketError& e) {
    throw EConnectionIOError::CreateFmt("[%s] Данные не отправлены из-за ошибки вввод-вывода.",
                                        {ConnectionString()}, &e);
  }
}

bool TTcpConnection::Matches(std::string_view ConnectionString) const {
  TTcpConnectionStringBuilder builder;
  builder.SetConnectionString(ConnectionString);
  return SameTextAscii(builder.TcpAddr, TcpAddr_) && builder.TcpPort == TcpPort_;
}

void TTcpConnection::ApplyConnectionString(std::string_view /*ConnectionString*/) {}

}  // namespace probrix
