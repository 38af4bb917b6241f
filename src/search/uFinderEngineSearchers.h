#pragma once

// Device searchers: the base shared by all protocols (shared connection, transceiver,
// per-attempt settings, the attempt loop with its retry rule) and the Modbus RTU and Modbus
// TCP searchers, which identify a device by reading ten holding registers from 1000, and ask a
// device that answers otherwise who it is (Read Device Identification).

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <tuple>

#include "foundation/appSysUtils.h"
#include "foundation/appTypes.h"
#include "messaging/ioModbusCoreTypes.h"
#include "search/uFinderEngine.h"
#include "search/uFinderEngineTypes.h"
#include "search/uSearchLog.h"

namespace probrix {

class IDeviceConnection;
class TMessageTransceiver;

// Where searchers take their shared connections from (the connection factory's pools).
// GetConnection: the pooled connection of a serial port (name, baud rate, DTR on) or of a TCP
// endpoint (host, port). ReconfigureSerialPort: re-applies the baud rate to the closed pooled
// serial connection, so one created earlier with another rate takes this one.
struct TSearcherConnectionSource {
  std::function<std::shared_ptr<IDeviceConnection>(const std::string& ConnectionName,
                                                   TConnectionType ConnectionType,
                                                   std::int32_t BaudRateOrPort)>
      GetConnection;
  std::function<void(const std::string& PortName, std::int32_t BaudRate)> ReconfigureSerialPort;
};

// Test hook: replaces the source (an empty GetConnection restores the factory) and returns the
// previous replacement.
TSearcherConnectionSource SetSearcherConnectionSource(TSearcherConnectionSource Source);

class TDeviceSearcher : public IDeviceSearcher {
 public:
  // Takes the shared connection from the source, closes it if it is open (EConnectionCloseError
  // leaves the constructor) and, for a serial port, re-applies the baud rate. The connection
  // is opened later by the transceiver, on the first exchange.
  TDeviceSearcher(const std::string& ConnectionName, TConnectionType ConnectionType,
                  std::int32_t BaudRateOrPort);
  // The same on a given connection (closed if open, nothing reconfigured).
  explicit TDeviceSearcher(std::shared_ptr<IDeviceConnection> Connection);
  // Frees the transceiver and closes the connection quietly unless CloseConnection did it.
  ~TDeviceSearcher() override;
  TDeviceSearcher(const TDeviceSearcher&) = delete;
  TDeviceSearcher& operator=(const TDeviceSearcher&) = delete;

  ILogStrings* Log() const override { return Log_; }
  void SetLog(ILogStrings* Value) override { Log_ = Value; }
  std::int32_t ReadTimeout() const override { return ReadTimeout_; }
  void SetReadTimeout(std::int32_t Value) override { ReadTimeout_ = Value; }
  std::int32_t RequestRetryCount() const override { return RequestRetryCount_; }
  void SetRequestRetryCount(std::int32_t Value) override { RequestRetryCount_ = Value; }
  std::int32_t StartOfPacketReadTimeout() const override { return StartOfPacketReadTimeout_; }
  void SetStartOfPacketReadTimeout(std::int32_t Value) override {
    StartOfPacketReadTimeout_ = Value;
  }
  void SetLogTraffic(bool Value) override { LogTraffic_ = Value; }
  void SetKeepLog(bool Value) override { KeepLog_ = Value; }
  // A serial connection takes the format through its connection string, under its lock; a
  // TCP connection ignores it.
  void SetLineFormat(const TLineFormat& Value) override;

  // PrepareTransceiver, then SearchAt.
  void Search(std::uint8_t Address, TDeviceInfo& Info) override;
  // Frees the transceiver, then closes the connection; a close failure throws
  // EConnectionCloseError. Later calls do nothing.
  void CloseConnection() override;

  const std::shared_ptr<IDeviceConnection>& Connection() const { return Connection_; }
  // Made by CreateTransceiver on first use (a constructor cannot call the override).
  TMessageTransceiver& Transceiver();

