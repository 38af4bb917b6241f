#pragma once

// The protocol-neutral request/response framework: a sender writes one framed packet, a
// receiver reads bytes until it holds one framed packet, and a transceiver combines the two
// under the connection's lock and forwards its connection's traffic lines to a search log.
//
// Protocol receivers subclass TMessageReceiver and implement ReadPacket. Inside ReadPacket
// they use:
//   - StartOfPacketReadTimeout / ReadTimeout: the budgets for the start of a packet and for
//     its rest (copied from the transceiver at every receive); when a budget equals
//     Connection.InfiniteTimeout() it is passed to the connection unchanged and no budget
//     arithmetic is done;
//   - Stopwatch: the messenger's stopwatch, for elapsed milliseconds of the receive;
//   - Connection.SetReadTimeout before each Connection.Read, and Connection.WriteLogFmt with
//     the TTrafficLogKind values for the protocol's trace lines;
//   - IsConnectionOrTimeoutError to decide whether a failure passes through unchanged.
// ReadPacket must never touch Buffer outside [0, Capacity): the 8192-byte limit is binding.

#include <array>
#include <atomic>
#include <cstdint>
#include <exception>
#include <memory>
#include <string_view>

#include "connections/ioDeviceConnection.h"
#include "foundation/appClasses.h"
#include "foundation/appTypes.h"
#include "foundation/utilityStopwatch.h"
#include "search/uSearchLog.h"

namespace probrix {

// The kind byte of each traffic log line.
struct TTrafficLogKind {
  static constexpr std::uint8_t ConnectionOpened = 6;  // "---> Connection opened [%s]" and
                                                       // "--->  [%s] Connection opened"
  static constexpr std::uint8_t PackedRequest = 9;     // "--q>"
  static constexpr std::uint8_t RequestWritten = 10;   // "--->"
  static constexpr std::uint8_t ReadRequested = 11;  // "<--- Запрошена операция чтения данных"
  static constexpr std::uint8_t PackedResponse = 12;  // "<a--"
  static constexpr std::uint8_t ReadStep = 13;        // "<trd", "<rd-", OrvatASCII "<raw"
  static constexpr std::uint8_t Check = 14;           // "<chk"
  static constexpr std::uint8_t RawRead = 15;         // "<raw", "<acc"
  static constexpr std::uint8_t PacketReceived = 16;  // "<---" with the wait times
  static constexpr std::uint8_t Error = 17;           // "<err"
};

// The operating system's identifier of the calling thread, for the "[ThreadID: 0x%.8x]" parts.
std::uint32_t CurrentThreadIdForLog();

// The common base of senders and receivers.
class TDeviceMessenger {
 public:
  // The largest packet that can be received.
  static constexpr std::int32_t BufferSize = 8192;

  TDeviceMessenger() = default;
  virtual ~TDeviceMessenger() = default;
  TDeviceMessenger(const TDeviceMessenger&) = delete;
  TDeviceMessenger& operator=(const TDeviceMessenger&) = delete;

  /* slot 0 */
  // True for EConnectionOpenError, EConnectionIOError, ETimeoutError and their descendants
  // (this covers every read/write timeout class).
  virtual bool IsConnectionOrTimeoutError(const std::exception& E) const;

  // Throws EArgumentNullError "[TDeviceMessenger] Не задано значение свойства ..." when null.
  static void CheckConnection(const IDeviceConnection* Connection);

 protected:
  // Measures one write or one receive.
  TStopwatch Stopwatch;
  // Receivers read every packet into it (ReceivePacked without a buffer).
  std::array<std::uint8_t, BufferSize> Buffer{};
};

class TMessageSender : public TDeviceMessenger {
 public:
  std::int32_t WriteTimeout = 500;

  // Logs "--q>", opens the connection on demand (logging "---> Connection opened [%s]"), then
  // WritePacket. Count <= 0 sends nothing and opens nothing. An EConnectionIOError closes the
  // connection quietly; every failure is logged "<err ..." and re-thrown unchanged.
  void SendPacked(IDeviceConnection* Connection, const std::uint8_t* Data, std::int32_t Count);
  void SendPacked(IDeviceConnection* Connection, const TBytes& Message);

  /* slot 2 */
  // Sets the connection's WriteTimeout, writes, logs "--->". Failures are wrapped:
  // EWriteTimeoutError -> EWriteMessageTimeoutError, EConnectionIOError -> EConnectionIOError,
  // anything else -> EUnexpectedSendError (each with the caught exception as inner).
  virtual void WritePacket(IDeviceConnection& Connection, const std::uint8_t* Data,
                           std::int32_t Count);
};

class TMessageReceiver : public TDeviceMessenger {
 public:
  // The time for the rest of a packet once its start has arrived.
  std::int32_t ReadTimeout = 600;
  // The time for the start of a packet.
  std::int32_t StartOfPacketReadTimeout = 200;

