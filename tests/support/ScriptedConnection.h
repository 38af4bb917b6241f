#pragma once

// A device connection for tests whose reads follow a prepared script.
//
// The script is a queue of read steps. Each step becomes available Delay after the moment a
// Read starts waiting for it (time waited by earlier reads that timed out counts), then either
// delivers its bytes or throws its exception. A chunk larger than the Count of a Read is
// delivered over several reads; the rest of a chunk is available at once.
//
// Like a real connection: Read waits at most ReadTimeout (unless it equals InfiniteTimeout)
// and then throws EReadTimeoutError; Read and Write on a closed connection throw
// EConnectionIOError; messages start with "[<ConnectionString>]". With an empty script and an
// infinite timeout a Read waits for a step to be added (from another thread), at most
// EmptyScriptLimit, and then throws EReadTimeoutError so that a wrong test cannot hang.
//
// Writes, opens, closes and every ReadTimeout/WriteTimeout set are recorded. Open and Write
// can be made to fail once each with a prepared exception. All operations are thread-safe.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "connections/ioDeviceConnection.h"
#include "foundation/appExceptions.h"
#include "foundation/appTypes.h"

namespace probrix::test {

class TScriptedConnection : public TDeviceConnection {
 public:
  // Serial flavour: PortName=Name;BaudRate=9600;DtrEnable=1, InfiniteTimeout -1.
  // TCP flavour: TcpAddr=Name;TcpPort=502, InfiniteTimeout 0.
  explicit TScriptedConnection(std::string Name = "SCRIPT",
                               TConnectionType Type = TConnectionType::ctSerialPort);
  ~TScriptedConnection() override;

  static std::shared_ptr<TScriptedConnection> New(
      std::string Name = "SCRIPT", TConnectionType Type = TConnectionType::ctSerialPort) {
    return std::make_shared<TScriptedConnection>(std::move(Name), Type);
  }

  // --- the script ---
  void AddChunk(const TBytes& Data, std::chrono::milliseconds Delay = std::chrono::milliseconds(0));
  // Bytes that have already arrived: ReadAvailable takes them, and a Read takes them before
  // any step.
  void AddWaiting(const TBytes& Data);
  // The step throws a copy of E (its class kept) when it comes due.
  void AddReadFailure(const Exception& E,
                      std::chrono::milliseconds Delay = std::chrono::milliseconds(0));
  // The next Open / Write throws a copy of E once (Open leaves the connection closed).
  void FailNextOpen(const Exception& E);
  void FailNextWrite(const Exception& E);
  // Makes every Write block for this long first (the write timeout is not applied).
  void SetWriteDelay(std::chrono::milliseconds Delay);
  std::size_t PendingSteps() const;

  // --- what happened ---
  std::vector<TBytes> Writes() const;
  TBytes WrittenBytes() const;                            // all writes concatenated
  int OpenCount() const;                                  // successful opens
  int CloseCount() const;                                 // closes of an open connection
  int ReadCount() const;                                  // Read calls
  std::vector<std::int32_t> ReadTimeoutHistory() const;   // every SetReadTimeout value
  std::vector<std::int32_t> WriteTimeoutHistory() const;  // every SetWriteTimeout value
  std::vector<std::int32_t> ReadCountHistory() const;     // the Count of every Read call
  // Everything in order: "open", "close", "write:<hex dump>", "read:<hex dump>" (a successful
  // read, at its return), "read-failed", "write-failed", "open-failed".
  std::vector<std::string> Events() const;

  std::chrono::milliseconds EmptyScriptLimit{2000};

  // --- IDeviceConnection ---
  std::string ConnectionString() const override;
  std::int32_t BytesToRead() override;
  std::int32_t ReadTimeout() override;
  void SetReadTimeout(std::int32_t Value) override;
  std::int32_t WriteTimeout() override;
  void SetWriteTimeout(std::int32_t Value) override;
  std::int32_t InfiniteTimeout() const override;
  TConnectionType ConnectionType() const override { return Type_; }
  bool IsOpen() override;
  void Open() override;
  void Close() override;
  void CloseQuietly() override;
  void Write(const std::uint8_t* Data, std::int32_t Count) override;
  std::int32_t Read(std::uint8_t* Buffer, std::int32_t Count) override;
  // The bytes of AddWaiting (scripted steps arrive only while a Read waits for them), without
  // waiting; EConnectionIOError while closed, as Read.
  std::int32_t ReadAvailable(std::uint8_t* Buffer, std::int32_t Count) override;
  bool Matches(std::string_view ConnectionString) const override;
  void ApplyConnectionString(std::string_view ConnectionString) override;

 protected:
  std::string GetDefaultUniqueName() const override { return Name_; }
  std::string GetDefaultDisplayName() const override;

 private:
  // Under the lock: moves up to Count bytes of Waiting_ into Buffer.
  std::int32_t TakeWaiting(std::uint8_t* Buffer, std::int32_t Count);

  struct TStep {
    TBytes Data;
    std::unique_ptr<Exception> Failure;
    std::chrono::milliseconds Remaining{0};
  };

  const std::string Name_;
  const TConnectionType Type_;

  mutable std::mutex Mutex_;
  std::condition_variable Changed_;
  std::deque<TStep> Steps_;
  TBytes Waiting_;
  std::unique_ptr<Exception> OpenFailure_;
  std::unique_ptr<Exception> WriteFailure_;
  std::chrono::milliseconds WriteDelay_{0};
  bool Open_ = false;
  std::int32_t ReadTimeout_ = 0;
  std::int32_t WriteTimeout_ = 0;
  std::vector<TBytes> Writes_;
  int OpenCount_ = 0;
  int CloseCount_ = 0;
  int ReadCount_ = 0;
  std::vector<std::int32_t> ReadTimeouts_;
  std::vector<std::int32_t> WriteTimeouts_;
  std::vector<std::int32_t> ReadCounts_;
  std::vector<std::string> Events_;
};

}  // namespace probrix::test
