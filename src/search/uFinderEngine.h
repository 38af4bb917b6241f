#pragma once

// The search task: walks a search plan (serial ports x baud rates x protocols, then TCP
// endpoints x protocols) on its own worker thread, probes each address with the protocol's
// device searcher and reports progress, found devices, errors and the end as events.

#include <array>
#include <atomic>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <stop_token>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "connections/ioLineFormat.h"
#include "foundation/appExceptions.h"
#include "platform/platCancel.h"
#include "search/uFinderEngineSchedule.h"
#include "search/uFinderEngineTypes.h"
#include "search/uSearchLog.h"

namespace probrix {

// How one attempt at an address ended.
enum class TAttemptOutcome : std::uint8_t {
  aoFound = 0,       // a device was identified
  aoOtherMaker = 1,  // the identification failed, yet a device of another maker answered
  aoFailed = 2,      // no device
};

// The outcome of one attempt as a searcher's Attempt returns it: the device (found, or of
// another maker) and the error (the failure, or the one that revealed the other maker's device).
struct TAttemptResult {
  TAttemptOutcome Outcome = TAttemptOutcome::aoFailed;
  TDeviceInfo Device;                // aoFound, aoOtherMaker
  std::unique_ptr<Exception> Error;  // aoOtherMaker, aoFailed: a copy of its exact class

  static TAttemptResult Found(TDeviceInfo Device);
  static TAttemptResult OtherMaker(TDeviceInfo Device, const Exception& Error);
  static TAttemptResult Failed(const Exception& Error);
};

// What the search task requires of a device searcher; TDeviceSearcher and its protocol
// subclasses fulfil it. A searcher probes one connection with one protocol; it is created
// per (connection, protocol) run, takes the settings below once after construction and is
// asked for one attempt per address.
class IDeviceSearcher {
 public:
  virtual ~IDeviceSearcher() = default;

  // The run's search log; not owned by the searcher.
  virtual ILogStrings* Log() const = 0;
  virtual void SetLog(ILogStrings* Value) = 0;
  virtual std::int32_t ReadTimeout() const = 0;
  virtual void SetReadTimeout(std::int32_t Value) = 0;
  virtual std::int32_t RequestRetryCount() const = 0;
  virtual void SetRequestRetryCount(std::int32_t Value) = 0;
  virtual std::int32_t StartOfPacketReadTimeout() const = 0;
  virtual void SetStartOfPacketReadTimeout(std::int32_t Value) = 0;
  // Whether the traffic lines of the exchanges go to Log as well (on unless told otherwise).
  virtual void SetLogTraffic(bool Value) { (void)Value; }
  // Whether anybody keeps the attempt's log (on unless told otherwise): off, no line of it is
  // made, neither the searcher's own nor the traffic.
  virtual void SetKeepLog(bool Value) { (void)Value; }
  // The character format of a serial connection's line for this run, set once after
  // construction, before the first attempt (the connection is opened with it).
  virtual void SetLineFormat(const TLineFormat& Value) { (void)Value; }

  // Fills Info and returns, or throws (no reply, bad reply, device error, I/O error,
  // EConnectionOpenError). Retries within one address happen inside.
  virtual void Search(std::uint8_t Address, TDeviceInfo& Info) = 0;

  // One attempt at Address with its outcome: Search, its failure (an exception from outside
  // the tree as an EForeignException) returned rather than thrown. A stop (EAbort) passes. A
  // searcher that recognises a device of another maker behind a failure returns it with that
  // failure (aoOtherMaker).
  virtual TAttemptResult Attempt(std::uint8_t Address);

