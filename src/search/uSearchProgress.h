#pragma once

// How big a search plan is and how far a running search has come: the attempts the task's walk
// makes (counted in one place, so that a new dimension of the plan is one more factor there),
// the plan's worst-case duration, and the attempts done of all as the task's events tell them.

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "search/uFinderEngine.h"
#include "search/uFinderEngineTypes.h"

namespace probrix {

// The attempts one run (a connection at one baud rate with one protocol) makes over
// AddressCount addresses: one per address; an OrvatASCII run listens once whatever its list.
std::int64_t RunAttemptCount(TDeviceProtocol Protocol, std::size_t AddressCount);

// The size of a plan as the task walks it: every serial port x baud rate x protocol x address,
// then every TCP endpoint x protocol x address, each host of an address range counted as an
// endpoint of its own (the sweep drops those that accept no connection). Connections searched
// at once make the same attempts, sooner.
struct TPlanAttempts {
  std::int64_t PerSerialPort = 0;  // all the baud rates of one port, with every line format
  std::int64_t PerEndpoint = 0;
  std::int64_t Total = 0;
  std::int64_t SerialPorts = 0;  // connections of the plan
  std::int64_t Endpoints = 0;    // the hosts of ranges counted one by one
  // Every address silent: each try waits out the reply timeout (Orvatbus tries both checksums),
  // each OrvatASCII run listens its whole read timeout; with connections searched at once, the
  // connections shared among the workers, never less than the longest one.
  std::int64_t WorstCaseMs = 0;
};
TPlanAttempts CountPlanAttempts(const TSearchDevicesTask& Task);

// A running search's attempts as its events tell them, on the thread that takes the events.
// A connection is a serial port (all its baud rates) or an endpoint.
class TSearchProgress {
 public:
  TSearchProgress() = default;
  explicit TSearchProgress(const TPlanAttempts& Plan);

  // The progress event: Attempt begins; the connection's previous attempt (if its outcome has
  // not been told) has ended.
  void AttemptBegun(const TSearchAttempt& Attempt);
  // A found or error event: the connection's attempt in progress has ended (a second event of
  // the same attempt changes nothing).
  void AttemptEnded(const TSearchAttempt& Attempt);
  // The connection cannot be opened: its attempts not yet begun will never be made.
  void ConnectionEnded(const TSearchAttempt& Attempt);
  // An address of a range accepted no connection: its attempts leave the plan.
  void SweepMissed();
  // The run has ended: no attempt is in progress any more.
  void Finished();

  std::int64_t Done() const { return Done_; }
  std::int64_t Total() const { return Total_; }
  // The current attempt of each connection being searched, in the order they began.
  std::vector<TSearchAttempt> Running() const;
  // The time the rest may take after ElapsedMs: at the pace so far, never beyond the plan's
  // worst case for the attempts left; the worst case before the first attempt has ended.
  std::int64_t EstimateLeftMs(std::int64_t ElapsedMs) const;

 private:
  struct TConnection {
    TSearchAttempt Current;
    std::int64_t Begun = 0;
    bool InProgress = false;
    bool Ended = false;  // cannot be opened
    std::uint64_t Order = 0;
  };
  TConnection& Connection(const TSearchAttempt& Attempt);
  std::int64_t Planned(const TSearchAttempt& Attempt) const;

  TPlanAttempts Plan_;
  std::int64_t Total_ = 0;
  std::int64_t Done_ = 0;
  std::uint64_t NextOrder_ = 0;
  std::map<std::string, TConnection> Connections_;
};

// The progress label: the one connection being searched as three lines ("COM5:9600",
// "Протокол: Orvatbus", "Адрес: 2"; OrvatASCII "Прослушивание" instead of an address nobody
// entered), several as one line each ("COM5:9600 ModbusRTU, адрес 17").
std::string RunningConnectionsText(const std::vector<TSearchAttempt>& Running);
// "0:45", "12:05", "1:02:03".
std::string DurationText(std::int64_t Ms);
// "прошло 0:45, осталось ~5:10"
std::string ElapsedAndLeftText(std::int64_t ElapsedMs, std::int64_t LeftMs);
// Whole minutes, rounded up: the "до N мин" of a long plan.
std::int64_t WorstCaseMinutes(std::int64_t WorstCaseMs);

}  // namespace probrix