  // Logs "<--- Запрошена операция чтения данных", opens the connection on demand (logging
  // "--->  [%s] Connection opened"), calls ReadPacket and logs "<a--". An EConnectionIOError
  // closes the connection quietly; every failure is logged "<err ..." and re-thrown unchanged.
  std::int32_t ReceivePacked(IDeviceConnection* Connection, std::uint8_t* Buffer,
                             std::int32_t Capacity);
  // Reads into the messenger's own 8192-byte Buffer; empty when nothing was read.
  TBytes ReceivePacked(IDeviceConnection* Connection);

  /* slot 2 */
  // Reads one framed packet into Buffer (at most Capacity bytes, starting at Buffer[0]) and
  // returns its length. Each protocol implements it; it must stay within [0, Capacity).
  virtual std::int32_t ReadPacket(IDeviceConnection& Connection, std::uint8_t* Buffer,
                                  std::int32_t Capacity) = 0;

 protected:
  // Only inside a handler of ReadPacket: a corrupt frame, a connection or a timeout failure is
  // re-thrown unchanged, anything else becomes EUnexpectedReceiveError naming the connection.
  [[noreturn]] void RethrowReadFailure(IDeviceConnection& Connection,
                                       const std::exception& E) const;
};

// Request/response exchanges of one device over one connection. Owned by its creator
// (std::unique_ptr); registers itself with the connection logger for its lifetime and forwards
// its own connection's lines to Log. Never closes the connection on destruction.
//
// Protocol transceivers override CreateSender and CreateReceiver; the sender and receiver are
// made on first use (a constructor cannot call the overrides), or by calling Sender()/Receiver().
class TMessageTransceiver : public TManualInterfacedObject, public IConnectionLogListener {
 public:
  explicit TMessageTransceiver(std::shared_ptr<IDeviceConnection> Connection);
  ~TMessageTransceiver() override;
  TMessageTransceiver(const TMessageTransceiver&) = delete;
  TMessageTransceiver& operator=(const TMessageTransceiver&) = delete;

  // Each holds the connection's lock for its whole run; a missing connection throws
  // EArgumentNullError "[TMessageTransceiver] ..." before any log line.
  void Send(const TBytes& Message);
  TBytes Receive();
  // Send then Receive under one hold of the lock.
  TBytes Exchange(const TBytes& Request);

  const std::shared_ptr<IDeviceConnection>& Connection() const { return Connection_; }
  ILogStrings* Log() const { return Log_.load(std::memory_order_acquire); }
  void SetLog(ILogStrings* Value) { Log_.store(Value, std::memory_order_release); }
  std::int32_t ReadTimeout() const { return ReadTimeout_; }
  void SetReadTimeout(std::int32_t Value) { ReadTimeout_ = Value; }
  std::int32_t WriteTimeout() const { return WriteTimeout_; }
  void SetWriteTimeout(std::int32_t Value) { WriteTimeout_ = Value; }
  std::int32_t StartOfPacketReadTimeout() const { return StartOfPacketReadTimeout_; }
  void SetStartOfPacketReadTimeout(std::int32_t Value) { StartOfPacketReadTimeout_ = Value; }
  bool AutoClose() const { return AutoClose_; }
  void SetAutoClose(bool Value) { AutoClose_ = Value; }

  TMessageSender& Sender();
  TMessageReceiver& Receiver();

  // Adds the line to Log when Connection is this transceiver's connection and Log is set.
  void OnLogLine(IDeviceConnection* Connection, std::uint8_t Kind, std::string_view Text,
                 TDateTime Time) override;

 protected:
  /* slot 3 */ virtual std::unique_ptr<TMessageSender> CreateSender() = 0;
  /* slot 4 */ virtual std::unique_ptr<TMessageReceiver> CreateReceiver() = 0;

 private:
  // Registered with the logger instead of the transceiver itself, so that a delivery on
  // another thread never dispatches through the transceiver's vtable while it is being built
  // or destroyed.
  class TListener final : public IConnectionLogListener {
   public:
    explicit TListener(TMessageTransceiver& Owner) : Owner_(Owner) {}
    void OnLogLine(IDeviceConnection* Connection, std::uint8_t Kind, std::string_view Text,
                   TDateTime Time) override {
      Owner_.TMessageTransceiver::OnLogLine(Connection, Kind, Text, Time);
    }

   private:
    TMessageTransceiver& Owner_;
  };

  void CheckConnection() const;
  void SendLocked(const TBytes& Message);
  TBytes ReceiveLocked();
  void FinishOperation() noexcept;

  std::shared_ptr<IDeviceConnection> Connection_;
  std::atomic<ILogStrings*> Log_{nullptr};
  std::unique_ptr<TMessageSender> Sender_;
  std::unique_ptr<TMessageReceiver> Receiver_;
  std::int32_t ReadTimeout_ = 600;
  std::int32_t WriteTimeout_ = 500;
  std::int32_t StartOfPacketReadTimeout_ = 200;
  bool AutoClose_ = false;
  TListener Listener_{*this};
};

}  // namespace probrix