  // Ends the run: frees the transceiver and closes the shared connection; a close failure
  // throws EConnectionCloseError. The task calls it once before destroying the searcher, so a
  // close failure reaches the task instead of a destructor (which must not throw; it only
  // cleans up what CloseConnection did not).
  virtual void CloseConnection() {}
};

// Runs Step and returns its failure, if any: an exception of the tree as a copy of its exact
// class, one from outside the tree as an EForeignException. A stop (EAbort) passes.
std::unique_ptr<Exception> FailureOf(const std::function<void()>& Step);

// Creates the searcher of Protocol on the named connection (the single place where the
// protocols plug in). A protocol value outside 0..3 gives none (nullptr). Construction may
// throw (EConnectionCloseError when the shared connection was open and cannot be closed).
std::unique_ptr<IDeviceSearcher> CreateDeviceSearcher(const std::string& ConnectionName,
                                                      std::int32_t BaudRateOrPort,
                                                      TDeviceProtocol Protocol,
                                                      TConnectionType ConnectionType);

// Test hook: replaces the protocol table of CreateDeviceSearcher by Factory (an empty one
// restores the table) and returns the previous replacement. The range check of the protocol
// stays in front of it.
using TDeviceSearcherFactory = std::function<std::unique_ptr<IDeviceSearcher>(
    const std::string& ConnectionName, std::int32_t BaudRateOrPort, TDeviceProtocol Protocol,
    TConnectionType ConnectionType)>;
TDeviceSearcherFactory SetDeviceSearcherFactory(TDeviceSearcherFactory Factory);

class TSearchDevicesTask;

// Task events, raised on the worker thread, each with the attempt it concerns. Log and Error
// are valid only during the call.
using TSearchProgressChangedEvent =
    std::function<void(TSearchDevicesTask* Sender, const TSearchAttempt& Attempt)>;
using TSearchDeviceFoundEvent =
    std::function<void(TSearchDevicesTask* Sender, const TSearchAttempt& Attempt,
                       const TDeviceInfo& DeviceInfo, const TSearchLog& Log)>;
using TSearchErrorEvent =
    std::function<void(TSearchDevicesTask* Sender, const TSearchAttempt& Attempt,
                       const Exception& Error, const TSearchLog& Log)>;
using TSearchFinishedEvent = std::function<void(TSearchDevicesTask* Sender, bool Aborted)>;

using TSweepProgressEvent =
    std::function<void(TSearchDevicesTask* Sender, const TSweepProgress& Progress)>;
using TSweepMissEvent = std::function<void(TSearchDevicesTask* Sender, const TSweepMiss& Miss)>;

using TAddressList = std::vector<std::uint8_t>;

// The most connections one search runs at once (ParallelConnections 0 asks for one per
// connection up to this many).
inline constexpr std::int32_t MaxParallelConnections = 32;

// One search on its own worker thread. The owner fills the plan and the handlers, calls
// Start once, and destroys the task afterwards (destruction stops and waits). A task runs
// once; a new search needs a new task.
//
// Each connection of the plan (a serial port with all its baud rates, a TCP endpoint) is an
// independent bus. With ParallelConnections above 1 several of them are searched at once,
// one worker thread each, taken in plan order; two that reach the same device (one port by
// two spellings, one host by its name and its address) are never searched at once. Each
// connection keeps the order and the events of a search of its own, and the handlers are
// called one at a time, never concurrently. Stop ends every connection; the finished event
// comes once, after all of them have ended.
//
// An endpoint of the plan may be an address range or a CIDR block (uEndPointRange.h). Before
// anything is searched, every range is swept (many connects in flight at once, each with the
// connect timeout): each address that accepts no connection is reported once (OnSweepMiss, in
// address order), and the hosts that accept take the range's place in the plan, in address
// order, each an endpoint like any other. Stop ends the sweep at once.
class TSearchDevicesTask {
 public:
  TSearchDevicesTask();
  ~TSearchDevicesTask();
  TSearchDevicesTask(const TSearchDevicesTask&) = delete;
  TSearchDevicesTask& operator=(const TSearchDevicesTask&) = delete;

  // The plan: written by the owner before Start, only read by the worker afterwards.
  std::vector<std::string> SerialPortNames;
  std::vector<std::int32_t> BaudRates;
  // Each serial port is tried at every baud rate with every format, in this order, before the
  // next baud rate. Empty: 8N1 alone. TCP endpoints ignore it.
  std::vector<TLineFormat> LineFormats;
  std::vector<std::string> TcpEndpoints;  // "host:port"
  std::vector<TDeviceProtocol> Protocols;
  std::array<TAddressList, DeviceProtocolCount> Addresses;
  std::int32_t ReadTimeout = 0;
  std::int32_t RequestRetryCount = 0;
  std::int32_t StartOfPacketReadTimeout = 0;
  // How many connections are searched at once: 1 one after another, 0 one per connection;
  // never more than MaxParallelConnections (a value below 0 counts as 1).
  std::int32_t ParallelConnections = 1;
  // Whether an attempt's search log also holds the traffic lines of its exchanges (bytes sent
  // and received, with timings). Off when nobody keeps the attempt logs: the lines are then
  // never formatted; the searchers' own lines stay.
  bool LogTraffic = true;
  // Whether anybody keeps the attempts' search logs at all: off, the searchers make none of
  // their lines (nor the descriptions of the failures they would carry), and the events come
  // with an empty log.
  bool KeepAttemptLogs = true;

