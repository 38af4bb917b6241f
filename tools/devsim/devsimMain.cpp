// probrix-devsim: simulated devices on pseudo terminals and loopback TCP servers.

#include <signal.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>

#include "devsim/devsimLayout.h"
#include "probrixVersion.h"

namespace {

using namespace probrix::devsim;

const char* const UsageText = R"(Usage: probrix-devsim [options]

Simulates measuring instruments: serial ports on pseudo terminals (each reachable through a
symlink that Probrix opens as a port name) and TCP servers on 127.0.0.1. Runs until SIGINT or
SIGTERM, then removes its symlinks.

What to simulate (at least one of):
  --demo               the demo set: port ttySIM0 with Orvatbus "crc8" address 2 (R221L9),
                       Orvatbus "crc1" address 7 (R3375), Modbus RTU address 17 (R4748) and
                       a Modbus RTU device of another maker at address 12 (no identification);
                       port ttySIM1 with an OrvatASCII device 'A' (address 65) every 200 ms;
                       a Modbus TCP server with units 1 (R7391) and 5 (R3329) and a device
                       of another maker at unit 9 (ACME PX-1, revision 1.02)
  --config FILE        lines "port DESC", "tcp DESC", "device DESC" ('#' starts a comment)
  --port [DESC]        a serial port; the --device options after it go on it
  --tcp [DESC]         a TCP server; the --device options after it go on it
  --device DESC        a device on the last --port or --tcp

Other options:
  --dir DIR            folder for the port symlinks (default: a new temporary folder,
                       removed on exit)
  --out FILE           also write the lines printed on stdout to FILE (removed on exit)
  --timing             deliver bytes at the line rate on every port (10 bits per byte at
                       8N1, 11 at 8O1 or 8N2)
  --tcp-port N         TCP port of the demo server (default: any free port)
  --help               this text
  --version            print the program's name and version

On stdout: one line "port <path>" per serial port and "tcp 127.0.0.1:<port>" per server, in
the order given, then "ready". A description of every device goes to stderr.

Descriptions (DESC), comma-separated lists of items:
  port                 name=NAME (symlink name, default ttySIM<n>), timing, baud=N (initial
                       line rate), lossy (bytes nobody reads are lost, as on a real line
                       while the port is closed), echo (the line hears itself: every byte
                       written comes back before any reply), queued=N (N bytes of noise
                       wait in the port before it is first opened), format=8O1 (the line
                       format of its devices that name none)
  tcp                  port=N (0: any free port), accept-close (close every connection at
                       once), gateway[=CODE] (a unit no device answers gets exception CODE,
                       default 0x0B), echo (every byte a client sends comes back at
                       once; without devices an echo server), greeting=TEXT (TEXT and CR
                       LF sent to every client on connect)
  device               KIND[,option]... with a device kind and device options below

Device kinds:
  orvatbus             answers the identification command 0x49 at its address (and at 95)
  modbus               answers function 3, registers 1000-1009: RTU on a port, MBAP on a
                       server
  modbus-rtu           the same with RTU framing on either transport
  modbus-tcp           the same with MBAP framing on either transport
  ascii                transmits 13-character lines + CR LF on its own

Device options:
  identity             address=N (alias unit=N; ascii: the address character's code),
                       char=C (ascii), type=N, version=N, serial=N, extra1=N, extra2=N,
                       extra-byte=N, flag (orvatbus source flag), baud=N (answers only at
                       this line rate), format=8N1|8E1|8O1|8N2|8E2|8O2 (answers only while
                       the line carries it; a pseudo terminal shows odd parity and two stop
                       bits, not even parity: an 8E1 device also answers at 8N1)
  orvatbus             crc=crc1|crc8, reply-crc=crc1|crc8, error=busy|badparams|unknown,
                       reply-address=N
  modbus               exception=N, reply-function=N, registers=N, reply-address=N,
                       mbap-length=N, other-maker (no registers 1000-1009: exception 2),
                       any-unit (answers every unit id), vendor=T, product=T, revision=T
                       (device identification objects 0-2, read by function 0x2B; without
                       them 0x2B gets exception 1), id-per-reply=N, foreign=FUNC[:ADDR]
                       (RTU framing: before each reply a frame with a good CRC of function
                       FUNC from address ADDR, default its own address + 1; FUNC 0x80 and
                       up is an exception reply)
  ascii                text=TEXT (12 characters), interval=MS (0: back to back, best with
                       timing), start=N (first line starts at byte N)
  faults               silent, delay=MS, noise=N (bytes before the reply), chunks=N[:GAP_MS],
                       drip=MS (one byte at a time), bad-crc, close-mid (half a reply, then
                       the connection closes; on a port the port vanishes), vanish (half a
                       reply, then the port or server goes away), garbage=N (a burst of N
                       bytes without SOH, ETX, CR or LF instead of each reply or line)

Numbers are decimal or 0x hexadecimal.

Examples:
  $ probrix-devsim --demo --dir /tmp/sim
  $ probrix-devsim --port name=ttyS1 --device orvatbus,address=5,crc=crc8
  $ probrix-devsim --tcp port=1502 --device modbus,unit=1,type=206
)";

int Fail(const std::string& Message) {
  std::cerr << "probrix-devsim: " << Message << "\n(see probrix-devsim --help)\n";
  return 2;
}

bool TakesOptionalText(int I, int Argc, char** Argv) {
  return I + 1 < Argc && std::strncmp(Argv[I + 1], "--", 2) != 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (const auto status = probrix::HandleVersionOption("probrix-devsim", argc, argv))
    return *status;
  TLayout layout;
  std::filesystem::path dir;
  std::string outFile;
  bool demo = false;
  bool timing = false;
  std::uint16_t demoTcpPort = 0;
  try {
    for (int i = 1; i < argc; ++i) {
      const std::string arg = argv[i];
      auto value = [&]() -> std::string {
        if (i + 1 >= argc) throw std::invalid_argument(arg + " needs a value");
        return argv[++i];
      };
      if (arg == "--help" || arg == "-h") {
        std::cout << UsageText;
        return 0;
      } else if (arg == "--demo") {
        demo = true;
      } else if (arg == "--config") {
        const std::string file = value();
        std::ifstream in(file);
        if (!in) throw std::invalid_argument("cannot read " + file);
        try {
          for (auto& e : ParseLayout(in)) layout.push_back(std::move(e));
        } catch (const std::invalid_argument& e) {
          throw std::invalid_argument(file + ": " + e.what());
        }
      } else if (arg == "--port") {
        TEndpointPlan e;
        e.Serial = true;
        if (TakesOptionalText(i, argc, argv)) e.Port = ParsePort(argv[++i]);
        layout.push_back(e);
      } else if (arg == "--tcp") {
        TEndpointPlan e;
        e.Serial = false;
        if (TakesOptionalText(i, argc, argv)) e.Tcp = ParseTcp(argv[++i]);
        layout.push_back(e);
      } else if (arg == "--device") {
        const std::string desc = value();
        if (layout.empty())
          throw std::invalid_argument("--device needs a --port or --tcp before it");
        layout.back().Devices.push_back(ParseDevice(desc));
      } else if (arg == "--dir") {
        dir = value();
      } else if (arg == "--out") {
        outFile = value();
      } else if (arg == "--timing") {
        timing = true;
      } else if (arg == "--tcp-port") {
        const std::string v = value();
        std::size_t used = 0;
        const unsigned long port = std::stoul(v, &used, 10);
        if (used != v.size() || port > 65535) throw std::invalid_argument("bad --tcp-port " + v);
        demoTcpPort = static_cast<std::uint16_t>(port);
      } else {
        throw std::invalid_argument("unknown option " + arg);
      }
    }
  } catch (const std::exception& e) {
    return Fail(e.what());
  }
  if (demo) {
    TLayout d = DemoLayout(demoTcpPort);
    layout.insert(layout.begin(), d.begin(), d.end());
  }
  if (layout.empty()) return Fail("nothing to simulate: give --demo, --config, --port or --tcp");
  if (timing) {
    for (auto& e : layout) e.Port.WireTiming = true;
  }

  // The simulator's threads inherit this mask, so the signals arrive only at sigwait below.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  signal(SIGPIPE, SIG_IGN);

  int status = 0;
  try {
    TSimulator sim(dir);
    const auto started = StartLayout(sim, layout);
    for (std::size_t i = 0; i < started.size(); ++i) {
      const auto& e = started[i];
      std::cerr << (e.Serial ? e.Path : "127.0.0.1:" + std::to_string(e.Port)) << ":\n";
      for (const auto& d : layout[i].Devices) std::cerr << "  " << DescribeDevice(d) << "\n";
    }
    const std::string lines = DescribeEndpoints(started) + "ready\n";
    if (!outFile.empty()) {
      // Written whole and renamed, so a reader never sees half of it.
      const std::string tmp = outFile + ".tmp";
      {
        std::ofstream out(tmp, std::ios::trunc);
        out << lines;
        if (!out) throw std::runtime_error("cannot write " + tmp);
      }
      std::filesystem::rename(tmp, outFile);
    }
    std::cout << lines << std::flush;

    int sig = 0;
    sigwait(&stopSignals, &sig);
    std::cerr << "probrix-devsim: stopping (" << strsignal(sig) << ")\n";
    sim.Stop();
  } catch (const std::exception& e) {
    std::cerr << "probrix-devsim: " << e.what() << "\n";
    status = 1;
  }
  if (!outFile.empty()) {
    std::error_code ec;
    std::filesystem::remove(outFile, ec);
  }
  return status;
}
