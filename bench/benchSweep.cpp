// The sweep of a network segment where no host answers: a /24 of silent addresses (SYNs
// dropped in a network of the benchmark's own) swept with the program's connect timeout. One
// connect at a time would wait out the timeout 254 times; the sweep keeps them all in flight.

#include <chrono>
#include <cstdio>
#include <vector>

#include "benchReport.h"
#include "platform/platSocketSweep.h"
#include "search/uFinderEngine.h"
#include "support/TestNetNamespace.h"

namespace probrix::bench {
namespace {

int Run(int Repetitions) {
  std::vector<platform::TSockAddrBytes> hosts;
  for (std::uint32_t i = 1; i <= 254; ++i)
    hosts.push_back(platform::SocketIPv4Address(0x7F000000u | i, 502));
  const double timeout = platform::SocketConnectTimeoutMs;
  std::vector<double> ratios, searchRatios;
  std::size_t peak = 0, silent = 0, misses = 0;
  const std::string why = test::RunInPrivateNetwork(test::DropSynsTo("127.0.0.0/24"), [&] {
    for (int r = 0; r < Repetitions; ++r) {
      platform::TSweepStats stats;
      std::size_t quiet = 0;
      const auto start = std::chrono::steady_clock::now();
      const platform::TOsError error = platform::SweepConnect(
          hosts, platform::SocketConnectTimeoutMs, 0,
          [&](std::size_t, platform::TConnectOutcome Outcome, const platform::TOsError&) {
            quiet += Outcome == platform::TConnectOutcome::coSilent ? 1 : 0;
          },
          &stats);
      const double ms =
          std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
              .count();
      if (error) std::fprintf(stderr, "sweep failed: %s\n", error.Text.c_str());
      ratios.push_back(ms / timeout);
      peak = stats.PeakInFlight;
      silent = quiet;
      std::printf("sweep %d: %.0f ms, %zu silent, %zu in flight at most\n", r + 1, ms, quiet,
                  stats.PeakInFlight);

      // The same /24 as a block of a search's plan, from the start to the finished event.
      TSearchDevicesTask task;
      task.TcpEndpoints = {"127.0.0.0/24:502"};
      task.Protocols = {TDeviceProtocol::dpModbusTcp};
      task.SetAddresses(TDeviceProtocol::dpModbusTcp, std::vector<std::uint8_t>{1});
      std::size_t missed = 0;
      task.OnSweepMiss = [&](TSearchDevicesTask*, const TSweepMiss&) { ++missed; };
      const auto searchStart = std::chrono::steady_clock::now();
      task.Start();
      task.WaitFor();
      const double searchMs =
          std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - searchStart)
              .count();
      searchRatios.push_back(searchMs / timeout);
      misses = missed;
      std::printf("search %d: %.0f ms, %zu addresses without a connection\n", r + 1, searchMs,
                  missed);
    }
  });
  if (!why.empty()) {
    Result("sweep: a /24 of silent hosts, wall / connect timeout", "not measured", "<= 1.5", false,
           why);
    return 0;
  }
  const double median = Median(ratios);
  Result("sweep: a /24 of silent hosts, wall / connect timeout",
         Fixed(median, 3) + " (" + Fixed(median * timeout / 1000, 2) + " s)", "<= 1.5",
         median <= 1.5 && silent == 254,
         std::to_string(silent) + " of 254 silent, " + std::to_string(peak) +
             " connects in flight at once, connect timeout " + Fixed(timeout / 1000, 0) +
             " s, median of " + std::to_string(ratios.size()) +
             "; one at a time: 254 x the timeout (" + Fixed(254 * timeout / 1000, 0) + " s)");
  const double search = Median(searchRatios);
  Result("sweep: a search of the block 127.0.0.0/24:502 of silent hosts, wall / connect timeout",
         Fixed(search, 3) + " (" + Fixed(search * timeout / 1000, 2) + " s)", "<= 1.5",
         search <= 1.5 && misses == 254,
         std::to_string(misses) +
             " lines \"Нет TCP-подключения\", from the task's start to its finished event, "
             "median of " +
             std::to_string(searchRatios.size()));
  return 0;
}

}  // namespace
}  // namespace probrix::bench

int main(int argc, char** argv) {
  const int repetitions = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
  return probrix::bench::Run(repetitions);
}
