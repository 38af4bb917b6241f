#include "search/uFinderEngine.h"

#include <algorithm>
#include <optional>
#include <system_error>
#include <utility>

#include "connections/ioDeviceConnection.h"
#include "foundation/appFinally.h"
#include "foundation/appSysUtils.h"
#include "foundation/ioExceptions.h"
#include "platform/platCrashSignals.h"
#include "platform/platHostAddresses.h"
#include "platform/platSerialPorts.h"
#include "search/uFinderEngineOrvatAscii.h"
#include "search/uFinderEngineOrvatbus.h"
#include "search/uFinderEngineSearchers.h"

namespace probrix {

namespace {

std::mutex& FactoryLock() {
  static std::mutex Lock;
  return Lock;
}

TDeviceSearcherFactory& InjectedFactory() {
  static TDeviceSearcherFactory Factory;
  return Factory;
}

}  // namespace

std::unique_ptr<IDeviceSearcher> CreateDeviceSearcher(const std::string& ConnectionName,
                                                      std::int32_t BaudRateOrPort,
                                                      TDeviceProtocol Protocol,
                                                      TConnectionType ConnectionType) {
  if (!IsValidDeviceProtocol(Protocol)) return nullptr;
  TDeviceSearcherFactory factory;
  {
    std::lock_guard guard(FactoryLock());
    factory = InjectedFactory();
  }
  if (factory) return factory(ConnectionName, BaudRateOrPort, Protocol, ConnectionType);

  switch (Protocol) {
    case TDeviceProtocol::dpOrvatbus:
      return std::make_unique<TOrvatbusDeviceSearcher>(ConnectionName, ConnectionType,
                                                       BaudRateOrPort);
    case TDeviceProtocol::dpModbusRtu:
      return std::make_unique<TModbusRtuDeviceSearcher>(ConnectionName, ConnectionType,
                                                        BaudRateOrPort);
    case TDeviceProtocol::dpModbusTcp:
      return std::make_unique<TModbusTcpDeviceSearcher>(ConnectionName, ConnectionType,
                                                        BaudRateOrPort);
    case TDeviceProtocol::dpOrvatAscii:
      return std::make_unique<TOrvatAsciiDeviceSearcher>(ConnectionName, ConnectionType,
                                                         BaudRateOrPort);
  }
  return nullptr;
}

TDeviceSearcherFactory SetDeviceSearcherFactory(TDeviceSearcherFactory Factory) {
  std::lock_guard guard(FactoryLock());
  return std::exchange(InjectedFactory(), std::move(Factory));
}

// --- Attempts ----------------------------------------------------------------------------

std::unique_ptr<Exception> FailureOf(const std::function<void()>& Step) {
  try {
    Step();
    return nullptr;
  } catch (const EAbort&) {
    throw;  // a stop, not a failure of the device
  } catch (const Exception& e) {
    return e.Clone();
  } catch (const std::exception& e) {
    // A failure from outside the exception tree (out of memory, a library error) still counts
    // as a failed attempt.
    return std::make_unique<EForeignException>(ExceptionClassName(e), e.what());
  }
}

TAttemptResult TAttemptResult::Found(TDeviceInfo Device) {
  TAttemptResult result;
  result.Outcome = TAttemptOutcome::aoFound;
  result.Device = std::move(Device);
  return result;
}

TAttemptResult TAttemptResult::OtherMaker(TDeviceInfo Device, const Exception& Error) {
  TAttemptResult result;
  result.Outcome = TAttemptOutcome::aoOtherMaker;
  result.Device = std::move(Device);
  result.Error = Error.Clone();
  return result;
}

TAttemptResult TAttemptResult::Failed(const Exception& Error) {
  TAttemptResult result;
  result.Outcome = TAttemptOutcome::aoFailed;
  result.Error = Error.Clone();
  return result;
}

TAttemptResult IDeviceSearcher::Attempt(std::uint8_t Address) {
  TDeviceInfo info;
  if (const std::unique_ptr<Exception> failure = FailureOf([&] { Search(Address, info); }))
    return TAttemptResult::Failed(*failure);
  return TAttemptResult::Found(std::move(info));
}

// --- TSearchDevicesTask ------------------------------------------------------------------

TSearchDevicesTask::TSearchDevicesTask() = default;

TSearchDevicesTask::~TSearchDevicesTask() {
  Stop();
  StopSource_.request_stop();
  // A task that was never started still runs its body, which sees the terminate request at
  // once: the finished event is raised exactly once in every life of a task.
  Start();
  if (Thread_.joinable() && Thread_.get_id() == std::this_thread::get_id()) {
    // Destroyed from its own finished handler: the worker touches nothing after that call.
    Thread_.detach();
    return;
  }
  WaitFor();
}

void TSearchDevicesTask::SetAddresses(TDeviceProtocol Protocol,
                                      std::span<const std::uint8_t> List) {
  if (!IsValidDeviceProtocol(Protocol))
    throw EArgumentError::CreateFmt("Недопустимый протокол поиска: %d",
                                    {static_cast<int>(Protocol)});
  Addresses[static_cast<std::size_t>(Protocol)].assign(List.begin(), List.end());
}

void TSearchDevicesTask::Start() {
  std::lock_guard guard(StateLock_);
  if (Started_) return;
  Started_ = true;
  Thread_ = std::jthread(platform::WithSignalStack([this] { Run(); }));
}

void TSearchDevicesTask::Stop() {
  std::lock_guard guard(StateLock_);
  if (Finished_) return;
  Aborted_ = true;
  StopSource_.request_stop();
  Cancel_.Set();
}

void TSearchDevicesTask::WaitFor() {
  {
    std::lock_guard guard(StateLock_);
    if (!Started_) return;
  }
  if (Thread_.joinable() && Thread_.get_id() != std::this_thread::get_id()) Thread_.join();
}

bool TSearchDevicesTask::Aborted() const {
  std::lock_guard guard(StateLock_);
  return Aborted_;
}

bool TSearchDevicesTask::Finished() const {
  std::lock_guard guard(StateLock_);
  return Finished_;
}

std::string TSearchDevicesTask::RunError() const {
  std::lock_guard guard(StateLock_);
  return RunError_;
}

std::vector<TLineFormat> TSearchDevicesTask::PlanLineFormats() const {
  return LineFormats.empty() ? std::vector<TLineFormat>{DefaultLineFormat} : LineFormats;
}

const TAddressList& TSearchDevicesTask::AddressesOf(TDeviceProtocol Protocol) const {
  static const TAddressList None;
  return IsValidDeviceProtocol(Protocol) ? Addresses[static_cast<std::size_t>(Protocol)] : None;
}

void TSearchDevicesTask::Run() noexcept {
  // A search waits out thousands of reply timeouts one after another: its waits end on time.
  platform::UsePreciseTimedWaits();
  std::string error;
  try {
    const platform::TCancelScope scope(Cancel_);
    Execute();
  } catch (const EAbort&) {
    // Stop cut an attempt short: the run simply ends.
  } catch (...) {
    // An exception that escaped the run ends it; it is kept for the owner, not reported.
    try {
      error = DescribeCurrentException();
    } catch (...) {
    }
  }
  bool wasAborted = false;
  {
    std::lock_guard guard(StateLock_);
    Finished_ = true;
    wasAborted = Aborted_;
    RunError_ = std::move(error);
  }
  // A copy: the handler may destroy the task.
  const TSearchFinishedEvent handler = OnSearchFinished;
  if (handler) {
    try {
      handler(this, wasAborted);
    } catch (...) {
      // Nothing is left to tell; the event has been raised once.
    }
  }
}

std::size_t TSearchDevicesTask::WorkerCount(std::size_t Connections) const {
  const std::int32_t wanted = ParallelConnections == 0  ? MaxParallelConnections
                              : ParallelConnections < 1 ? 1
                                                        : ParallelConnections;
  return std::min<std::size_t>(Connections,
                               static_cast<std::size_t>(std::min(wanted, MaxParallelConnections)));
}

void TSearchDevicesTask::Execute() {
  Endpoints_ = SweepRanges();
  if (Stopping()) return;
  const std::size_t connections = SerialPortNames.size() + Endpoints_.size();
  const std::size_t workers = WorkerCount(connections);
  // One worker searches the plan in its order and needs to tell no devices apart.
  TConnectionSchedule schedule(
      connections, workers < 2 ? TConnectionSchedule::TIdentify()
                               : [this](std::size_t Index) { return DeviceIdentities(Index); });
  std::vector<std::jthread> helpers;
  for (std::size_t i = 1; i < workers; ++i) {
    try {
      helpers.emplace_back(platform::WithSignalStack([this, &schedule] {
        platform::UsePreciseTimedWaits();
        const platform::TCancelScope scope(Cancel_);
        Work(schedule);
      }));
    } catch (const std::system_error&) {
      break;  // no more threads to be had: the workers there are share the plan
    }
  }
  Work(schedule);   // this thread is the first worker
  helpers.clear();  // joins: the run ends after every connection has
  std::lock_guard guard(RunFailureLock_);
  if (RunFailure_) std::rethrow_exception(RunFailure_);
}

void TSearchDevicesTask::Work(TConnectionSchedule& Schedule) noexcept {
  try {
    while (const std::optional<std::size_t> index = Schedule.Take([this] { return Stopping(); })) {
      const TFinally done([&Schedule, index] { Schedule.Done(*index); });
      SearchPlanConnection(*index);
    }
  } catch (const EAbort&) {
    // Stop cut an attempt short: this worker ends with the run.
  } catch (...) {
    // An exception that escapes a connection ends the whole run: the other workers stop at
    // their next check point, and the first such exception is the run's.
    std::lock_guard guard(RunFailureLock_);
    if (!RunFailure_) RunFailure_ = std::current_exception();
    RunEnding_ = true;
  }
}

void TSearchDevicesTask::SearchPlanConnection(std::size_t Index) {
  if (Index < SerialPortNames.size()) {
    const std::string& portName = SerialPortNames[Index];
    const std::vector<TLineFormat> formats = PlanLineFormats();
    try {
      for (const std::int32_t baudRate : BaudRates) {
        for (const TLineFormat& format : formats) {
          for (const TDeviceProtocol protocol : Protocols) {
            if (Stopping()) return;
            SearchConnection(portName, baudRate, AddressesOf(protocol),
                             TConnectionType::ctSerialPort, protocol, format);
          }
        }
      }
    } catch (const EConnectionOpenError&) {
      // The port cannot be opened: its remaining baud rates, formats and protocols are
      // skipped. The attempt that met the error has reported it already.
    }
    return;
  }
  const std::string& endpointText = Endpoints_[Index - SerialPortNames.size()];
  if (Stopping()) return;
  try {
    for (const TDeviceProtocol protocol : Protocols)
      SearchTcpEndpoint(endpointText, protocol, AddressesOf(protocol));
  } catch (const EConnectionOpenError&) {
    // The endpoint cannot be connected: its remaining protocols are skipped.
  }
}

TDeviceIdentities TSearchDevicesTask::DeviceIdentities(std::size_t Index) const {
  if (Index < SerialPortNames.size()) {
    // The connection factory shares one connection between the names this rule makes one.
    const std::string name = Trim(SerialPortNames[Index]);
    return {"serial:" + platform::SerialPortNameKey(name),
            "device:" + platform::SerialDeviceKey(name)};
  }
  const TTcpEndPoint endPoint = ParseTcpEndPointText(Endpoints_[Index - SerialPortNames.size()]);
  const std::string port = ":" + std::to_string(endPoint.TcpPort);
  TDeviceIdentities ids{"tcp:" + LowerCaseAscii(endPoint.TcpAddr) + port};
  for (const std::string& address : platform::HostAddresses(endPoint.TcpAddr))
    ids.push_back("tcp:" + address + port);
  return ids;
}

template <class THandler, class... TArgs>
void TSearchDevicesTask::Raise(const THandler& Handler, const TArgs&... Args) {
  if (!Handler) return;
  std::lock_guard guard(EventLock_);
  Handler(this, Args...);
}

void TSearchDevicesTask::SearchTcpEndpoint(const std::string& EndpointText,
                                           TDeviceProtocol Protocol, const TAddressList& List) {
  // The same parser as the endpoint dialog and the TCP connection string builder.
  const TTcpEndPoint endPoint = ParseTcpEndPointText(EndpointText);
  SearchConnection(endPoint.TcpAddr, endPoint.TcpPort, List, TConnectionType::ctTcp, Protocol);
}

void TSearchDevicesTask::SearchConnection(const std::string& ConnectionName,
                                          std::int32_t BaudRateOrPort, const TAddressList& List,
                                          TConnectionType ConnectionType, TDeviceProtocol Protocol,
                                          const std::optional<TLineFormat>& LineFormat) {
  // The log outlives the searcher, which writes to it until it is gone.
  TSearchLog log;
  std::unique_ptr<IDeviceSearcher> searcher =
      CreateDeviceSearcher(ConnectionName, BaudRateOrPort, Protocol, ConnectionType);
  if (!searcher) return;
  TSearchAttempt attempt{ConnectionName, BaudRateOrPort, Protocol, ConnectionType, 0};
  // The format names the connection only where the plan has another than 8N1.
  if (LineFormat && !IsDefaultLineFormatsOnly(LineFormats)) attempt.LineFormat = *LineFormat;

  // A failure is reported with the attempt's log; an EConnectionOpenError then ends this
  // (connection, protocol) run and the rest of the connection, anything else lets the next
  // address follow.
  const auto reportFailure = [&](const Exception& Error) {
    Raise(OnSearchError, attempt, Error, log);
    if (Error.Is<EConnectionOpenError>()) Error.Raise();
  };
  // A handler that fails on a found device makes the attempt a failed one.
  const auto reportFound = [&](const TDeviceInfo& Device, const TSearchLog& FoundLog) {
    if (!OnDeviceFound) return;
    if (const std::unique_ptr<Exception> failure =
            FailureOf([&] { Raise(OnDeviceFound, attempt, Device, FoundLog); }))
      reportFailure(*failure);
  };
  // Goes with a device found after the error line of its own attempt, which carried the log.
  const TSearchLog noLog{};

  try {
    searcher->SetLog(&log);
    searcher->SetLogTraffic(LogTraffic);
    searcher->SetKeepLog(KeepAttemptLogs);
    if (LineFormat) searcher->SetLineFormat(*LineFormat);
    searcher->SetRequestRetryCount(RequestRetryCount);
    searcher->SetStartOfPacketReadTimeout(StartOfPacketReadTimeout);
    searcher->SetReadTimeout(Protocol == TDeviceProtocol::dpOrvatAscii ? OrvatAsciiReadTimeout
                                                                       : ReadTimeout);
    for (const std::uint8_t address : List) {
      if (Stopping()) break;
      attempt.Address = address;
      Raise(OnProgressChanged, attempt);
      TAttemptResult result;
      if (const std::unique_ptr<Exception> failure = FailureOf([&] {
            log.Clear();
            result = searcher->Attempt(address);
          }))
        result = TAttemptResult::Failed(*failure);
      switch (result.Outcome) {
        case TAttemptOutcome::aoFound:
          reportFound(result.Device, log);
          break;
        case TAttemptOutcome::aoOtherMaker:
          // The maker's identification failed, yet a device answered: it is found after its
          // error line.
          reportFailure(*result.Error);
          reportFound(result.Device, noLog);
          break;
        case TAttemptOutcome::aoFailed:
          reportFailure(*result.Error);
          break;
      }
      // An OrvatASCII device is listened to, not addressed: one attempt per run.
      if (Protocol == TDeviceProtocol::dpOrvatAscii) break;
    }
  } catch (...) {
    // Freeing the searcher closes the shared connection; a failure there replaces the
    // exception in flight.
    searcher->CloseConnection();
    throw;
  }
  searcher->CloseConnection();
}

}  // namespace probrix