 protected:
  virtual std::unique_ptr<TMessageTransceiver> CreateTransceiver(
      std::shared_ptr<IDeviceConnection> Connection) = 0;
  virtual void SearchAt(std::uint8_t Address, TDeviceInfo& Info) = 0;
  // Hands the log and the timeouts (write timeout = read timeout) to the transceiver, before an
  // attempt.
  void PrepareTransceiver();

  // The attempt loop with its retry rule. Attempt(Try) makes one try (Try counts from 1) and
  // returns on success. When it throws an exception of the tree, LogFailure gets its
  // description (DescribeException) and then: EInvalidCRC is retried until the third one,
  // ETimeoutError (any subclass) until RequestRetryCount of them (at least one try), anything
  // else is re-thrown at once. The two counters are independent.
  void RunAttempts(const std::function<void(std::int32_t Try)>& Attempt,
                   const std::function<void(const std::string& Description)>& LogFailure);
  // As RunAttempts, except that the failure that ends the tries comes back (a copy) rather
  // than being thrown again, and that Attempt may hand its failure back as a value instead of
  // throwing it (null: success): a silent address's timeout then travels without any unwind.
  // Null on success; a stop (EAbort) and failures from outside the tree pass as exceptions.
  std::unique_ptr<Exception> RunAttemptsOrFailure(
      const std::function<std::unique_ptr<Exception>(std::int32_t Try)>& Attempt,
      const std::function<void(const std::string& Description)>& LogFailure);
  // Adds a line to the log (stamped by the process clock); nothing without a log.
  void LogLine(std::string_view Text);
  void LogFmt(std::string_view Fmt, TFormatArgs Args);
  // Whether a line would be kept: the callers skip making dear arguments (hex dumps, failure
  // descriptions) for nobody.
  bool KeepsLog() const { return Log_ != nullptr && KeepLog_; }

 private:
  std::shared_ptr<IDeviceConnection> Connection_;
  std::unique_ptr<TMessageTransceiver> Transceiver_;
  bool Closed_ = false;
  ILogStrings* Log_ = nullptr;  // not owned
  bool LogTraffic_ = true;
  bool KeepLog_ = true;
  std::int32_t ReadTimeout_ = 0;
  std::int32_t RequestRetryCount_ = 0;
  std::int32_t StartOfPacketReadTimeout_ = 0;
};

// Identifies a Modbus device from holding registers 1000..1009 (function 3). A device that
// answers that request from the probed address, but with an exception reply or a reply the
// maker's layout refuses, is a device of another maker: Search at that address fails with that
// error, and Attempt returns the device, asked once for its basic identification (function
// 0x2B, MEI type 0x0E), with that error (aoOtherMaker). A device whose registers give a type the
// maker's table does not know is found, and asked for its identification as well.
class TModbusDeviceSearcher : public TDeviceSearcher {
 public:
  using TDeviceSearcher::TDeviceSearcher;

  static constexpr std::uint8_t ReadHoldingRegisters = 0x03;
  static constexpr std::uint16_t FirstRegister = 1000;
  static constexpr std::uint16_t RegisterCount = 10;
  // Identification requests per device at most: the basic category has three objects, and a
  // device that says "more follows" sends at least one more each time.
  static constexpr int MaxDeviceIdRequests = 3;

  TAttemptResult Attempt(std::uint8_t Address) override;

 protected:
  // A TModbusRtuTransceiver.
  std::unique_ptr<TMessageTransceiver> CreateTransceiver(
      std::shared_ptr<IDeviceConnection> Connection) override;
  void SearchAt(std::uint8_t Address, TDeviceInfo& Info) override;

  virtual TBytes PackRequest(const TBytes& Body) = 0;
  virtual TBytes UnpackResponse(const TBytes& Frame) = 0;
  // The address (unit identifier) of a reply frame that passed the frame checks.
  virtual std::uint8_t ReplyAddress(const TBytes& Frame) const = 0;
  // Whether an exception reply with this code proves a device at the address.
  virtual bool ExceptionRevealsDevice(std::uint8_t /*Code*/) const { return true; }
  // Whether devices with the same identity at several addresses are marked (SameAsUnit).
  virtual bool MarksRepeats() const { return false; }

