#pragma once

// The protocol-neutral request/response framework: a sender writes one framed packet, a
// receiver reads bytes until it holds one framed packet, and a transceiver combines the two
// under the connection's lock and forwards its connection's traffic lines to a search log.
//
// Protocol receivers subclass TMessageReceiver and implement ReadPacket. They read through one
// primitive, TMessageReceiver::ReadWithin, and supply only their framing as a TReadPhase: where
// the next bytes go and how many may come, whether a phase is complete, their trace lines and
// their timeout texts. ReadWithin owns the rest: the budget (StartOfPacketReadTimeout for the
// start of a packet, ReadTimeout for its rest, copied from the transceiver at every receive; a
// budget equal to Connection.InfiniteTimeout() is passed on unchanged without arithmetic), the
// connection's ReadTimeout before each read, and one rule for each outcome of a read.
// ReadPacket must never touch its buffer outside [0, Capacity): the 8192-byte limit is binding.

#include <array>
#include <atomic>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "connections/ioDeviceConnection.h"
#include "foundation/appClasses.h"
#include "foundation/appExceptions.h"
#include "foundation/appLogStrings.h"
#include "foundation/appTypes.h"
#include "foundation/utilityStopwatch.h"

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
  static constexpr std::uint8_t Discarded = 18;       // "<del" bytes waiting before a request
  static constexpr std::uint8_t Skipped = 19;         // "<skp" a reply that is not this one
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

  // True for EConnectionOpenError, EConnectionIOError, ETimeoutError and their descendants
  // (this covers every read/write timeout class).
  virtual bool IsConnectionOrTimeoutError(const std::exception& E) const;

  // Throws EArgumentNullError "[TDeviceMessenger] Не задано значение свойства ..." when null.
  static void CheckConnection(const IDeviceConnection* Connection);

 protected:
  // Measures one write or one receive.
  TStopwatch Stopwatch_;
  // Receivers read every packet into it (ReceivePacked without a buffer).
  std::array<std::uint8_t, BufferSize> Buffer_{};
};

class TMessageSender : public TDeviceMessenger {
 public:
  std::int32_t WriteTimeout() const { return WriteTimeout_; }
  void SetWriteTimeout(std::int32_t Value) { WriteTimeout_ = Value; }

  // Logs "--q>", opens the connection on demand (logging "---> Connection opened [%s]"), then
  // WritePacket. Count <= 0 sends nothing and opens nothing. An EConnectionIOError closes the
  // connection quietly; every failure is logged "<err ..." and re-thrown unchanged. Opened, when
  // given, runs right after this call opened the connection, before the write; its failures
  // pass on as they are (it logs its own).
  void SendPacked(IDeviceConnection* Connection, const std::uint8_t* Data, std::int32_t Count,
                  const std::function<void()>& Opened = {});
  void SendPacked(IDeviceConnection* Connection, const TBytes& Message,
                  const std::function<void()>& Opened = {});

  // Sets the connection's WriteTimeout, writes, logs "--->". Failures are wrapped:
  // EWriteTimeoutError -> EWriteMessageTimeoutError, EConnectionIOError -> EConnectionIOError,
  // anything else -> EUnexpectedSendError (each with the caught exception as inner).
  virtual void WritePacket(IDeviceConnection& Connection, const std::uint8_t* Data,
                           std::int32_t Count);

 private:
  std::int32_t WriteTimeout_ = 500;
};

// Where one read phase of a receive stands, for its trace lines and timeout texts. Times are
// milliseconds since the phase's budget began.
struct TReadPass {
  std::int32_t Timeout = 0;         // the phase's budget (or the connection's infinite value)
  std::int64_t ElapsedAtStart = 0;  // when this read began (kept up with a limited budget only)
  std::int64_t Remaining = 0;       // what was left of the budget then (Timeout when unlimited)
  std::int64_t Elapsed = 0;         // when this read returned
};

