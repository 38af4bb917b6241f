#pragma once

// Shared by the platform layer only: what the sweep of platSocketSweep.h needs of each
// system, so that its loop (what is in flight, deadlines, reporting) is written once.

#include <chrono>
#include <cstdint>
#include <span>
#include <vector>

#include "platform/platSocketSweep.h"

namespace probrix::platform::detail {

using TSweepClock = std::chrono::steady_clock;

// The system's side of one sweep: started once, its sockets closed by the loop.
class TSweepSystem {
 public:
  TSweepSystem();
  ~TSweepSystem();
  TSweepSystem(const TSweepSystem&) = delete;
  TSweepSystem& operator=(const TSweepSystem&) = delete;

  // A failure to set the sweep up (none on Linux).
  const TOsError& SetupError() const { return SetupError_; }

  // Starts a non-blocking connect to Address. 0: connected at once (and closed again with a
  // reset); InProgress: under way on Socket; any other value: the system's code of the failure,
  // and no socket is left.
  static constexpr int InProgress = -1;
  int Start(const TSockAddrBytes& Address, TSocketHandle& Socket);
  // Whether Code says the system has no socket left to give.
  static bool Exhausted(int Code);
  static int TimedOutCode();
  static TConnectOutcome OutcomeOf(int Code);
  // The system's failure for Code (none for 0), and the one of a sweep the cancel event ended.
  static TOsError ErrorOf(int Code);
  static TOsError Cancelled();

  // Waits until a connect of Sockets ends, Until passes or the calling thread's cancel event
  // is set (ekCancelled). Codes[i] becomes InProgress or the outcome of Sockets[i] (0 when it
  // connected).
  TOsError Wait(std::span<const TSocketHandle> Sockets, TSweepClock::time_point Until,
                std::vector<int>& Codes);
  // Closes Socket; with Reset, abortively, so the host frees the connection at once.
  static void Close(TSocketHandle Socket, bool Reset);

 private:
  TOsError SetupError_;
#if defined(_WIN32)
  bool Started_ = false;   // the socket library was started for the sweep
  void* Event_ = nullptr;  // the event every socket signals its connect's end on
#endif
};

}  // namespace probrix::platform::detail