  // A reply to the maker's request that proves a device at the probed address, though the
  // maker's identification refused it.
  struct TLiveReply {
    std::optional<std::uint8_t> ExceptionCode;
  };

  // The request body: address, 03, first register, register count (big-endian).
  static TBytes BuildRequestBody(std::uint8_t Address);
  // Unpacks and decodes one reply; a read past the body becomes ECorruptMessageFrame. A reply
  // that is refused, yet proves a device at Address, is left in Live.
  TDeviceInfo ParseResponse(const TBytes& Reply, std::uint8_t Address,
                            std::optional<TLiveReply>& Live);

 private:
  using TIdentity =
      std::tuple<bool, std::uint8_t, std::uint16_t, std::string, std::string, std::string>;

  // The maker's identification at Address with the retry rule (SearchAt). When it fails, Live
  // holds what the last try's reply proved: a device of another maker at Address, or none.
  // Null when identified; else the failure that ended the tries, as a value (no rethrow).
  std::unique_ptr<Exception> Identify(std::uint8_t Address, TDeviceInfo& Info,
                                      std::optional<TLiveReply>& Live);
  // Logs the request body, exchanges its frame and returns the reply frame. With TimedOut, a
  // reply that does not begin in time comes back there (TMessageTransceiver::ExchangeOrTimeOut).
  TBytes ExchangeBody(const TBytes& Body, std::unique_ptr<Exception>* TimedOut = nullptr);
  // UnpackResponse, then logs the body. An exception reply from another address than Address
  // is that address mismatch, not an error of Address.
  TBytes UnpackAndLog(const TBytes& Reply, std::uint8_t Address);
  // The device that answered at Address, asked for its basic identification.
  TDeviceInfo IdentifyAnsweringDevice(std::uint8_t Address, const TLiveReply& Reply);
  // Asks the device at Address for its basic identification into Info's vendor, product code
  // and revision; any failure (but a stop) leaves the fields it did not get empty.
  void ReadIdentification(std::uint8_t Address, TDeviceInfo& Info);
  // One identification request from ObjectId, with the retry rule.
  TModbusDeviceIdReply ReadDeviceId(std::uint8_t Address, std::uint8_t ObjectId);
  // Sets SameAsUnit when the identity answered at an earlier address of this run.
  void MarkRepeat(TDeviceInfo& Info);

  std::map<TIdentity, std::uint8_t> FirstAddresses_;
};

class TModbusRtuDeviceSearcher : public TModbusDeviceSearcher {
 public:
  using TModbusDeviceSearcher::TModbusDeviceSearcher;

 protected:
  TBytes PackRequest(const TBytes& Body) override;
  TBytes UnpackResponse(const TBytes& Frame) override;
  std::uint8_t ReplyAddress(const TBytes& Frame) const override;
};

class TModbusTcpDeviceSearcher : public TModbusDeviceSearcher {
 public:
  using TModbusDeviceSearcher::TModbusDeviceSearcher;

  // Of the last request: 0 before the first one, then 1, 2, ... wrapping from 65535 to 0.
  std::uint16_t TransactionId() const { return TransactionId_; }
  void SetTransactionId(std::uint16_t Value) { TransactionId_ = Value; }

 protected:
  // A TModbusTcpTransceiver: a TCP reply is delimited by its MBAP header.
  std::unique_ptr<TMessageTransceiver> CreateTransceiver(
      std::shared_ptr<IDeviceConnection> Connection) override;
  TBytes PackRequest(const TBytes& Body) override;
  TBytes UnpackResponse(const TBytes& Frame) override;
  std::uint8_t ReplyAddress(const TBytes& Frame) const override;
  // A gateway's 0x0A (path unavailable) and 0x0B (target failed to respond) mean that nothing
  // answered at that unit.
  bool ExceptionRevealsDevice(std::uint8_t Code) const override;
  // A device behind a gateway that ignores the unit id answers at every unit.
  bool MarksRepeats() const override { return true; }

 private:
  std::uint16_t TransactionId_ = 0;
};

}  // namespace probrix