// The framing of one read phase (a header, the rest of a packet, the bytes up to a marker, a
// line), as a receiver hands it to TMessageReceiver::ReadWithin.
class TReadPhase {
 public:
  virtual ~TReadPhase() = default;
  // Where the next read puts its bytes and how many it may bring; 0 room: nothing more fits,
  // the phase ends.
  virtual std::uint8_t* ReadPosition() = 0;
  virtual std::int32_t ReadRoom() const = 0;
  // Right before each read, the connection's ReadTimeout set.
  virtual void BeforeRead(IDeviceConnection& /*Connection*/) {}
  // Whether the phase needs all of ReadRoom() bytes, so that the connection may wait for them
  // in one go (IDeviceConnection::ReadWhole) rather than hand over each chunk as it comes.
  virtual bool NeedsWhole(IDeviceConnection& /*Connection*/) const { return false; }
  // Count bytes (1..ReadRoom()) arrived at ReadPosition(). True when the phase is complete.
  virtual bool Take(IDeviceConnection& Connection, std::int32_t Count, const TReadPass& Pass) = 0;
  // The budget ran out between reads: throws the phase's own timeout error.
  [[noreturn]] virtual void Expired(IDeviceConnection& Connection, const TReadPass& Pass) = 0;
  // A read waited in vain; E is the connection's EReadTimeoutError, not thrown yet. Throws
  // what the phase reports for it: by default its TimeoutError, else ReadFailed's error for a
  // phase that translates failures, else E itself.
  [[noreturn]] virtual void ReadTimedOut(IDeviceConnection& Connection, const Exception& E,
                                         const TReadPass& Pass);
  // The phase's timeout error as a value, for a receive that hands a silent line's timeout up
  // without throwing it: Timeout is the connection's EReadTimeoutError when a read waited in
  // vain, null when the budget ran out between reads. Null: the phase only throws it (Expired,
  // ReadTimedOut).
  virtual std::unique_ptr<Exception> TimeoutError(IDeviceConnection& /*Connection*/,
                                                  const Exception* /*Timeout*/,
                                                  const TReadPass& /*Pass*/) {
    return nullptr;
  }
  // Whether the phase reports a failed read as an error of its own (ReadFailed); otherwise the
  // connection's exception passes on as it is, without being caught and thrown again.
  virtual bool TranslatesReadFailures() const { return false; }
  // A read failed with E, the connection's EReadTimeoutError or EConnectionIOError (a faulty
  // byte count included), for a phase that translates failures. Throws what the phase reports
  // for it; by default E itself.
  [[noreturn]] virtual void ReadFailed(IDeviceConnection& Connection, const Exception& E,
                                       const TReadPass& Pass);
};

class TMessageReceiver : public TDeviceMessenger {
 public:
  // The time for the rest of a packet once its start has arrived.
  std::int32_t ReadTimeout() const { return ReadTimeout_; }
  void SetReadTimeout(std::int32_t Value) { ReadTimeout_ = Value; }
  // The time for the start of a packet.
  std::int32_t StartOfPacketReadTimeout() const { return StartOfPacketReadTimeout_; }
  void SetStartOfPacketReadTimeout(std::int32_t Value) { StartOfPacketReadTimeout_ = Value; }

  // Logs "<--- Запрошена операция чтения данных", opens the connection on demand (logging
  // "--->  [%s] Connection opened"), calls ReadPacket and logs "<a--". An EConnectionIOError
  // closes the connection quietly; every failure is logged "<err ..." and re-thrown unchanged.
  // With TimedOut, a packet that does not begin in time (ReadPacketOrTimeOut) is logged as such
  // a failure and comes back in *TimedOut, unthrown, with 0 bytes.
  std::int32_t ReceivePacked(IDeviceConnection* Connection, std::uint8_t* Buffer,
                             std::int32_t Capacity, std::unique_ptr<Exception>* TimedOut = nullptr);
  // Reads into the messenger's own 8192-byte Buffer; empty when nothing was read.
  TBytes ReceivePacked(IDeviceConnection* Connection,
                       std::unique_ptr<Exception>* TimedOut = nullptr);

  // Reads one framed packet into Buffer (at most Capacity bytes, starting at Buffer[0]) and
  // returns its length. Each protocol implements it; it must stay within [0, Capacity).
  virtual std::int32_t ReadPacket(IDeviceConnection& Connection, std::uint8_t* Buffer,
                                  std::int32_t Capacity) = 0;
  // As ReadPacket, except that a receiver may hand the timeout of a packet that does not begin
  // in time (a silent device, the usual end of a search's try) back in TimedOut, unthrown, with
  // 0 bytes. By default ReadPacket, which throws it.
  virtual std::int32_t ReadPacketOrTimeOut(IDeviceConnection& Connection, std::uint8_t* Buffer,
                                           std::int32_t Capacity,
                                           std::unique_ptr<Exception>& /*TimedOut*/) {
    return ReadPacket(Connection, Buffer, Capacity);
  }

