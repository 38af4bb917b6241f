// The sweep of many TCP addresses at once, against silent hosts: a network of the test's own
// where SYNs to 127.0.0.0/24 are dropped. (Listening and refusing hosts: the Modbus TCP
// search tests and the Windows half's test.)

#include <sys/resource.h>
#include <unistd.h>

#include <map>
#include <vector>

#include "platform/platCancel.h"
#include "platform/platSocketSweep.h"
#include "support/TestNetNamespace.h"
#include "support/TestSupport.h"

namespace probrix {
namespace {

using platform::TConnectOutcome;

// 127.0.0.<First>..<Last> at port 502, as a range's addresses are made.
std::vector<platform::TSockAddrBytes> Hosts(std::uint32_t First, std::uint32_t Last) {
  std::vector<platform::TSockAddrBytes> list;
  for (std::uint32_t i = First; i <= Last; ++i)
    list.push_back(platform::SocketIPv4Address(0x7F000000u | i, 502));
  return list;
}

// Sweeps and counts each outcome; an address reported twice counts as a failure.
std::map<TConnectOutcome, std::size_t> Sweep(const std::vector<platform::TSockAddrBytes>& List,
                                             std::int32_t TimeoutMs, std::size_t MaxInFlight,
                                             platform::TSweepStats& Stats,
                                             platform::TOsError& Error) {
  std::map<TConnectOutcome, std::size_t> counts;
  std::vector<int> seen(List.size());
  Error = platform::SweepConnect(
      List, TimeoutMs, MaxInFlight,
      [&](std::size_t I, TConnectOutcome O, const platform::TOsError&) {
        EXPECT_EQ(seen[I]++, 0) << "address " << I << " reported twice";
        ++counts[O];
      },
      &Stats);
  return counts;
}

TEST(SocketSweep, SilentHostsAreAllInFlightAtOnceWithinTheBounds) {
  const std::string why = test::RunInPrivateNetwork(test::DropSynsTo("127.0.0.0/24"), [] {
    // 254 silent hosts: every connect is in flight before the first one gives up.
    platform::TSweepStats stats;
    platform::TOsError error;
    auto counts = Sweep(Hosts(1, 254), 50, 256, stats, error);
    EXPECT_FALSE(error) << error.Text;
    EXPECT_EQ(stats.PeakInFlight, 254u);
    EXPECT_EQ(counts[TConnectOutcome::coSilent], 254u);

    // A bound given by the caller holds.
    stats = {};
    counts = Sweep(Hosts(1, 20), 20, 4, stats, error);
    EXPECT_EQ(stats.PeakInFlight, 4u);
    EXPECT_EQ(counts[TConnectOutcome::coSilent], 20u);

    // So does the descriptor limit: the default leaves a reserve below it, and a sweep told to
    // keep more in flight than the system then gives goes on with what it gets.
    rlimit saved{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
    const int lowestFree = ::dup(0);
    ::close(lowestFree);
    rlimit tight = saved;
    tight.rlim_cur = static_cast<rlim_t>(lowestFree) + 40;
    ::setrlimit(RLIMIT_NOFILE, &tight);
    const std::size_t limit = platform::SweepInFlightLimit();
    tight.rlim_cur = static_cast<rlim_t>(lowestFree) + 6;
    ::setrlimit(RLIMIT_NOFILE, &tight);
    stats = {};
    counts = Sweep(Hosts(1, 30), 20, 256, stats, error);
    ::setrlimit(RLIMIT_NOFILE, &saved);
    EXPECT_GE(limit, 1u);
    EXPECT_LE(limit, 8u);
    EXPECT_FALSE(error) << error.Text;
    EXPECT_LE(stats.PeakInFlight, 6u);
    EXPECT_EQ(counts[TConnectOutcome::coSilent], 30u);
  });
  if (!why.empty()) GTEST_SKIP() << why;
}

TEST(SocketSweep, TheCancelEventEndsTheSweepAtOnce) {
  const std::string why = test::RunInPrivateNetwork(test::DropSynsTo("127.0.0.0/24"), [] {
    platform::TCancelEvent cancel;
    const platform::TCancelScope scope(cancel);
    // 127.0.1.1 refuses at once (no rule there); it sets the stop while the silent hosts after
    // it would hold the sweep for ten seconds.
    auto list = Hosts(1, 50);
    list.insert(list.begin(), platform::SocketIPv4Address(0x7F000101u, 502));
    std::vector<TConnectOutcome> outcomes;
    const platform::TOsError error = platform::SweepConnect(
        list, 10000, 0, [&](std::size_t, TConnectOutcome O, const platform::TOsError&) {
          outcomes.push_back(O);
          cancel.Set();
        });
    EXPECT_EQ(error.Kind, platform::TErrorKind::ekCancelled);
    EXPECT_EQ(outcomes, std::vector<TConnectOutcome>{TConnectOutcome::coRefused});
  });
  if (!why.empty()) GTEST_SKIP() << why;
}

}  // namespace
}  // namespace probrix
