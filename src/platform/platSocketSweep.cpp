#include "platform/platSocketSweep.h"

#include <algorithm>
#include <utility>

#include "platform/platCancel.h"
#include "platform/platSocketSweepOs.h"

namespace probrix::platform {

TOsError SweepConnect(std::span<const TSockAddrBytes> Addresses, std::int32_t TimeoutMs,
                      std::size_t MaxInFlight, const TSweepOutcomeFn& OnOutcome,
                      TSweepStats* Stats) {
  using detail::TSweepSystem;
  TSweepSystem system;
  if (system.SetupError()) return system.SetupError();
  std::size_t cap = MaxInFlight == 0 ? SweepInFlightLimit() : MaxInFlight;
  const auto timeout = std::chrono::milliseconds(std::max<std::int32_t>(TimeoutMs, 1));

  // The connects in flight, each with its deadline; whatever ends the sweep, none stays open.
  struct TInFlight {
    std::vector<std::size_t> Index;
    std::vector<TSocketHandle> Socket;
    std::vector<detail::TSweepClock::time_point> Deadline;
    ~TInFlight() {
      for (const TSocketHandle s : Socket) TSweepSystem::Close(s, false);
    }
  } flying;
  std::vector<int> codes;
  std::vector<std::pair<std::size_t, int>> ended;
  const auto report = [&](std::size_t Index, int Code) {
    if (OnOutcome) OnOutcome(Index, TSweepSystem::OutcomeOf(Code), TSweepSystem::ErrorOf(Code));
  };

  std::size_t next = 0;
  while (next < Addresses.size() || !flying.Socket.empty()) {
    while (next < Addresses.size() && flying.Socket.size() < cap) {
      if (CancelRequested()) return TSweepSystem::Cancelled();
      TSocketHandle socket = InvalidSocketHandle;
      const int code = system.Start(Addresses[next], socket);
      if (code == TSweepSystem::InProgress) {
        flying.Index.push_back(next++);
        flying.Socket.push_back(socket);
        flying.Deadline.push_back(detail::TSweepClock::now() + timeout);
        if (Stats != nullptr)
          Stats->PeakInFlight = std::max(Stats->PeakInFlight, flying.Socket.size());
      } else if (TSweepSystem::Exhausted(code)) {
        // The system gives fewer than asked: go on with those in flight, or fail without any.
        if (flying.Socket.empty()) return TSweepSystem::ErrorOf(code);
        cap = flying.Socket.size();
        break;
      } else {
        report(next++, code);
      }
    }
    if (flying.Socket.empty()) continue;

    const auto until = *std::min_element(flying.Deadline.begin(), flying.Deadline.end());
    if (const TOsError error = system.Wait(flying.Socket, until, codes)) return error;
    // What ended leaves the list before it is reported: a handler that throws leaves nothing
    // closed twice.
    const auto now = detail::TSweepClock::now();
    ended.clear();
    std::size_t kept = 0;
    for (std::size_t i = 0; i < flying.Socket.size(); ++i) {
      int code = codes[i];
      if (code == TSweepSystem::InProgress && now >= flying.Deadline[i])
        code = TSweepSystem::TimedOutCode();
      if (code == TSweepSystem::InProgress) {
        flying.Index[kept] = flying.Index[i];
        flying.Socket[kept] = flying.Socket[i];
        flying.Deadline[kept++] = flying.Deadline[i];
        continue;
      }
      TSweepSystem::Close(flying.Socket[i], code == 0);
      ended.emplace_back(flying.Index[i], code);
    }
    flying.Index.resize(kept);
    flying.Socket.resize(kept);
    flying.Deadline.resize(kept);
    for (const auto& [index, code] : ended) report(index, code);
  }
  return {};
}

}  // namespace probrix::platform
