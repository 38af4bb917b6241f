// The sweep of many TCP addresses at once: listening, refusing and silent hosts on loopback
// addresses, silent ones in a network of the test's own where SYNs are dropped.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <map>
#include <string>
#include <vector>

#include "platform/platCancel.h"
#include "platform/platSocketSweep.h"
#include "support/TestNetNamespace.h"
#include "support/TestSupport.h"

namespace probrix {
namespace {

using platform::TConnectOutcome;

platform::TSockAddrBytes Address(const std::string& Host, std::uint16_t Port) {
  sockaddr_in sin{};
  sin.sin_family = AF_INET;
  sin.sin_port = htons(Port);
  ::inet_pton(AF_INET, Host.c_str(), &sin.sin_addr);
  platform::TSockAddrBytes bytes{};
  std::memcpy(bytes.data(), &sin, sizeof sin);
  return bytes;
}

// 127.0.0.<First>..<Last> at Port, as a range's addresses are made.
std::vector<platform::TSockAddrBytes> Hosts(int First, int Last, std::uint16_t Port) {
  std::vector<platform::TSockAddrBytes> list;
  for (int i = First; i <= Last; ++i)
    list.push_back(platform::SocketIPv4Address(0x7F000000u | static_cast<std::uint32_t>(i), Port));
  return list;
}

// Listeners on the given loopback addresses, all at one port (Port, or one the system picks).
class TListeners {
 public:
  explicit TListeners(const std::vector<std::string>& Hosts, std::uint16_t Port = 0) {
    for (int attempt = 0; attempt < 20 && Fds_.empty(); ++attempt) {
      std::uint16_t port = Port;
      for (const std::string& host : Hosts) {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const platform::TSockAddrBytes a = Address(host, port);
        sockaddr_in sin{};
        std::memcpy(&sin, a.data(), sizeof sin);
        socklen_t len = sizeof sin;
        if (::bind(fd, reinterpret_cast<sockaddr*>(&sin), sizeof sin) != 0 ||
            ::listen(fd, 64) != 0 ||
            ::getsockname(fd, reinterpret_cast<sockaddr*>(&sin), &len) != 0) {
          ::close(fd);
          Close();  // that port is taken on one of them: another round
          break;
        }
        port = ntohs(sin.sin_port);
        Fds_.push_back(fd);
        Port_ = port;
      }
    }
  }
  ~TListeners() { Close(); }
  std::uint16_t Port() const { return Port_; }

