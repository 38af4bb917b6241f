// The search task's sweep of the plan's address ranges: every range is connected to at once,
// many connects in flight, and only the hosts that accept become endpoints of the search.

#include <optional>

#include "connections/ioDeviceConnection.h"
#include "foundation/ioExceptions.h"
#include "search/uEndPointRange.h"
#include "search/uFinderEngine.h"

namespace probrix {

std::vector<std::string> TSearchDevicesTask::SweepRanges() {
  // The ranges of the plan, each as the span of its addresses in one list: they are swept
  // together, so several ranges cost no more waiting than one.
  struct TRangeEntry {
    std::size_t Entry;  // index in TcpEndpoints
    TEndPointRange Range;
    std::size_t Start;  // its first address in the list
  };
  std::vector<TRangeEntry> ranges;
  std::vector<platform::TSockAddrBytes> addresses;
  for (std::size_t i = 0; i < TcpEndpoints.size(); ++i) {
    if (!IsEndPointRangeText(TcpEndpoints[i])) continue;
    const TEndPointRange range = ParseEndPointRange(TcpEndpoints[i]);
    ranges.push_back({i, range, addresses.size()});
    for (std::size_t a = 0; a < range.Count(); ++a)
      addresses.push_back(
          platform::SocketIPv4Address(range.First + static_cast<std::uint32_t>(a), range.Port));
  }
  if (ranges.empty()) return TcpEndpoints;

  // The range an address of the list belongs to.
  std::size_t current = 0;
  const auto rangeOf = [&](std::size_t Index) -> const TRangeEntry& {
    while (current + 1 < ranges.size() && Index >= ranges[current + 1].Start) ++current;
    while (Index < ranges[current].Start) --current;
    return ranges[current];
  };
  const auto raise = [&](const auto& Handler, const auto& Args) {
    if (!Handler) return;
    std::lock_guard guard(EventLock_);
    Handler(this, Args);
  };

  // Outcomes come as connects end; the misses are reported in address order, each as soon as
  // every address before it is known.
  std::vector<std::optional<platform::TConnectOutcome>> outcomes(addresses.size());
  std::vector<std::string> systemTexts(addresses.size());
  TSweepProgress progress;
  progress.Total = addresses.size();
  progress.RangeText = TcpEndpoints[ranges.front().Entry];
  raise(OnSweepProgress, progress);
  std::size_t reported = 0;
  const platform::TOsError error = platform::SweepConnect(
      addresses, platform::SocketConnectTimeoutMs, 0,
      [&](std::size_t Index, platform::TConnectOutcome Outcome, const platform::TOsError& Error) {
        outcomes[Index] = Outcome;
        if (Outcome == platform::TConnectOutcome::coFailed) systemTexts[Index] = Error.Text;
        ++progress.Done;
        if (Outcome == platform::TConnectOutcome::coAccepted) ++progress.Accepted;
        for (; reported < outcomes.size() && outcomes[reported]; ++reported) {
          if (*outcomes[reported] == platform::TConnectOutcome::coAccepted) continue;
          const TRangeEntry& r = rangeOf(reported);
          raise(OnSweepMiss,
                TSweepMiss{r.Range.AddressText(reported - r.Start), r.Range.Port,
                           TcpEndpoints[r.Entry], *outcomes[reported], systemTexts[reported]});
        }
        progress.RangeText = TcpEndpoints[rangeOf(reported == 0 ? 0 : reported - 1).Entry];
        raise(OnSweepProgress, progress);
      });
  if (error.Kind == platform::TErrorKind::ekCancelled) return {};
  if (error)
    throw CreateSocketError<ECreateSocketError>("Перебор адресов TCP-подключений не удался",
                                                error.Code);

  // The plan's order, each range in its place by the hosts that accepted, in address order.
  std::vector<std::string> endpoints;
  std::size_t next = 0;
  for (std::size_t i = 0; i < TcpEndpoints.size(); ++i) {
    if (next >= ranges.size() || ranges[next].Entry != i) {
      endpoints.push_back(TcpEndpoints[i]);
      continue;
    }
    const TRangeEntry& r = ranges[next++];
    for (std::size_t a = 0; a < r.Range.Count(); ++a)
      if (outcomes[r.Start + a] == platform::TConnectOutcome::coAccepted)
        endpoints.push_back(MakeTcpEndPointText(r.Range.AddressText(a), r.Range.Port));
  }
  return endpoints;
}

}  // namespace probrix