  // The request whose reply the next ReadPacket reads (Exchange tells it, after the send), so
  // that a receiver can tell the line's echo of it, or a late reply to an earlier request, from
  // this one's reply. Kept until that ReadPacket takes it.
  virtual void ExpectReplyTo(const TBytes& Request) { Request_ = Request; }

  // Reads and drops what the connection holds (at most one buffer's worth) and logs it as one
  // "<del" line. Without SettleMs it takes only what is already there; with it (a connection
  // just opened, whose far end may speak first: a server's greeting) also what arrives within
  // SettleMs. Failures as in ReceivePacked.
  void DiscardWaiting(IDeviceConnection& Connection, std::int32_t SettleMs = 0);

 protected:
  // The one read loop of every receiver: reads into Phase until it is complete, within Timeout
  // ms of which SpentMs are already gone (no limit when Timeout is the connection's
  // InfiniteTimeout). The stopwatch measures the phase. The outcomes of a read:
  // - bytes: 1..ReadRoom(), handed to Phase.Take;
  // - nothing before the deadline: Phase.Expired when the budget ran out between reads,
  //   Phase.ReadTimedOut with the connection's EReadTimeoutError when a read waited in vain
  //   (handed over as a value: the phase's error is the only one thrown). With TimedOut, a
  //   phase that makes its timeout error as a value (TimeoutError) returns it there instead;
  // - the peer closed or an I/O error: Phase.ReadFailed with the connection's
  //   EConnectionIOError; a count outside 1..ReadRoom() counts as one (EUnexpectedReceiveError);
  // - cancelled by a stop: EAbort passes unchanged.
  void ReadWithin(IDeviceConnection& Connection, std::int32_t Timeout, TReadPhase& Phase,
                  std::int64_t SpentMs = 0, std::unique_ptr<Exception>* TimedOut = nullptr);

  // Only inside a handler of ReadPacket: a corrupt frame, a connection or a timeout failure or
  // a stop is re-thrown unchanged, anything else becomes EUnexpectedReceiveError naming the
  // connection.
  [[noreturn]] void RethrowReadFailure(IDeviceConnection& Connection,
                                       const std::exception& E) const;

  // The request this receive answers, once: ReadPacket takes it; none for a plain receive.
  std::optional<TBytes> TakeRequest() { return std::exchange(Request_, std::nullopt); }
  // Whether a complete frame is the line's echo of Request (byte for byte the request: an
  // adapter or a bridge that hears its own transmission), never a reply; logged as skipped
  // when it is.
  static bool SkipEcho(IDeviceConnection& Connection, const TBytes& Request,
                       const std::uint8_t* Packet, std::int32_t Count);
  // The "<skp" line of a packet passed over; Why in the line's parentheses.
  static void LogSkipped(IDeviceConnection& Connection, const std::uint8_t* Packet,
                         std::int32_t Count, const std::string& Why);

 private:
  std::int32_t ReadTimeout_ = 600;
  std::int32_t StartOfPacketReadTimeout_ = 200;
  std::optional<TBytes> Request_;
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
  // Under one hold of the lock: drops what the connection holds before the request (logged
  // "<del": on an open connection what is left of earlier exchanges; on one this exchange
  // opens, what was queued before it opened or what its far end sends on its own within the
  // connection's GreetingTimeout), sends, tells the receiver the request, and receives.
  TBytes Exchange(const TBytes& Request);
  // As Exchange, except that a reply that does not begin in time (a silent device) comes back
  // as its timeout error in TimedOut, unthrown, with an empty reply.
  TBytes ExchangeOrTimeOut(const TBytes& Request, std::unique_ptr<Exception>& TimedOut);

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
  // Only its own connection's lines, and only while it has a Log to add them to.
  bool KeepsLinesOf(const IDeviceConnection* Connection) const override;

 protected:
  virtual std::unique_ptr<TMessageSender> CreateSender() = 0;
  virtual std::unique_ptr<TMessageReceiver> CreateReceiver() = 0;

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
    bool KeepsLinesOf(const IDeviceConnection* Connection) const override {
      return Owner_.TMessageTransceiver::KeepsLinesOf(Connection);
    }

   private:
    TMessageTransceiver& Owner_;
  };

  void CheckConnection() const;
  void SendLocked(const TBytes& Message, const std::function<void()>& Opened = {});
  TBytes ReceiveLocked(std::unique_ptr<Exception>* TimedOut = nullptr);
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
