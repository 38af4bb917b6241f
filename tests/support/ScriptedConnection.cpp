#include "support/ScriptedConnection.h"

#include <algorithm>
#include <thread>

#include "foundation/ioExceptions.h"
#include "messaging/updStrUtils.h"

namespace probrix::test {

namespace {
constexpr std::uint32_t SerialBaudRate = 9600;
constexpr std::uint16_t ModbusTcpPort = 502;
using Clock = std::chrono::steady_clock;
}  // namespace

TScriptedConnection::TScriptedConnection(std::string Name, TConnectionType Type)
    : Name_(std::move(Name)), Type_(Type) {}

TScriptedConnection::~TScriptedConnection() = default;

void TScriptedConnection::AddChunk(const TBytes& Data, std::chrono::milliseconds Delay) {
  std::lock_guard<std::mutex> guard(Mutex_);
  TStep step;
  step.Data = Data;
  step.Remaining = Delay;
  Steps_.push_back(std::move(step));
  Changed_.notify_all();
}

void TScriptedConnection::AddReadFailure(const Exception& E, std::chrono::milliseconds Delay) {
  std::lock_guard<std::mutex> guard(Mutex_);
  TStep step;
  step.Failure = E.Clone();
  step.Remaining = Delay;
  Steps_.push_back(std::move(step));
  Changed_.notify_all();
}

void TScriptedConnection::FailNextOpen(const Exception& E) {
  std::lock_guard<std::mutex> guard(Mutex_);
  OpenFailure_ = E.Clone();
}

void TScriptedConnection::FailNextWrite(const Exception& E) {
  std::lock_guard<std::mutex> guard(Mutex_);
  WriteFailure_ = E.Clone();
}

void TScriptedConnection::SetWriteDelay(std::chrono::milliseconds Delay) {
  std::lock_guard<std::mutex> guard(Mutex_);
  WriteDelay_ = Delay;
}

std::size_t TScriptedConnection::PendingSteps() const {
  std::lock_guard<std::mutex> guard(Mutex_);
  return Steps_.size();
}

std::vector<TBytes> TScriptedConnection::Writes() const {
  std::lock_guard<std::mutex> guard(Mutex_);
  return Writes_;
}

TBytes TScriptedConnection::WrittenBytes() const {
  std::lock_guard<std::mutex> guard(Mutex_);
  TBytes all;
  for (const TBytes& w : Writes_) all += w;
  return all;
}

int TScriptedConnection::OpenCount() const {
  std::lock_guard<std::mutex> guard(Mutex_);
  return OpenCount_;
}

int TScriptedConnection::CloseCount() const {
  std::lock_guard<std::mutex> guard(Mutex_);
  return CloseCount_;
}

int TScriptedConnection::ReadCount() const {
  std::lock_guard<std::mutex> guard(Mutex_);
  return ReadCount_;
}

std::vector<std::int32_t> TScriptedConnection::ReadTimeoutHistory() const {
  std::lock_guard<std::mutex> guard(Mutex_);
  return ReadTimeouts_;
}

std::vector<std::int32_t> TScriptedConnection::WriteTimeoutHistory() const {
  std::lock_guard<std::mutex> guard(Mutex_);
  return WriteTimeouts_;
}

std::vector<std::int32_t> TScriptedConnection::ReadCountHistory() const {
  std::lock_guard<std::mutex> guard(Mutex_);
  return ReadCounts_;
}

std::vector<std::string> TScriptedConnection::Events() const {
  std::lock_guard<std::mutex> guard(Mutex_);
  return Events_;
}

std::string TScriptedConnection::ConnectionString() const {
  if (Type_ == TConnectionType::ctTcp) {
    return TTcpConnectionStringBuilder(Name_, ModbusTcpPort).GetConnectionString();
  }
  return TSerialPortConnectionStringBuilder(Name_, true, SerialBaudRate).GetConnectionString();
}

std::string TScriptedConnection::GetDefaultDisplayName() const {
  return Format("%s:%d", {Name_, Type_ == TConnectionType::ctTcp ? ModbusTcpPort : SerialBaudRate});
}

std::int32_t TScriptedConnection::BytesToRead() {
  std::lock_guard<std::mutex> guard(Mutex_);
  if (Steps_.empty() || Steps_.front().Failure || Steps_.front().Remaining.count() > 0) return 0;
  return static_cast<std::int32_t>(Steps_.front().Data.size());
}

std::int32_t TScriptedConnection::ReadTimeout() {
  std::lock_guard<std::mutex> guard(Mutex_);
  return ReadTimeout_;
}

void TScriptedConnection::SetReadTimeout(std::int32_t Value) {
  std::lock_guard<std::mutex> guard(Mutex_);
  ReadTimeout_ = Value;
  ReadTimeouts_.push_back(Value);
}

std::int32_t TScriptedConnection::WriteTimeout() {
  std::lock_guard<std::mutex> guard(Mutex_);
  return WriteTimeout_;
}

void TScriptedConnection::SetWriteTimeout(std::int32_t Value) {
  std::lock_guard<std::mutex> guard(Mutex_);
  WriteTimeout_ = Value;
  WriteTimeouts_.push_back(Value);
}

std::int32_t TScriptedConnection::InfiniteTimeout() const {
  return Type_ == TConnectionType::ctTcp ? 0 : -1;
}

bool TScriptedConnection::IsOpen() {
  std::lock_guard<std::mutex> guard(Mutex_);
  return Open_;
}

void TScriptedConnection::Open() {
  std::lock_guard<std::mutex> guard(Mutex_);
  if (Open_) return;
  if (OpenFailure_) {
    std::unique_ptr<Exception> failure = std::move(OpenFailure_);
    Events_.emplace_back("open-failed");
    failure->Raise();
  }
  Open_ = true;
  ++OpenCount_;
  Events_.emplace_back("open");
}

void TScriptedConnection::Close() {
  std::lock_guard<std::mutex> guard(Mutex_);
  if (!Open_) return;
  Open_ = false;
  ++CloseCount_;
  Events_.emplace_back("close");
}

void TScriptedConnection::CloseQuietly() {
  try {
    Close();
  } catch (...) {
  }
}

void TScriptedConnection::Write(const std::uint8_t* Data, std::int32_t Count) {
  std::chrono::milliseconds delay;
  {
    std::lock_guard<std::mutex> guard(Mutex_);
    delay = WriteDelay_;
  }
  if (delay.count() > 0) std::this_thread::sleep_for(delay);
  std::lock_guard<std::mutex> guard(Mutex_);
  if (!Open_) {
    Events_.emplace_back("write-failed");
    throw EConnectionIOError::CreateFmt("[%s] Данные не отправлены т.к. подключение закрыто.",
                                        {ConnectionString()});
  }
  if (WriteFailure_) {
    std::unique_ptr<Exception> failure = std::move(WriteFailure_);
    Events_.emplace_back("write-failed");
    failure->Raise();
  }
  if (Count > 0 && Data != nullptr) Writes_.emplace_back(Data, static_cast<std::size_t>(Count));
  Events_.push_back("write:" + HexDump(Data, Count));
}

void TScriptedConnection::AddWaiting(const TBytes& Data) {
  std::lock_guard<std::mutex> guard(Mutex_);
  Waiting_ += Data;
}

std::int32_t TScriptedConnection::ReadAvailable(std::uint8_t* Buffer, std::int32_t Count) {
  std::lock_guard<std::mutex> guard(Mutex_);
  if (!Open_) {
    throw EConnectionIOError::CreateFmt("[%s] Данные не прочитаны т.к. подключение закрыто.",
                                        {ConnectionString()});
  }
  return TakeWaiting(Buffer, Count);
}

std::int32_t TScriptedConnection::TakeWaiting(std::uint8_t* Buffer, std::int32_t Count) {
  if (Count <= 0 || Buffer == nullptr) return 0;
  const std::size_t n = std::min<std::size_t>(Waiting_.size(), static_cast<std::size_t>(Count));
  std::copy_n(Waiting_.data(), n, Buffer);
  Waiting_.erase(0, n);
  if (n > 0) Events_.push_back("read:" + HexDump(Buffer, static_cast<int>(n)));
  return static_cast<std::int32_t>(n);
}

std::int32_t TScriptedConnection::Read(std::uint8_t* Buffer, std::int32_t Count) {
  std::unique_lock<std::mutex> lock(Mutex_);
  ++ReadCount_;
  ReadCounts_.push_back(Count);
  if (!Open_) {
    Events_.emplace_back("read-failed");
    throw EConnectionIOError::CreateFmt("[%s] Данные не прочитаны т.к. подключение закрыто.",
                                        {ConnectionString()});
  }
  if (Count <= 0 || Buffer == nullptr) return 0;
  if (const std::int32_t n = TakeWaiting(Buffer, Count); n > 0) return n;

  const std::int32_t timeout = ReadTimeout_;
  const bool infinite = timeout == InfiniteTimeout();
  Clock::time_point waitStart = Clock::now();
  const Clock::time_point deadline =
      waitStart + (infinite ? EmptyScriptLimit : std::chrono::milliseconds(std::max(timeout, 0)));
  auto throwTimeout = [&] {
    Events_.emplace_back("read-failed");
    throw EReadTimeoutError::CreateFmt(
        "[%s] Операция чтения данных не была завершена до истечения времени ожидания (%d ms).",
        {ConnectionString(), timeout});
  };

  for (;;) {
    if (Steps_.empty()) {
      if (!Changed_.wait_until(lock, deadline, [this] { return !Steps_.empty(); })) {
        throwTimeout();
      }
      waitStart = Clock::now();  // the new step's delay counts from now
      continue;
    }
    TStep& head = Steps_.front();
    const Clock::time_point due = waitStart + head.Remaining;
    // With an infinite timeout a scripted step is always awaited, however late it is due.
    if (!infinite && due > deadline) {
      Changed_.wait_until(lock, deadline, [] { return false; });
      Steps_.front().Remaining -=
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - waitStart);
      if (Steps_.front().Remaining.count() < 0) Steps_.front().Remaining = {};
      throwTimeout();
    }
    Changed_.wait_until(lock, due, [] { return false; });
    TStep& ready = Steps_.front();
    if (ready.Failure) {
      std::unique_ptr<Exception> failure = std::move(ready.Failure);
      Steps_.pop_front();
      Events_.emplace_back("read-failed");
      failure->Raise();
    }
    const std::size_t n = std::min<std::size_t>(ready.Data.size(), static_cast<std::size_t>(Count));
    std::copy_n(ready.Data.data(), n, Buffer);
    if (n < ready.Data.size()) {
      ready.Data.erase(0, n);
      ready.Remaining = {};
    } else {
      Steps_.pop_front();
    }
    Events_.push_back("read:" + HexDump(Buffer, static_cast<int>(n)));
    return static_cast<std::int32_t>(n);
  }
}

bool TScriptedConnection::Matches(std::string_view ConnectionString) const {
  if (Type_ == TConnectionType::ctTcp) {
    TTcpConnectionStringBuilder builder;
    builder.SetConnectionString(ConnectionString);
    return SameTextAscii(builder.TcpAddr, Name_) && builder.TcpPort == ModbusTcpPort;
  }
  TSerialPortConnectionStringBuilder builder;
  builder.SetConnectionString(ConnectionString);
  return SameTextAscii(builder.PortName, Name_);
}

void TScriptedConnection::ApplyConnectionString(std::string_view /*ConnectionString*/) {}

}  // namespace probrix::test