 private:
  void Close() {
    for (int fd : Fds_) ::close(fd);
    Fds_.clear();
  }
  std::vector<int> Fds_;
  std::uint16_t Port_ = 0;
};

// Each address's outcome, which must come once.
struct TOutcomes {
  std::map<std::size_t, TConnectOutcome> ByIndex;
  int Repeated = 0;
  platform::TSweepOutcomeFn Fn() {
    return [this](std::size_t Index, TConnectOutcome Outcome, const platform::TOsError&) {
      Repeated += ByIndex.count(Index) ? 1 : 0;
      ByIndex[Index] = Outcome;
    };
  }
  std::size_t Count(TConnectOutcome Outcome) const {
    std::size_t n = 0;
    for (const auto& [index, outcome] : ByIndex) n += outcome == Outcome ? 1 : 0;
    return n;
  }
};

TEST(SocketSweep, ListeningHostsAcceptTheOthersRefuse) {
  const TListeners listeners({"127.0.0.5", "127.0.0.9"});
  ASSERT_NE(listeners.Port(), 0);
  TOutcomes outcomes;
  const auto list = Hosts(2, 12, listeners.Port());
  EXPECT_FALSE(platform::SweepConnect(list, 2000, 0, outcomes.Fn()));
  ASSERT_EQ(outcomes.ByIndex.size(), list.size());
  EXPECT_EQ(outcomes.Repeated, 0);
  for (const auto& [index, outcome] : outcomes.ByIndex) {
    const bool listening = index == 3 || index == 7;  // .5 and .9
    EXPECT_EQ(outcome, listening ? TConnectOutcome::coAccepted : TConnectOutcome::coRefused)
        << "127.0.0." << index + 2;
  }
}

TEST(SocketSweep, SilentHostsAreAllInFlightAtOnce) {
  const std::string why = test::RunInPrivateNetwork(test::DropSynsTo("127.0.0.0/24"), [] {
    // 254 silent hosts: every connect is in flight before the first one gives up.
    TOutcomes outcomes;
    platform::TSweepStats stats;
    const auto list = Hosts(1, 254, 502);
    EXPECT_FALSE(platform::SweepConnect(list, 50, 256, outcomes.Fn(), &stats));
    EXPECT_EQ(stats.PeakInFlight, 254u);
    EXPECT_EQ(outcomes.Count(TConnectOutcome::coSilent), 254u);
    EXPECT_EQ(outcomes.Repeated, 0);

    // A bound on the connects in flight holds.
    TOutcomes bounded;
    platform::TSweepStats boundedStats;
    EXPECT_FALSE(platform::SweepConnect(Hosts(1, 20, 502), 20, 4, bounded.Fn(), &boundedStats));
    EXPECT_EQ(boundedStats.PeakInFlight, 4u);
    EXPECT_EQ(bounded.Count(TConnectOutcome::coSilent), 20u);
  });
  if (!why.empty()) GTEST_SKIP() << why;
}

TEST(SocketSweep, TheCancelEventEndsTheSweepAtOnce) {
  const std::string why = test::RunInPrivateNetwork(test::DropSynsTo("127.0.0.0/24"), [] {
    platform::TCancelEvent cancel;
    const platform::TCancelScope scope(cancel);
    // 127.0.1.1 refuses at once (nothing listens, no rule); the silent hosts after it would
    // hold the sweep for ten seconds.
    auto list = Hosts(1, 50, 502);
    list.insert(list.begin(), Address("127.0.1.1", 502));
    TOutcomes outcomes;
    const auto fn = outcomes.Fn();
    const platform::TOsError error = platform::SweepConnect(
        list, 10000, 0, [&](std::size_t I, TConnectOutcome O, const platform::TOsError& E) {
          fn(I, O, E);
          cancel.Set();
        });
    EXPECT_EQ(error.Kind, platform::TErrorKind::ekCancelled);
    ASSERT_EQ(outcomes.ByIndex.size(), 1u) << "nothing after the stop";
    EXPECT_EQ(outcomes.ByIndex.begin()->second, TConnectOutcome::coRefused);
  });
  if (!why.empty()) GTEST_SKIP() << why;
}

TEST(SocketSweep, TheDescriptorLimitBoundsTheConnectsInFlight) {
  const std::string why = test::RunInPrivateNetwork(test::DropSynsTo("127.0.0.0/24"), [] {
    rlimit saved{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
    // Room for a few descriptors beyond those open now: the limit leaves the reserve free, and
    // a sweep told to keep more in flight goes on with what the system gives.
    const int probe = ::dup(0);
    ASSERT_GE(probe, 0);
    ::close(probe);
    rlimit tight = saved;
    tight.rlim_cur = static_cast<rlim_t>(probe) + 40;
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &tight), 0);
    const std::size_t limit = platform::SweepInFlightLimit();
    tight.rlim_cur = static_cast<rlim_t>(probe) + 6;
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &tight), 0);
    TOutcomes outcomes;
    platform::TSweepStats stats;
    const platform::TOsError error =
        platform::SweepConnect(Hosts(1, 30, 502), 20, 256, outcomes.Fn(), &stats);
    ::setrlimit(RLIMIT_NOFILE, &saved);

    EXPECT_GE(limit, 1u);
    EXPECT_LE(limit, 40u - 32u + 1u);
    EXPECT_FALSE(error) << error.Text;
    EXPECT_GE(stats.PeakInFlight, 1u);
    EXPECT_LE(stats.PeakInFlight, 6u);
    EXPECT_EQ(outcomes.Count(TConnectOutcome::coSilent), 30u);
  });
  if (!why.empty()) GTEST_SKIP() << why;
}

}  // namespace
}  // namespace probrix