  // Each may be empty. Set before Start. They are called one at a time, from whichever worker
  // has the event, and must not wait for the task.
  TSearchProgressChangedEvent OnProgressChanged;
  TSearchDeviceFoundEvent OnDeviceFound;
  TSearchErrorEvent OnSearchError;
  TSearchFinishedEvent OnSearchFinished;
  TSweepProgressEvent OnSweepProgress;
  TSweepMissEvent OnSweepMiss;

  // The formats each serial port is tried with at every baud rate: LineFormats, or 8N1 alone
  // when it is empty. A count of the plan's attempts multiplies its baud rates by them.
  std::vector<TLineFormat> PlanLineFormats() const;

  // Stores a copy of Addresses as the address list of Protocol; a protocol outside 0..3
  // raises EArgumentError.
  void SetAddresses(TDeviceProtocol Protocol, std::span<const std::uint8_t> Addresses);

  // Starts the worker; a second call does nothing.
  void Start();
  // Before the run has ended: marks the task aborted, requests termination and cancels the
  // wait in progress (a serial read or write, a TCP connect, receive or send), so the attempt
  // ends within milliseconds; that cut attempt raises no search-error event. Afterwards it
  // does nothing. Does not wait.
  void Stop();
  // Waits until the worker has ended (returns at once if it was never started). Must not be
  // called from an event handler.
  void WaitFor();

  bool Aborted() const;
  bool Finished() const;
  bool Terminated() const { return StopSource_.stop_requested(); }
  // Description of the exception that ended the run early; empty when the run ended normally.
  std::string RunError() const;

 protected:
  void Execute();
  void SearchTcpEndpoint(const std::string& EndpointText, TDeviceProtocol Protocol,
                         const TAddressList& Addresses);
  // LineFormat: the format a serial connection's line is set to for this run; none leaves
  // the connection as it is (a TCP endpoint).
  void SearchConnection(const std::string& ConnectionName, std::int32_t BaudRateOrPort,
                        const TAddressList& Addresses, TConnectionType ConnectionType,
                        TDeviceProtocol Protocol,
                        const std::optional<TLineFormat>& LineFormat = std::nullopt);

 private:
  void Run() noexcept;
  const TAddressList& AddressesOf(TDeviceProtocol Protocol) const;
  // The plan's endpoints with every range replaced by its hosts that accept a connection (the
  // plan itself when it has no range); empty when a stop ended the sweep.
  std::vector<std::string> SweepRanges();
  // Workers for a plan of Connections connections.
  std::size_t WorkerCount(std::size_t Connections) const;
  // Takes connections from Schedule and searches them until none is left or the run ends.
  void Work(TConnectionSchedule& Schedule) noexcept;
  // Connection Index of the plan: the serial ports first, then the endpoints.
  void SearchPlanConnection(std::size_t Index);
  TDeviceIdentities DeviceIdentities(std::size_t Index) const;
  // A stop was requested or a worker met an error that ends the run.
  bool Stopping() const { return Terminated() || RunEnding_.load(); }
  // Calls Handler (when set) with the task and Args, one event at a time.
  template <class THandler, class... TArgs>
  void Raise(const THandler& Handler, const TArgs&... Args);

  mutable std::mutex StateLock_;  // the flags below: Stop races the run's end
  bool Aborted_ = false;
  bool Finished_ = false;
  std::string RunError_;
  bool Started_ = false;
  std::stop_source StopSource_;
  std::atomic<bool> RunEnding_{false};
  // The first exception that ended the run on any worker.
  std::mutex RunFailureLock_;
  std::exception_ptr RunFailure_;
  std::mutex EventLock_;  // one event at a time
  // The endpoints searched: TcpEndpoints with the ranges swept (set before the workers start).
  std::vector<std::string> Endpoints_;
  // Every wait of the worker watches it (bound to the worker thread for the run).
  platform::TCancelEvent Cancel_;
  std::jthread Thread_;
};

}  // namespace probrix
