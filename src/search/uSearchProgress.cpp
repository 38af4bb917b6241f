#include "search/uSearchProgress.h"

#include <algorithm>

#include "foundation/appCodePage.h"
#include "foundation/appSysUtils.h"
#include "search/uEndPointRange.h"
#include "search/uSearchReport.h"

namespace probrix {

std::int64_t RunAttemptCount(TDeviceProtocol Protocol, std::size_t AddressCount) {
  if (AddressCount == 0) return 0;
  return Protocol == TDeviceProtocol::dpOrvatAscii ? 1 : static_cast<std::int64_t>(AddressCount);
}

TPlanAttempts CountPlanAttempts(const TSearchDevicesTask& Task) {
  TPlanAttempts plan;
  // One baud rate's runs, and what they cost with every address silent.
  const std::int64_t tries = std::max<std::int64_t>(1, Task.RequestRetryCount);
  std::int64_t perBaudMs = 0;
  for (const TDeviceProtocol protocol : Task.Protocols) {
    if (!IsValidDeviceProtocol(protocol)) continue;
    const std::size_t addresses = Task.Addresses[static_cast<std::size_t>(protocol)].size();
    const std::int64_t attempts = RunAttemptCount(protocol, addresses);
    plan.PerEndpoint += attempts;
    switch (protocol) {
      case TDeviceProtocol::dpOrvatAscii:
        perBaudMs += attempts * OrvatAsciiReadTimeout;
        break;
      case TDeviceProtocol::dpOrvatbus:  // "crc1", then "crc8"
        perBaudMs += attempts * 2 * tries * Task.StartOfPacketReadTimeout;
        break;
      default:
        perBaudMs += attempts * tries * Task.StartOfPacketReadTimeout;
        break;
    }
  }
  // Every baud rate of a port with every line format of the plan.
  const auto bauds =
      static_cast<std::int64_t>(Task.BaudRates.size() * Task.PlanLineFormats().size());
  plan.PerSerialPort = bauds * plan.PerEndpoint;
  plan.SerialPorts = static_cast<std::int64_t>(Task.SerialPortNames.size());
  for (const std::string& endpoint : Task.TcpEndpoints) {
    std::int64_t hosts = 1;
    if (IsEndPointRangeText(endpoint)) {
      try {
        hosts = static_cast<std::int64_t>(ParseEndPointRange(endpoint).Count());
      } catch (const Exception&) {
        hosts = 0;  // refused when the search starts
      }
    }
    plan.Endpoints += hosts;
  }
  plan.Total = plan.SerialPorts * plan.PerSerialPort + plan.Endpoints * plan.PerEndpoint;

  const std::int64_t serialMs = bauds * perBaudMs, endpointMs = perBaudMs;
  const std::int64_t connections = plan.SerialPorts + plan.Endpoints;
  if (connections > 0) {
    const std::int64_t wanted = Task.ParallelConnections == 0 ? MaxParallelConnections
                                : Task.ParallelConnections < 1
                                    ? 1
                                    : std::min(Task.ParallelConnections, MaxParallelConnections);
    const std::int64_t workers = std::min(connections, wanted);
    const std::int64_t sum = plan.SerialPorts * serialMs + plan.Endpoints * endpointMs;
    const std::int64_t longest =
        std::max(plan.SerialPorts > 0 ? serialMs : 0, plan.Endpoints > 0 ? endpointMs : 0);
    plan.WorstCaseMs = std::max(longest, (sum + workers - 1) / workers);
  }
  return plan;
}

// --- TSearchProgress ---------------------------------------------------------------------

TSearchProgress::TSearchProgress(const TPlanAttempts& Plan) : Plan_(Plan), Total_(Plan.Total) {}

TSearchProgress::TConnection& TSearchProgress::Connection(const TSearchAttempt& Attempt) {
  // A serial port keeps its name through its baud rates; an endpoint is its host and port.
  std::string key = Attempt.ConnectionName;
  if (Attempt.ConnectionType == TConnectionType::ctTcp) {
    key = "tcp " + key + ":" + IntToStr(Attempt.BaudRateOrPort);
  } else {
    key = "serial " + key;
  }
  return Connections_[key];
}

std::int64_t TSearchProgress::Planned(const TSearchAttempt& Attempt) const {
  return Attempt.ConnectionType == TConnectionType::ctTcp ? Plan_.PerEndpoint : Plan_.PerSerialPort;
}

void TSearchProgress::AttemptBegun(const TSearchAttempt& Attempt) {
  TConnection& c = Connection(Attempt);
  if (c.InProgress) ++Done_;  // its outcome was never told (a handler failed)
  if (c.Begun == 0) c.Order = NextOrder_++;
  c.Current = Attempt;
  c.InProgress = true;
  ++c.Begun;
}

void TSearchProgress::AttemptEnded(const TSearchAttempt& Attempt) {
  TConnection& c = Connection(Attempt);
  if (!c.InProgress) return;
  c.InProgress = false;
  ++Done_;
}

void TSearchProgress::ConnectionEnded(const TSearchAttempt& Attempt) {
  AttemptEnded(Attempt);
  TConnection& c = Connection(Attempt);
  if (c.Ended) return;
  c.Ended = true;
  // The same connection twice in a plan: only what is surely left is taken off.
  const std::int64_t skipped = std::max<std::int64_t>(0, Planned(Attempt) - c.Begun);
  Total_ = std::max(Done_, Total_ - skipped);
}

void TSearchProgress::SweepMissed() { Total_ = std::max(Done_, Total_ - Plan_.PerEndpoint); }

void TSearchProgress::Finished() {
  for (auto& [key, c] : Connections_) {
    if (c.InProgress) ++Done_;
    c.InProgress = false;
    c.Ended = true;
  }
}

std::vector<TSearchAttempt> TSearchProgress::Running() const {
  std::vector<const TConnection*> running;
  for (const auto& [key, c] : Connections_)
    if (c.InProgress || (!c.Ended && c.Begun < Planned(c.Current))) running.push_back(&c);
  std::sort(running.begin(), running.end(),
            [](const TConnection* A, const TConnection* B) { return A->Order < B->Order; });
  std::vector<TSearchAttempt> attempts;
  attempts.reserve(running.size());
  for (const TConnection* c : running) attempts.push_back(c->Current);
  return attempts;
}

std::int64_t TSearchProgress::EstimateLeftMs(std::int64_t ElapsedMs) const {
  const std::int64_t left = std::max<std::int64_t>(0, Total_ - Done_);
  if (left == 0) return 0;
  const std::int64_t worst =
      Plan_.Total > 0
          ? static_cast<std::int64_t>(static_cast<double>(Plan_.WorstCaseMs) * left / Plan_.Total)
          : 0;
  if (Done_ == 0) return worst;
  const auto pace = static_cast<std::int64_t>(static_cast<double>(ElapsedMs) * left / Done_);
  return std::min(pace, worst);
}

// --- Texts -------------------------------------------------------------------------------

std::string RunningConnectionsText(const std::vector<TSearchAttempt>& Running) {
  if (Running.empty()) return {};
  const auto point = [](const TSearchAttempt& A) {
    return SafeLogText(ConnectionPointText(A.ConnectionName, A.BaudRateOrPort, A.ConnectionType));
  };
  const auto listens = [](const TSearchAttempt& A) {
    return A.Protocol == TDeviceProtocol::dpOrvatAscii;
  };
  if (Running.size() == 1) {
    const TSearchAttempt& a = Running.front();
    if (!listens(a)) return ProgressText(a);
    return Format("%s\r\nПротокол: %s\r\nПрослушивание",
                  {point(a), DeviceProtocolName(a.Protocol)});
  }
  std::string text;
  for (const TSearchAttempt& a : Running) {
    if (!text.empty()) text += "\r\n";
    text += listens(a)
                ? Format("%s %s, прослушивание", {point(a), DeviceProtocolName(a.Protocol)})
                : Format("%s %s, адрес %d", {point(a), DeviceProtocolName(a.Protocol), a.Address});
  }
  return text;
}

std::string DurationText(std::int64_t Ms) {
  const std::int64_t s = std::max<std::int64_t>(0, Ms) / 1000;
  const std::int64_t h = s / 3600, m = s / 60 % 60, sec = s % 60;
  return h > 0 ? Format("%d:%.2d:%.2d", {h, m, sec}) : Format("%d:%.2d", {m, sec});
}

std::string ElapsedAndLeftText(std::int64_t ElapsedMs, std::int64_t LeftMs) {
  return Format("прошло %s, осталось ~%s", {DurationText(ElapsedMs), DurationText(LeftMs)});
}

std::int64_t WorstCaseMinutes(std::int64_t WorstCaseMs) {
  return (std::max<std::int64_t>(0, WorstCaseMs) + 59999) / 60000;
}

}  // namespace probrix
