// probrix-cli (the whole product path: search, output, result log) beside a bare libmodbus loop
// reading the same registers from the same simulated devices. Each repetition measures both,
// so the machine's load touches the two alike; a figure is the median of the per-repetition
// ratios, with their spread.
//
// probrix-cli runs as a child process; its cost per device is the difference between a search
// of many devices and one of a single device, divided by the extra devices, so the program's
// start, the port's opening wait and the result log's creation drop out. The libmodbus loop
// runs on this thread and is timed (wall and the thread's CPU clock) around its reads.

#include "benchSearchPeers.h"

#include <fcntl.h>
#include <modbus.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <functional>
#include <vector>

#include "benchReport.h"

namespace probrix::bench {
namespace {

using Clock = std::chrono::steady_clock;

struct TCost {
  double Wall = 0;  // s
  double Cpu = 0;   // s, user + system
  bool Ok = true;
};

double ThreadCpu() {
  timespec t{};
  ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

// Program with Args, its output thrown away: wall from fork to its end, CPU of all its
// threads; Ok when it exits with ExpectedStatus.
TCost RunProgram(const std::string& Program, const std::vector<std::string>& Args,
                 int ExpectedStatus) {
  std::vector<char*> argv{const_cast<char*>(Program.c_str())};
  for (const std::string& a : Args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  const int devNull = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
  TCost cost;
  const auto t0 = Clock::now();
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(devNull, 1);
    ::dup2(devNull, 2);
    ::execv(Program.c_str(), argv.data());
    ::_exit(127);
  }
  int status = 0;
  rusage usage{};
  const bool waited = pid > 0 && ::wait4(pid, &status, 0, &usage) == pid;
  cost.Wall = std::chrono::duration<double>(Clock::now() - t0).count();
  if (devNull >= 0) ::close(devNull);
  cost.Cpu = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
             static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
  cost.Ok = waited && WIFEXITED(status) && WEXITSTATUS(status) == ExpectedStatus;
  return cost;
}

TCost RunCli(const std::vector<std::string>& Args, int ExpectedStatus) {
  return RunProgram(PROBRIX_CLI_PATH, Args, ExpectedStatus);
}

// This program by its path (under strace, /proc/self/exe would be strace itself).
std::string SelfPath() { return std::filesystem::read_symlink("/proc/self/exe").string(); }

// What one more device costs probrix-cli: a search of Count addresses against one of the
// first address alone. Base: the options naming the connection and protocol.
TCost CliPerDevice(std::vector<std::string> Base, const std::string& List, int Count, int Timeout) {
  for (const std::string& a : {std::string("--timeout"), std::to_string(Timeout),
                               std::string("--retries"), std::string("1")})
    Base.push_back(a);
  std::vector<std::string> one = Base, many = Base;
  one.insert(one.end(), {"--modbus-addresses", "1"});
  many.insert(many.end(), {"--modbus-addresses", List});
  const TCost a = RunCli(one, 0), b = RunCli(many, 0);
  return {(b.Wall - a.Wall) / (Count - 1), (b.Cpu - a.Cpu) / (Count - 1), a.Ok && b.Ok};
}

// libmodbus: connect, then Count reads of registers 1000..1009 of units 1..Units in turn. The
// cost of the reads only, or with Whole of everything from creating the context to freeing it.
// Ok when every read ended as Answered says (10 registers, or a time-out).
TCost LibmodbusReads(const std::function<modbus_t*()>& Create, int Units, int Count, bool Answered,
                     bool Whole = false, int TimeoutMs = 100) {
  TCost cost;
  const auto t0 = Clock::now();
  const double cpu0 = ThreadCpu();
  modbus_t* ctx = Create();
  if (ctx == nullptr) return {0, 0, false};
  modbus_set_response_timeout(ctx, 0, static_cast<std::uint32_t>(TimeoutMs) * 1000);
  if (modbus_connect(ctx) != 0) {
    modbus_free(ctx);
    return {0, 0, false};
  }
  const auto t1 = Clock::now();
  const double cpu1 = ThreadCpu();
  std::uint16_t registers[10];
  for (int i = 0; i < Count; ++i) {
    modbus_set_slave(ctx, 1 + i % Units);
    const int n = modbus_read_registers(ctx, 1000, 10, registers);
    cost.Ok = cost.Ok && (Answered ? n == 10 : n < 0 && errno == ETIMEDOUT);
  }
  const auto t2 = Clock::now();
  const double cpu2 = ThreadCpu();
  modbus_close(ctx);
  modbus_free(ctx);
  if (Whole) {
    cost.Wall = std::chrono::duration<double>(Clock::now() - t0).count();
    cost.Cpu = ThreadCpu() - cpu0;
  } else {
    cost.Wall = std::chrono::duration<double>(t2 - t1).count() / Count;
    cost.Cpu = (cpu2 - cpu1) / Count;
  }
  return cost;
}

// The system calls of Program with Args and all its threads, counted by strace (its "total"
// line); -1 when strace is missing or the program failed.
long long CountSystemCalls(const std::string& Program, const std::vector<std::string>& Args) {
  char out[] = "/tmp/probrix-bench-strace-XXXXXX";
  const int fd = ::mkstemp(out);
  if (fd < 0) return -1;
  ::close(fd);
  std::vector<std::string> all{"strace", "-f", "-c", "-o", out, Program};
  all.insert(all.end(), Args.begin(), Args.end());
  std::vector<char*> argv;
  for (std::string& a : all) argv.push_back(a.data());
  argv.push_back(nullptr);
  const int devNull = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(devNull, 1);
    ::dup2(devNull, 2);
    ::execvp("strace", argv.data());
    ::_exit(127);
  }
  int status = 0;
  const bool waited = pid > 0 && ::waitpid(pid, &status, 0) == pid;
  if (devNull >= 0) ::close(devNull);
  long long calls = -1;
  if (waited && WIFEXITED(status) && WEXITSTATUS(status) != 127) {
    std::FILE* f = std::fopen(out, "r");
    char line[512];
    while (f != nullptr && std::fgets(line, sizeof(line), f) != nullptr) {
      // "100.00    0.012345           3      4321       12 total": the calls column.
      const std::string text(line);
      if (text.find(" total") == std::string::npos) continue;
      double percent = 0, seconds = 0;
      long long usecs = 0;
      if (std::sscanf(line, "%lf %lf %lld %lld", &percent, &seconds, &usecs, &calls) != 4)
        calls = -1;
    }
    if (f != nullptr) std::fclose(f);
  }
  ::unlink(out);
  return calls;
}

// "1-50,1-50,..." naming Count addresses of Units units.
std::string AddressList(int Units, int Count) {
  std::string list;
  for (int i = 0; i < Count / Units; ++i)
    list += (list.empty() ? "1-" : ",1-") + std::to_string(Units);
  return list;
}

// One figure: the ratio per repetition of probrix-cli's value to the loop's.
struct TFigure {
  std::vector<double> Ours, Peer, Ratios;
  bool Ok = true;
  void Add(double O, double P, bool Good) {
    Ours.push_back(O);
    Peer.push_back(P);
    Ratios.push_back(P > 0 ? O / P : 0);
    Ok = Ok && Good;
  }
  // "1.43 (87 µs / 61 µs)" with Scale and Unit for the two values.
  std::string Measured(double Scale, const std::string& Unit, int Digits = 0) const {
    return Fixed(Median(Ratios), 2) + " (" + Fixed(Median(Ours) * Scale, Digits) + " " + Unit +
           " / " + Fixed(Median(Peer) * Scale, Digits) + " " + Unit + ")";
  }
  std::string Spread() const {
    return "ratio per repetition " + Fixed(Quantile(Ratios, 0), 2) + "-" +
           Fixed(Quantile(Ratios, 1), 2) + ", median of " + std::to_string(Ratios.size()) +
           (Ok ? "" : "; NOT every run ended as expected");
  }
  bool Met(double Target) const { return Ok && !Ratios.empty() && Median(Ratios) <= Target; }
};

}  // namespace

void ComparePeers(const TPeerEndpoints& E, int Repeats) {
  const std::string logs = [] {
    std::string folder = "/tmp/probrix-bench-logs-XXXXXX";
    return ::mkdtemp(folder.data()) != nullptr ? folder : std::string("/tmp");
  }();
  const std::vector<std::string> logDir{"--log-dir", logs};
  const auto cli = [&](std::vector<std::string> Args) {
    Args.insert(Args.begin(), logDir.begin(), logDir.end());
    return Args;
  };
  const std::string answering = "127.0.0.1:" + std::to_string(E.AnsweringServer);
  const std::string silent = "127.0.0.1:" + std::to_string(E.SilentServer);
  const auto tcp = [](std::uint16_t Port) {
    return [Port] { return modbus_new_tcp("127.0.0.1", Port); };
  };
  const auto rtu = [](const std::string& Port, int Baud) {
    return [Port, Baud] { return modbus_new_rtu(Port.c_str(), Baud, 'N', 8, 1); };
  };

  // --- found Modbus TCP units and Modbus RTU devices on an unpaced pseudo terminal --------
  // Enough devices that the program's start and its port scans (a few ms, varying with the
  // machine's processes) stay well below the devices' own cost.
  constexpr int Exchanges = 5000;
  const std::string list = AddressList(E.Units, Exchanges);
  TFigure tcpCpu, tcpWall, rtuWall;
  for (int r = 0; r < std::max(Repeats, 5); ++r) {
    const TCost ours =
        CliPerDevice(cli({"-t", answering, "-P", "modbustcp"}), list, Exchanges, 100);
    const TCost peer = LibmodbusReads(tcp(E.AnsweringServer), E.Units, Exchanges, true);
    tcpCpu.Add(ours.Cpu, peer.Cpu, ours.Ok && peer.Ok);
    tcpWall.Add(ours.Wall, peer.Wall, ours.Ok && peer.Ok);
    const TCost oursRtu = CliPerDevice(
        cli({"-p", E.AnsweringPort, "-b", "115200", "-P", "modbusrtu"}), list, Exchanges, 100);
    const TCost peerRtu = LibmodbusReads(rtu(E.AnsweringPort, 115200), E.Units, Exchanges, true);
    rtuWall.Add(oursRtu.Wall, peerRtu.Wall, oursRtu.Ok && peerRtu.Ok);
    std::printf(
        "  per found device, probrix-cli / libmodbus: TCP CPU %.1f / %.1f us, TCP wall %.1f / "
        "%.1f us, RTU 115200 wall %.1f / %.1f us\n",
        ours.Cpu * 1e6, peer.Cpu * 1e6, ours.Wall * 1e6, peer.Wall * 1e6, oursRtu.Wall * 1e6,
        peerRtu.Wall * 1e6);
    std::fflush(stdout);
  }
  const std::string perDevice = std::to_string(Exchanges) + " reads of units 1-" +
                                std::to_string(E.Units) +
                                " over one connection; probrix-cli: beyond a search of one unit; ";
  Result("exchange cost: CPU per found Modbus TCP unit, probrix-cli / libmodbus loop",
         tcpCpu.Measured(1e6, "µs"), "<= 1.2", tcpCpu.Met(1.2), perDevice + tcpCpu.Spread());
  Result("exchange cost: extra wall time per found Modbus TCP unit, probrix-cli / libmodbus loop",
         tcpWall.Measured(1e6, "µs"), "<= 1.5", tcpWall.Met(1.5), perDevice + tcpWall.Spread());
  Result(
      "exchange cost: Modbus RTU 115200, software cost per device (unpaced pseudo terminal), "
      "probrix-cli / libmodbus loop",
      rtuWall.Measured(1e6, "µs"), "<= 1.3", rtuWall.Met(1.3), perDevice + rtuWall.Spread());

  // --- silent Modbus TCP units at a short timeout ---------------------------------------
  constexpr int SilentUnits = 1000, SilentTimeoutMs = 10;
  const double floor = SilentUnits * SilentTimeoutMs / 1000.0;
  const auto silentSearch = [&](int Units) {
    return RunCli(cli({"-t", silent, "-P", "modbustcp", "--modbus-addresses",
                       Units == 1 ? std::string("1") : AddressList(250, Units), "--timeout",
                       std::to_string(SilentTimeoutMs), "--retries", "1"}),
                  1);
  };
  // The loop runs as a child process too, so that both are measured alike (the kernel's
  // accounting of all of a process's threads at its end).
  const auto silentLoop = [&](int Units) {
    return RunProgram(SelfPath(),
                      {"silent-loop", std::to_string(E.SilentServer), std::to_string(Units)}, 0);
  };
  TFigure silentWall, silentCpu, silentWallPerAddress;
  for (int r = 0; r < std::max(Repeats, 5); ++r) {
    // Per address: the run of all units less one of a single unit, so that a program's start
    // (and the new connection's greeting wait) drops out.
    const TCost one = silentSearch(1), ours = silentSearch(SilentUnits);
    const TCost peerOne = silentLoop(1), peer = silentLoop(SilentUnits);
    const bool ok = one.Ok && ours.Ok && peerOne.Ok && peer.Ok;
    const double n = SilentUnits - 1;
    silentWall.Add(ours.Wall / floor, peer.Wall / floor, ok);
    silentCpu.Add((ours.Cpu - one.Cpu) / n, (peer.Cpu - peerOne.Cpu) / n, ok);
    silentWallPerAddress.Add((ours.Wall - one.Wall) / n, (peer.Wall - peerOne.Wall) / n, ok);
    std::printf(
        "  %d silent units at %d ms, probrix-cli / libmodbus: wall %.3f / %.3f s, CPU %.3f / "
        "%.3f s (one unit: CPU %.3f / %.3f s)\n",
        SilentUnits, SilentTimeoutMs, ours.Wall, peer.Wall, ours.Cpu, peer.Cpu, one.Cpu,
        peerOne.Cpu);
    std::fflush(stdout);
  }
  Result("exchange cost: 1,000 silent Modbus TCP units at 10 ms, wall probrix-cli / libmodbus loop",
         Fixed(Median(silentWall.Ratios), 4) + " (" + Fixed(Median(silentWall.Ours), 4) + " / " +
             Fixed(Median(silentWall.Peer), 4) + " x floor)",
         "<= 1.005", silentWall.Ok && Median(silentWall.Ratios) <= 1.005,
         "whole process against the whole loop, floor 1000 x 10 ms; ratio per repetition " +
             Fixed(Quantile(silentWall.Ratios, 0), 4) + "-" +
             Fixed(Quantile(silentWall.Ratios, 1), 4) + ", median of " +
             std::to_string(silentWall.Ratios.size()) +
             "; per address (less a search of one unit, so without the start and the new "
             "connection's greeting wait) " +
             Fixed(Median(silentWallPerAddress.Ratios), 4));
  Result(
      "exchange cost: CPU per silent Modbus TCP address (1,000 units at 10 ms), probrix-cli / "
      "libmodbus loop",
      silentCpu.Measured(1e6, "µs"), "<= 1.5", silentCpu.Met(1.5),
      "each a process: a run of 1,000 units less one of a single unit, / 999; " +
          silentCpu.Spread());

  // --- system calls per silent address, all threads, counted by strace -------------------
  {
    const auto cliCalls = [&](int Units) {
      return CountSystemCalls(
          PROBRIX_CLI_PATH,
          cli({"-t", silent, "-P", "modbustcp", "--modbus-addresses", AddressList(250, Units),
               "--timeout", std::to_string(SilentTimeoutMs), "--retries", "1"}));
    };
    const auto loopCalls = [&](int Units) {
      return CountSystemCalls(
          SelfPath(), {"silent-loop", std::to_string(E.SilentServer), std::to_string(Units)});
    };
    const long long ours1 = cliCalls(250), oursN = cliCalls(250 + SilentUnits);
    const long long peer1 = loopCalls(250), peerN = loopCalls(250 + SilentUnits);
    const bool ok = ours1 > 0 && oursN > ours1 && peer1 > 0 && peerN > peer1;
    const double ours = ok ? static_cast<double>(oursN - ours1) / SilentUnits : 0;
    const double peer = ok ? static_cast<double>(peerN - peer1) / SilentUnits : 0;
    Result("exchange cost: system calls per silent Modbus TCP address (all threads), probrix-cli",
           ok ? Fixed(ours, 2) + " (libmodbus loop " + Fixed(peer, 2) + ")" : "not measured",
           "<= 6", ok && ours <= 6,
           ok ? "strace -f -c: a search of " + std::to_string(250 + SilentUnits) +
                    " silent units at 10 ms less one of 250, / " + std::to_string(SilentUnits)
              : "strace missing or a run failed");
  }

  // --- receiving at 9600 on a paced line ------------------------------------------------
  const int pacedReads = 2 * E.Units;
  TFigure pacedCpu;
  for (int r = 0; r < std::max(Repeats, 5); ++r) {
    const TCost ours = CliPerDevice(cli({"-p", E.PacedPort, "-b", "9600", "-P", "modbusrtu"}),
                                    AddressList(E.Units, pacedReads), pacedReads, 100);
    const TCost peer = LibmodbusReads(rtu(E.PacedPort, 9600), E.Units, pacedReads, true);
    pacedCpu.Add(ours.Cpu, peer.Cpu, ours.Ok && peer.Ok);
    std::printf(
        "  9600 paced, per device, probrix-cli / libmodbus: CPU %.3f / %.3f ms, wall %.1f / "
        "%.1f ms\n",
        ours.Cpu * 1e3, peer.Cpu * 1e3, ours.Wall * 1e3, peer.Wall * 1e3);
    std::fflush(stdout);
  }
  Result("exchange cost: serial receive CPU per device at 9600, probrix-cli / libmodbus loop",
         pacedCpu.Measured(1e3, "ms", 3), "<= 1.3", pacedCpu.Met(1.3),
         std::to_string(pacedReads) + " reads of " + std::to_string(E.Units) +
             " Modbus RTU devices on a pseudo terminal that delivers bytes at the line's rate; " +
             pacedCpu.Spread());

  std::error_code ignored;
  if (logs != "/tmp") std::filesystem::remove_all(logs, ignored);
}

int RunSilentLoop(std::uint16_t Port, int Count) {
  const TCost cost = LibmodbusReads([Port] { return modbus_new_tcp("127.0.0.1", Port); }, 250,
                                    Count, false, true, 10);
  return cost.Ok ? 0 : 1;
}

}  // namespace probrix::bench
