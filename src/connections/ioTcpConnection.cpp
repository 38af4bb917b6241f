#include "connections/ioTcpConnection.h"

#include <algorithm>
#include <cstring>

#include "foundation/appExceptions.h"
#include "foundation/ioExceptions.h"

namespace probrix {

TTcpConnection::TTcpConnection(std::string TcpAddr, std::uint16_t TcpPort)
    : TcpAddr_(std::move(TcpAddr)),
      TcpPort_(TcpPort),
      ConnectionString_(TTcpConnectionStringBuilder(TcpAddr_, TcpPort_).GetConnectionString()) {}

TTcpConnection::~TTcpConnection() { CloseQuietly(); }

std::string TTcpConnection::GetDefaultUniqueName() const {
  return Format("%s[%d]", {TcpAddr_, TcpPort_});
}

std::string TTcpConnection::GetDefaultDisplayName() const {
  return Format("%s:%d", {TcpAddr_, TcpPort_});
}

std::string TTcpConnection::ConnectionString() const { return ConnectionString_; }

std::int32_t TTcpConnection::BytesToRead() {
  return IsOpen() ? Socket_->AvailableBytes() + (PendingEnd_ - PendingBegin_) : 0;
}

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
  PendingBegin_ = PendingEnd_ = 0;  // nothing of an earlier stream
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
  PendingBegin_ = PendingEnd_ = 0;
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
  std::unique_ptr<Exception> timedOut;
  const std::int32_t received = Receive(Buffer, Count, false, timedOut);
  if (timedOut) timedOut->Raise();
  return received;
}

std::int32_t TTcpConnection::ReadOrTimeOut(std::uint8_t* Buffer, std::int32_t Count, bool /*Whole*/,
                                           std::unique_ptr<Exception>& TimedOut) {
  // A stream hands over what has come; waiting for the whole count would gain nothing here.
  return Receive(Buffer, Count, false, TimedOut);
}

std::int32_t TTcpConnection::ReadAvailable(std::uint8_t* Buffer, std::int32_t Count) {
  std::unique_ptr<Exception> never;
  return Receive(Buffer, Count, true, never);
}

std::int32_t TTcpConnection::Receive(std::uint8_t* Buffer, std::int32_t Count, bool AtOnce,
                                     std::unique_ptr<Exception>& TimedOut) {
  if (!IsOpen()) {
    throw EConnectionIOError::CreateFmt("[%s] Данные не прочитаны т.к. TCP-подключение закрыто.",
                                        {ConnectionString()});
  }
  if (Count == 0) return 0;
  if (Count > 0 && PendingBegin_ < PendingEnd_) return TakePending(Buffer, Count);
  std::optional<ETimeoutSocketError> timedOut;
  std::int32_t received = 0;
  try {
    if (AtOnce) {
      received = Socket_->ReceiveAvailable(Buffer, Count);
    } else if (Count < 0) {
      received = Socket_->ReceiveOrTimeOut(Buffer, Count, timedOut);  // refused there
    } else {
      // Whatever has come, up to a buffer's worth, in one call: the rest of a reply usually
      // arrives with its start, and the next read then takes it from here without a wait.
      if (Pending_.empty()) Pending_.resize(PendingSize);
      PendingEnd_ = Socket_->ReceiveOrTimeOut(Pending_.data(), PendingSize, timedOut);
      if (PendingEnd_ > 0) received = TakePending(Buffer, Count);
    }
  } catch (const EInOutSocketError& e) {
    throw EConnectionIOError::CreateFmt("[%s] Данные не прочитаны из-за ошибки вввод-вывода.",
                                        {ConnectionString()}, &e);
  }
  // A silent device's usual end: the socket's exception goes into this one unthrown.
  if (timedOut) {
    TimedOut = std::make_unique<EReadTimeoutError>(EReadTimeoutError::CreateFmt(
        "[%s] Операция чтения данных из TCP-подключения не была завершена до истечения времени "
        "ожидания (%d ms). ",
        {ConnectionString(), ReadTimeout_}, &*timedOut));
  }
  return received;
}

std::int32_t TTcpConnection::TakePending(std::uint8_t* Buffer, std::int32_t Count) {
  const std::int32_t n = std::min(Count, PendingEnd_ - PendingBegin_);
  std::memcpy(Buffer, Pending_.data() + PendingBegin_, static_cast<std::size_t>(n));
  PendingBegin_ += n;
  if (PendingBegin_ == PendingEnd_) PendingBegin_ = PendingEnd_ = 0;
  return n;
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
