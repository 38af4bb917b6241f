// probrix-cli as a user runs it: a real process against simulated devices.

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>

#include "SerialTestPty.h"
#include "devsim/devsimSimulator.h"
#include "foundation/appCodePage.h"
#include "support/TestSupport.h"

namespace probrix {
namespace {

using devsim::TDeviceConfig;
using devsim::TDeviceKind;

// A child process with its standard output (and, when asked, its standard error) read through
// a pipe, started in Cwd when one is given. With OutputFull the standard output is /dev/full,
// which takes no byte, and only the standard error is read.
class TCliProcess {
 public:
  TCliProcess(const std::vector<std::string>& Args,
              const std::map<std::string, std::string>& Env = {}, const std::string& Cwd = {},
              bool WithStderr = false, bool OutputFull = false) {
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    Pid_ = fork();
    if (Pid_ == 0) {
      dup2(OutputFull ? open("/dev/full", O_WRONLY) : out[1], 1);
      const int devnull = open("/dev/null", O_WRONLY);
      dup2(WithStderr || OutputFull ? out[1] : devnull, 2);
      for (const auto& [k, v] : Env) setenv(k.c_str(), v.c_str(), 1);
      if (!Cwd.empty() && chdir(Cwd.c_str()) != 0) _exit(126);
      std::vector<char*> argv{const_cast<char*>(PROBRIX_CLI_PATH)};
      for (const std::string& a : Args) argv.push_back(const_cast<char*>(a.c_str()));
      argv.push_back(nullptr);
      execv(argv[0], argv.data());
      _exit(127);
    }
    close(out[1]);
    Fd_ = out[0];
  }
  ~TCliProcess() {
    if (Pid_ > 0 && !Reaped_) {
      kill(Pid_, SIGKILL);
      waitpid(Pid_, nullptr, 0);
    }
    if (Fd_ >= 0) close(Fd_);
  }

  // Reads what is available within Ms milliseconds.
  void Pump(int Ms) {
    pollfd p{Fd_, POLLIN, 0};
    if (poll(&p, 1, Ms) <= 0) return;
    char buf[4096];
    const ssize_t n = read(Fd_, buf, sizeof(buf));
    if (n > 0) Output_.append(buf, static_cast<std::size_t>(n));
    if (n == 0) Eof_ = true;
  }
  bool WaitForOutput(const std::string& Needle, int Ms = 20000) {
    return test::WaitFor(
               [&] {
                 Pump(10);
                 return Output_.find(Needle) != std::string::npos || Eof_;
               },
               std::chrono::milliseconds(Ms)) &&
           Output_.find(Needle) != std::string::npos;
  }
  int Wait() {
    while (!Eof_) Pump(100);
    int status = 0;
    waitpid(Pid_, &status, 0);
    Reaped_ = true;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
  void Signal(int Sig) { kill(Pid_, Sig); }
  // The reader goes away (as head does after its line); Wait then only reaps the process.
  void CloseOutput() {
    close(Fd_);
    Fd_ = -1;
    Eof_ = true;
  }
  const std::string& Output() const { return Output_; }

 private:
  pid_t Pid_ = -1;
  int Fd_ = -1;
  bool Eof_ = false;
  bool Reaped_ = false;
  std::string Output_;
};

std::vector<std::string> Lines(const std::string& Text) {
  std::vector<std::string> lines;
  std::istringstream in(Text);
  for (std::string l; std::getline(in, l);)
    if (!l.empty()) lines.push_back(l);
  return lines;
}

// A flat JSON object: "key": string | number | true | false, parsed back into texts.
std::map<std::string, std::string> ParseFlatJson(const std::string& Line) {
  std::map<std::string, std::string> fields;
  EXPECT_TRUE(Line.size() >= 2 && Line.front() == '{' && Line.back() == '}') << Line;
  std::size_t i = 1;
  auto readString = [&]() {
    std::string s;
    EXPECT_EQ(Line[i], '"');
    for (++i; i < Line.size() && Line[i] != '"'; ++i) {
      if (Line[i] == '\\') ++i;
      s.push_back(Line[i]);
    }
    ++i;
    return s;
  };
  while (i < Line.size() && Line[i] != '}') {
    const std::string key = readString();
    EXPECT_EQ(Line[i], ':') << Line;
    ++i;
    std::string value;
    if (Line[i] == '"') {
      value = readString();
    } else {
      while (i < Line.size() && Line[i] != ',' && Line[i] != '}') value.push_back(Line[i++]);
    }
    fields[key] = value;
    if (Line[i] == ',') ++i;
  }
  return fields;
}

class CliEndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    Port_ = Sim_.AddTcpServer();
    TDeviceConfig unit;
    unit.Kind = TDeviceKind::dkModbus;
    unit.Address = 1;
    unit.DeviceType = 0x34;
    unit.FirmwareVersion = 312;
    unit.SerialNumber = 4321;
    Sim_.AddDevice(Port_, unit);
    Endpoint_ = "127.0.0.1:" + std::to_string(Port_);
  }

  devsim::TSimulator Sim_;
  std::uint16_t Port_ = 0;
  std::string Endpoint_;
  test::TTempDir Logs_;
};

TEST_F(CliEndToEnd, TextLinesTableAndResultLogInWindows1251) {
  TCliProcess cli({"-t", Endpoint_, "-P", "modbustcp", "--modbus-addresses", "1,2", "--timeout",
                   "50", "--log-dir", Logs_.Path().string(), "--save-search-logs"});
  EXPECT_EQ(cli.Wait(), 0);
  const std::string& out = cli.Output();
  EXPECT_TRUE(std::regex_search(
      out, std::regex(R"(\d\d:\d\d:\d\d\.\d\d\d \[127\.0\.0\.1:\d+,ModbusTCP,1\]: прибор найден)")))
      << out;
  EXPECT_TRUE(std::regex_search(
      out, std::regex(R"(\d\d:\d\d:\d\d\.\d\d\d \[127\.0\.0\.1:\d+,ModbusTCP,2\]: Нет ответа)")))
      << out;
  EXPECT_NE(out.find("Адрес"), std::string::npos);
  EXPECT_NE(out.find("TCP/IP"), std::string::npos);
  EXPECT_NE(out.find("4321"), std::string::npos);
  EXPECT_NE(out.find("Поиск завершен"), std::string::npos);

  // One result log and two attempt logs; the result log holds both lines in Windows-1251.
  std::string resultLog;
  int attempts = 0;
  for (const auto& e : std::filesystem::directory_iterator(Logs_.Path())) {
    const std::string name = e.path().filename().string();
    if (name.find("__результаты_поиска.log") != std::string::npos) {
      std::ifstream in(e.path(), std::ios::binary);
      resultLog.assign(std::istreambuf_iterator<char>(in), {});
    } else if (name.find("_ModbusTCP_") != std::string::npos) {
      ++attempts;
    }
  }
  EXPECT_EQ(attempts, 2);
  EXPECT_NE(resultLog.find(Utf8ToCp1251("ModbusTCP,1]: прибор найден\r\n")), std::string::npos)
      << resultLog;
  EXPECT_NE(resultLog.find(Utf8ToCp1251("ModbusTCP,2]: Нет ответа\r\n")), std::string::npos);
}

TEST_F(CliEndToEnd, ARangeIsSweptFirstAndOnlyItsListeningHostIsSearched) {
  // The simulator listens on 127.0.0.1 only: 127.0.0.2 and .3 refuse at that port.
  const std::string port = std::to_string(Port_);
  const std::string range = "127.0.0.1-3:" + port;
  TCliProcess cli({"--json", "-t", range, "-P", "modbustcp", "--modbus-addresses", "1", "--timeout",
                   "50", "--log-dir", Logs_.Path().string()});
  EXPECT_EQ(cli.Wait(), 0);
  const auto lines = Lines(cli.Output());
  ASSERT_EQ(lines.size(), 4u) << cli.Output();
  for (int i = 0; i < 2; ++i) {
    const auto miss = ParseFlatJson(lines[i]);
    EXPECT_EQ(miss.at("event"), "no_connection");
    EXPECT_EQ(miss.at("connection"), "127.0.0." + std::to_string(i + 2));
    EXPECT_EQ(miss.at("baudOrPort"), port);
    EXPECT_EQ(miss.at("range"), range);
    EXPECT_EQ(miss.at("outcome"), "refused");
  }
  const auto found = ParseFlatJson(lines[2]);
  EXPECT_EQ(found.at("connection"), "127.0.0.1") << "the host, not the range";
  EXPECT_EQ(found.at("serialNumber"), "4321");
  EXPECT_EQ(ParseFlatJson(lines[3]).at("errors"), "0") << "nothing was probed at a miss";
  // The result log, the only file without --save-search-logs, has the lines too.
  const auto log = std::filesystem::directory_iterator(Logs_.Path())->path();
  std::ifstream in(log, std::ios::binary);
  EXPECT_NE(std::string(std::istreambuf_iterator<char>(in), {})
                .find(Utf8ToCp1251("[127.0.0.3:" + port +
                                   "]: Нет TCP-подключения (в подключении отказано)\r\n")),
            std::string::npos);
}

TEST_F(CliEndToEnd, JsonLinesParseBack) {
  TCliProcess cli({"--json", "-t", Endpoint_, "-P", "modbustcp", "--modbus-addresses", "2,1",
                   "--timeout", "50", "--log-dir", Logs_.Path().string()});
  EXPECT_EQ(cli.Wait(), 0);
  const auto lines = Lines(cli.Output());
  ASSERT_EQ(lines.size(), 3u) << cli.Output();
  const auto error = ParseFlatJson(lines[0]);
  EXPECT_EQ(error.at("event"), "error");
  EXPECT_EQ(error.at("connection"), "127.0.0.1");
  EXPECT_EQ(error.at("baudOrPort"), std::to_string(Port_));
  EXPECT_EQ(error.at("connectionType"), "tcp");
  EXPECT_EQ(error.at("probedAddress"), "2");
  EXPECT_EQ(error.at("error"), "Нет ответа");
  EXPECT_FALSE(error.at("errorClass").empty());
  const auto found = ParseFlatJson(lines[1]);
  EXPECT_EQ(found.at("event"), "found");
  EXPECT_EQ(found.at("protocol"), "ModbusTCP");
  EXPECT_EQ(found.at("address"), "1");
  EXPECT_EQ(found.at("deviceTypeCode"), "52");
  EXPECT_EQ(found.at("firmwareCode"), "312");
  EXPECT_EQ(found.at("serialNumber"), "4321");
  EXPECT_EQ(found.count("checksum"), 0u);
  EXPECT_FALSE(found.at("deviceType").empty());
  const auto finished = ParseFlatJson(lines[2]);
  EXPECT_EQ(finished.at("event"), "finished");
  EXPECT_EQ(finished.at("aborted"), "false");
  EXPECT_EQ(finished.at("found"), "1");
  EXPECT_EQ(finished.at("errors"), "1");
}

TEST_F(CliEndToEnd, DevicesOfOtherMakersInJsonTableAndLogs) {
  TDeviceConfig acme;
  acme.Kind = TDeviceKind::dkModbus;
  acme.Address = 2;
  acme.OtherMaker = true;
  acme.IdObjects = {{0, "ACME"}, {1, "PX-1"}, {2, "1.02"}};
  Sim_.AddDevice(Port_, acme);
  TDeviceConfig unknown = acme;
  unknown.Address = 3;
  unknown.IdObjects.clear();
  Sim_.AddDevice(Port_, unknown);

  // Every address answers, so a long reply timeout costs nothing and keeps a loaded machine from
  // turning a slow identification into "Неизвестный прибор".
  TCliProcess json({"--json", "-t", Endpoint_, "-P", "modbustcp", "--modbus-addresses", "1-3",
                    "--timeout", "1000", "--log-dir", Logs_.Path().string()});
  EXPECT_EQ(json.Wait(), 0);
  const auto lines = Lines(json.Output());
  ASSERT_EQ(lines.size(), 6u) << json.Output();
  // The exact fields are pinned by the output tests; here the order of the events and the
  // counts.
  EXPECT_EQ(ParseFlatJson(lines[0]).at("vendor"), "null");
  EXPECT_EQ(ParseFlatJson(lines[1]).at("event"), "error");
  const auto other = ParseFlatJson(lines[2]);
  EXPECT_EQ(other.at("event"), "found");
  EXPECT_EQ(other.at("probedAddress"), "2");
  EXPECT_EQ(other.at("deviceTypeCode"), "null");
  EXPECT_EQ(other.at("vendor"), "ACME");
  EXPECT_EQ(other.at("modbusException"), "2");
  EXPECT_EQ(ParseFlatJson(lines[4]).at("deviceType"), "Неизвестный прибор");
  const auto finished = ParseFlatJson(lines[5]);
  EXPECT_EQ(finished.at("found"), "3");
  EXPECT_EQ(finished.at("errors"), "2");

  TCliProcess text({"-t", Endpoint_, "-P", "modbustcp", "--modbus-addresses", "2,3", "--timeout",
                    "1000", "--log-dir", Logs_.Path().string(), "--save-search-logs"});
  EXPECT_EQ(text.Wait(), 0);
  const std::string& out = text.Output();
  EXPECT_NE(out.find("ModbusTCP,2]: прибор найден: ACME PX-1, версия 1.02\n"), std::string::npos)
      << out;
  EXPECT_NE(out.find("ModbusTCP,3]: прибор найден: Неизвестный прибор\n"), std::string::npos);
  EXPECT_TRUE(std::regex_search(out, std::regex("\n2 +127\\.0\\.0\\.1:\\d+ +TCP/IP +ModbusTCP +"
                                                "ACME PX-1 +1\\.02\n")))
      << out;
  // One attempt log per attempt, though each attempt gave two lines.
  int attempts = 0;
  for (const auto& e : std::filesystem::directory_iterator(Logs_.Path()))
    if (e.path().filename().string().find("_ModbusTCP_") != std::string::npos) ++attempts;
  EXPECT_EQ(attempts, 2);
}

TEST_F(CliEndToEnd, ExitCodes) {
  TCliProcess none({"-t", Endpoint_, "-P", "modbustcp", "--modbus-addresses", "9", "--timeout",
                    "30", "--log-dir", Logs_.Path().string()});
  EXPECT_EQ(none.Wait(), 1);
  // A server that echoes every request has no devices behind it, whatever the protocol.
  const std::string echo = "127.0.0.1:" + std::to_string(Sim_.AddTcpServer({.Echo = true}));
  TCliProcess echoed({"-t", echo, "-P", "modbustcp,orvatbus", "--modbus-addresses", "1-3",
                      "--orvatbus-addresses", "1,95", "--timeout", "30", "--log-dir",
                      Logs_.Path().string()});
  EXPECT_EQ(echoed.Wait(), 1) << echoed.Output();
  TCliProcess usage({"--no-such-option"});
  EXPECT_EQ(usage.Wait(), 2);
  TCliProcess plan({"-t", Endpoint_, "-P", "modbustcp", "--modbus-addresses", "1-x", "--log-dir",
                    Logs_.Path().string()});
  EXPECT_EQ(plan.Wait(), 2);
  for (const char* parallel : {"33", "-1", "x"}) {
    TCliProcess badParallel({"-t", Endpoint_, "--parallel", parallel});
    EXPECT_EQ(badParallel.Wait(), 2) << parallel;
  }
}

// The files of a log folder: the result log's lines, and the names of the attempt logs.
struct TLogFolder {
  std::vector<std::string> ResultLines;
  std::vector<std::string> AttemptLogs;
};

TLogFolder ReadLogFolder(const std::filesystem::path& Folder) {
  TLogFolder logs;
  for (const auto& e : std::filesystem::directory_iterator(Folder)) {
    const std::string name = e.path().filename().string();
    if (name.find("__результаты_поиска.log") != std::string::npos) {
      std::ifstream in(e.path(), std::ios::binary);
      const std::string bytes{std::istreambuf_iterator<char>(in), {}};
      for (std::string l : Lines(Cp1251ToUtf8(bytes))) {
        EXPECT_TRUE(l.ends_with('\r')) << "CR LF line ends: " << l;
        if (l.ends_with('\r')) l.pop_back();
        logs.ResultLines.push_back(l);
      }
    } else if (name.ends_with(".log")) {
      logs.AttemptLogs.push_back(name);
    }
  }
  return logs;
}

// "[<connection>:<baud or port>,<protocol>,<address>]" of a JSON event line.
std::string AttemptOf(const std::map<std::string, std::string>& Event) {
  return "[" + Event.at("connection") + ":" + Event.at("baudOrPort") + "," + Event.at("protocol") +
         "," + Event.at("probedAddress") + "]";
}

TEST_F(CliEndToEnd, ParallelSearchWritesOneWholeLinePerEventAndOneLogPerAttempt) {
  std::vector<std::string> ports;
  for (int unit : {1, 2}) {
    ports.push_back(Sim_.AddSerialPort());
    TDeviceConfig device;
    device.Kind = TDeviceKind::dkModbus;
    device.Address = unit;
    device.SerialNumber = 100u + static_cast<unsigned>(unit);
    Sim_.AddDevice(ports.back(), device);
  }
  TCliProcess cli({"--json",
                   "-p",
                   ports[0],
                   "-p",
                   ports[1],
                   "-t",
                   Endpoint_,
                   "-b",
                   "9600",
                   "-P",
                   "modbusrtu,modbustcp",
                   "--modbus-addresses",
                   "1-3",
                   "--timeout",
                   "30",
                   "--parallel",
                   "0",
                   "--log-dir",
                   Logs_.Path().string(),
                   "--save-search-logs"});
  EXPECT_EQ(cli.Wait(), 0) << cli.Output();
  const std::vector<std::string> lines = Lines(cli.Output());

  // Every JSON line whole; every attempt there once.
  std::multiset<std::string> attempts;
  for (const std::string& line : lines) {
    const auto event = ParseFlatJson(line);
    if (event.at("event") != "finished") attempts.insert(AttemptOf(event));
  }
  EXPECT_EQ(attempts.size(), 3u * 2u * 3u) << "three connections, two protocols, three addresses";
  EXPECT_EQ(ParseFlatJson(lines.back()).at("found"), "3");

  // The result log: one whole line per event, nothing lost; one attempt log per event.
  const TLogFolder logs = ReadLogFolder(Logs_.Path());
  std::multiset<std::string> logged;
  const std::regex line(R"(^\d\d:\d\d:\d\d\.\d\d\d (\[.+,(ModbusRTU|ModbusTCP),\d+\]): .+$)");
  for (const std::string& l : logs.ResultLines) {
    std::smatch m;
    ASSERT_TRUE(std::regex_match(l, m, line)) << l;
    logged.insert(m[1]);
  }
  EXPECT_EQ(logged, attempts);
  EXPECT_EQ(logs.AttemptLogs.size(), attempts.size());
}

TEST_F(CliEndToEnd, PortNamesThatDifferInCaseOnlyAreTwoPorts) {
  // Two simulated lines behind links whose names differ in case only, a device on each.
  test::TTempDir links;
  std::vector<std::string> names;
  for (const char* name : {"port", "PORT"}) {
    const std::string line = Sim_.AddSerialPort();
    TDeviceConfig device;
    device.Kind = TDeviceKind::dkModbus;
    device.Address = static_cast<std::uint8_t>(names.size() + 1);
    device.SerialNumber = 100u + device.Address;
    Sim_.AddDevice(line, device);
    names.push_back((links.Path() / name).string());
    std::filesystem::create_symlink(line, names.back());
  }
  for (const char* parallel : {"1", "2"}) {
    SCOPED_TRACE(std::string("--parallel ") + parallel);
    TCliProcess cli({"--json", "-p", names[0], "-p", names[1], "-b", "9600", "-P", "modbusrtu",
                     "--modbus-addresses", "1,2", "--timeout", "30", "--parallel", parallel,
                     "--log-dir", Logs_.Path().string()});
    EXPECT_EQ(cli.Wait(), 0);
    // Each name reports its own device, and only that one.
    std::set<std::string> found;
    for (const std::string& line : Lines(cli.Output())) {
      const auto event = ParseFlatJson(line);
      if (event.at("event") == "found")
        found.insert(event.at("connection") + " " + event.at("address") + " " +
                     event.at("serialNumber"));
    }
    EXPECT_EQ(found, (std::set<std::string>{names[0] + " 1 101", names[1] + " 2 102"}))
        << cli.Output();
  }
}

TEST_F(CliEndToEnd, OneEndpointRepeatedInThePlanGetsOneAttemptLogPerAttempt) {
  // A bound socket that does not listen refuses every connection to its port at once: several
  // attempts are refused within a millisecond.
  const int s = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in sin{};
  sin.sin_family = AF_INET;
  sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof(sin);
  ASSERT_EQ(::bind(s, reinterpret_cast<sockaddr*>(&sin), sizeof(sin)), 0);
  ASSERT_EQ(::getsockname(s, reinterpret_cast<sockaddr*>(&sin), &len), 0);
  const std::string refused = "127.0.0.1:" + std::to_string(ntohs(sin.sin_port));
  std::vector<std::string> args{"-P",        "modbustcp",           "--modbus-addresses", "1",
                                "--log-dir", Logs_.Path().string(), "--save-search-logs"};
  constexpr std::size_t TargetCount = 6;
  for (std::size_t i = 0; i < TargetCount; ++i) args.insert(args.end(), {"-t", refused});
  TCliProcess cli(args);
  EXPECT_EQ(cli.Wait(), 1);
  const TLogFolder logs = ReadLogFolder(Logs_.Path());
  ASSERT_EQ(logs.ResultLines.size(), TargetCount);
  EXPECT_EQ(logs.AttemptLogs.size(), TargetCount) << "each attempt keeps its own log";
  ::close(s);
}

TEST_F(CliEndToEnd, PlanFromTheWindowsSettingsFile) {
  const auto ini = Logs_.Path() / "probrix.ini";
  {
    std::ofstream out(ini, std::ios::binary);
    out << "[SearchParams]\r\nTCPConnections=\"" << Endpoint_ << "=1,10.255.255.1:502=0\"\r\n"
        << "Protocols=\"Orvatbus=0,ModbusRTU=0,ModbusTCP=1,OrvatASCII=0\"\r\n"
        << "ModbusAddresses=1\r\nStartOfPacketReadTimeout=50\r\n";
  }
  TCliProcess cli({"--json", "--settings", ini.string(), "--log-dir", Logs_.Path().string()});
  EXPECT_EQ(cli.Wait(), 0);
  const auto lines = Lines(cli.Output());
  ASSERT_EQ(lines.size(), 2u) << cli.Output();
  EXPECT_EQ(ParseFlatJson(lines[0]).at("event"), "found");
  EXPECT_EQ(ParseFlatJson(lines[1]).at("found"), "1");
}

TEST(Cli, ListPortsShowsTheExtraPorts) {
  TCliProcess cli({"--list-ports"},
                  {{"PROBRIX_EXTRA_PORTS", "/tmp/probrix-sim-b:/tmp/probrix-sim-a"}});
  EXPECT_EQ(cli.Wait(), 0);
  const auto lines = Lines(cli.Output());
  EXPECT_NE(std::find(lines.begin(), lines.end(), "/tmp/probrix-sim-a"), lines.end());
  EXPECT_NE(std::find(lines.begin(), lines.end(), "/tmp/probrix-sim-b"), lines.end());
}

TEST(Cli, ListPortsAsJsonNamesEachDeviceOnce) {
  // The same missing device as a name and as a path: one entry, the first spelling.
  TCliProcess cli(
      {"--list-ports", "--json"},
      {{"PROBRIX_EXTRA_PORTS", "ttyProbrixSimZ:/tmp/probrix-sim-b:/dev/ttyProbrixSimZ"}});
  EXPECT_EQ(cli.Wait(), 0);
  std::vector<std::string> ours;
  for (const std::string& line : Lines(cli.Output())) {
    const auto port = ParseFlatJson(line);
    ASSERT_EQ(port.size(), 5u) << line;
    const std::string name = port.at("port");
    if (name.find("ProbrixSim") == std::string::npos &&
        name.find("probrix-sim") == std::string::npos)
      continue;  // a port of this machine
    ours.push_back(name);
    EXPECT_EQ(port.at("manufacturer"), "");
    EXPECT_EQ(port.at("byId"), "");
  }
  std::sort(ours.begin(), ours.end());
  EXPECT_EQ(ours, (std::vector<std::string>{"/tmp/probrix-sim-b", "ttyProbrixSimZ"}));
}

// A server whose Modbus unit 1 never answers; Device receives the unit's id.
std::uint16_t SilentServer(devsim::TSimulator& Sim, int* Device = nullptr) {
  const std::uint16_t port = Sim.AddTcpServer();
  TDeviceConfig silent;
  silent.Kind = TDeviceKind::dkModbus;
  silent.Address = 1;
  silent.Behaviour.Silent = true;
  const int id = Sim.AddDevice(port, silent);
  if (Device != nullptr) *Device = id;
  return port;
}

TEST(Cli, SignalsStopTheSearchAtOnce) {
  devsim::TSimulator sim;
  int device = 0;
  const std::uint16_t port = SilentServer(sim, &device);
  for (const int sig : {SIGINT, SIGTERM, SIGHUP}) {
    test::TTempDir logs;
    const std::size_t before = sim.RequestCount(device);
    TCliProcess cli({"--json", "-t", "127.0.0.1:" + std::to_string(port), "-P", "modbustcp",
                     "--modbus-addresses", "1", "--timeout", "10000", "--log-dir",
                     logs.Path().string()});
    // The request is out: the search waits up to ten seconds for the reply.
    ASSERT_TRUE(test::WaitFor([&] { return sim.RequestCount(device) > before; }));
    cli.Signal(sig);
    EXPECT_EQ(cli.Wait(), 130) << "stopped, not finished: signal " << sig;
    const auto lines = Lines(cli.Output());
    ASSERT_EQ(lines.size(), 1u) << "the cut attempt is not reported: " << cli.Output();
    const auto finished = ParseFlatJson(lines.back());
    EXPECT_EQ(finished.at("event"), "finished");
    EXPECT_EQ(finished.at("aborted"), "true");
  }
}

TEST(Cli, ReaderThatGoesAwayEndsTheSearchWithTheResultLogWhole) {
  devsim::TSimulator sim;
  const std::uint16_t port = SilentServer(sim);
  test::TTempDir logs;
  // probrix-cli ... | head -1
  TCliProcess cli({"-t", "127.0.0.1:" + std::to_string(port), "-P", "modbustcp",
                   "--modbus-addresses", "0-247", "--timeout", "20", "--log-dir",
                   logs.Path().string()});
  ASSERT_TRUE(cli.WaitForOutput("Нет ответа"));
  cli.CloseOutput();
  const int status = cli.Wait();
  EXPECT_TRUE(status == 0 || status == 1) << "ended by signal " << status - 128;
  // Every line written up to the end is in the result log, whole.
  std::string resultLog;
  for (const auto& e : std::filesystem::directory_iterator(logs.Path())) {
    std::ifstream in(e.path(), std::ios::binary);
    resultLog.assign(std::istreambuf_iterator<char>(in), {});
  }
  ASSERT_FALSE(resultLog.empty());
  EXPECT_TRUE(resultLog.ends_with(Utf8ToCp1251(": Нет ответа\r\n"))) << resultLog;
  const auto lines = Lines(resultLog);
  EXPECT_LT(lines.size(), 200u) << "the search went on without a reader";
}

// Every way a plan can be wrong stops before anything is searched, with status 2 and a message
// that names what was wrong.
TEST_F(CliEndToEnd, PlanErrorsExitTwoWithAMessage) {
  const auto ini = Logs_.Path() / "bad.ini";
  const auto settings = [&](const std::string& Name, const std::string& Line) {
    std::ofstream out(Logs_.Path() / Name, std::ios::binary);
    out << "[SearchParams]\r\nTCPConnections=\"" << Endpoint_ << "=1\"\r\n" << Line << "\r\n";
    return (Logs_.Path() / Name).string();
  };
  settings("bad.ini", "StartOfPacketReadTimeout=0");
  const std::string logs = Logs_.Path().string();
  const std::string block = (Logs_.Path() / "block.ini").string();
  std::ofstream(block, std::ios::binary)
      << "[SearchParams]\r\nTCPConnections=\"10.0.0.0/15:502=1\"\r\n";
  struct TCase {
    std::vector<std::string> Args;
    std::string Says;
  };
  const std::vector<TCase> cases{
      {{}, "Нечего искать"},
      {{"-t", Endpoint_, "-P", ""}, "Нечего искать"},
      {{"-t", Endpoint_, "-P", "modbustcp", "--modbus-addresses", "5-3"}, "Нечего искать"},
      {{"-t", Endpoint_, "-P", "modbustcp", "--modbus-addresses", "999999"}, "(999999)"},
      {{"-t", Endpoint_, "-P", "modbustcp", "--modbus-addresses", "250-260"}, "(250-260)"},
      {{"-t", "127.0.0.1:113937"}, "от 1 до 65535"},
      {{"-t", "127.0.0.1:-1"}, "от 1 до 65535"},
      {{"-t", "127.0.0.1"}, "не задан порт"},
      {{"-t", "[::1"}, "([::1)"},
      {{"-t", Endpoint_, "--timeout", "0"}, "from 1 to 60000"},
      {{"-t", Endpoint_, "--retries", "2147483647"}, "from 0 to 100"},
      {{"--settings", ini.string()},
       "StartOfPacketReadTimeout=0: допустимы значения от 1 до 60000"},
      {{"--settings=" + logs}, "Is a directory"},
      {{"--settings=" + logs + "/none.ini"}, "No such file or directory"},
      {{"-t", Endpoint_, "-P", "modbustcp", "--modbus-addresses", "1,5-1"},
       "(5-1) в списке адресов (1,5-1): начало диапазона больше его конца"},
      {{"-p", "", "-b", "9600"}, "--port: the port name is empty"},
      {{"-t", Endpoint_, "--log-dir="}, "--log-dir: the folder name is empty"},
      {{"-t", Endpoint_, "--timeout", "0x10"}, "--timeout: '0x10' is not a decimal number"},
      {{"-t", Endpoint_, "--retries", "$3"}, "--retries: '$3' is not a decimal number"},
      {{"-t", Endpoint_, "-b", "9600,0x2580"}, "--baud: '0x2580'"},
      {{"--settings", settings("abc.ini", "StartOfPacketReadTimeout=abc")},
       "StartOfPacketReadTimeout=abc: не число"},
      {{"--settings", settings("bogus.ini", "Protocols=\"Bogus=1\"")},
       "Protocols: неизвестный протокол (Bogus)"},
      {{"-t", "[fe80::/64]:502"}, "диапазоны адресов IPv6 не поддерживаются"},
      {{"-t", "10.0.0.9-3:502"}, "(10.0.0.9-3:502): конец диапазона"},
      {{"--settings", block}, "(10.0.0.0/15:502): блок /15 - это 131072 адресов, больше 65536"},
  };
  for (const TCase& c : cases) {
    std::vector<std::string> args = c.Args;
    args.insert(args.end(), {"--log-dir", logs});
    TCliProcess cli(args, {}, {}, true);
    EXPECT_EQ(cli.Wait(), 2) << c.Says << "\n" << cli.Output();
    EXPECT_NE(cli.Output().find(c.Says), std::string::npos) << cli.Output();
    EXPECT_EQ(cli.Output().find("Поиск"), std::string::npos) << "nothing was searched";
  }
}

// A result log that cannot be written is a warning, the search goes on, and the outcome is 3:
// a caller must not take an incomplete log for a good one.
TEST_F(CliEndToEnd, UnwritableResultLogExitsThree) {
  const auto blocker = Logs_.Path() / "not-a-folder";
  std::ofstream(blocker) << "x";
  TCliProcess cli({"-t", Endpoint_, "-P", "modbustcp", "--modbus-addresses", "1", "--timeout", "50",
                   "--log-dir", blocker.string()},
                  {}, {}, true);
  EXPECT_EQ(cli.Wait(), 3);
  const std::string& out = cli.Output();
  EXPECT_NE(out.find(",ModbusTCP,1]: прибор найден"), std::string::npos) << out;
  EXPECT_NE(out.find("4321"), std::string::npos) << "the table is still printed";
  const std::string warning = "warning: cannot write the log";
  ASSERT_NE(out.find(warning), std::string::npos) << out;
  EXPECT_EQ(out.find(warning), out.rfind(warning)) << "once per file";
  EXPECT_NE(out.find("is incomplete"), std::string::npos) << out;
}

// Relative paths are the caller's: the settings file (named with "=") and the log folder are
// found in and written below the folder the program was started in.
TEST_F(CliEndToEnd, RelativePathsResolveInTheCallersFolder) {
  {
    std::ofstream out(Logs_.Path() / "probrix.ini", std::ios::binary);
    out << "[SearchParams]\r\nTCPConnections=\"" << Endpoint_ << "=1\"\r\n"
        << "Protocols=\"Orvatbus=0,ModbusRTU=0,ModbusTCP=1,OrvatASCII=0\"\r\n"
        << "ModbusAddresses=1\r\nStartOfPacketReadTimeout=50\r\n";
  }
  TCliProcess cli({"--json", "--settings=probrix.ini", "--log-dir", "logs"}, {},
                  Logs_.Path().string());
  EXPECT_EQ(cli.Wait(), 0) << cli.Output();
  bool resultLog = false;
  for (const auto& e : std::filesystem::directory_iterator(Logs_.Path() / "logs"))
    resultLog |= e.path().filename().string().find("__результаты_поиска.log") != std::string::npos;
  EXPECT_TRUE(resultLog);
}

// Port names are the operator's text: one with CR LF cannot forge a line of the result log, one
// longer than a file name still gets its attempt log, and one that is not UTF-8 still makes
// JSON that parses.
TEST(Cli, APortHeldByAnotherProgramIsReportedWithItsHolder) {
  for (const bool exclusive : {false, true}) {
    SCOPED_TRACE(exclusive ? "the holder made the port exclusive" : "the holder has it open");
    test::TTestPty pty;
    test::TPtyHolderProcess holder(pty, false, exclusive);
    const std::string reason = "Порт " + pty.SlavePath() + " используется другой программой: " +
                               test::TPtyHolderProcess::ProgramName + " (pid " +
                               std::to_string(holder.Pid()) + ")";
    const std::string attempt = "[" + pty.SlavePath() + ":9600,ModbusRTU,1]: ";
    test::TTempDir logs;
    const std::vector<std::string> args{
        "-p",        pty.SlavePath(),      "-b", "9600",      "-P",
        "modbusrtu", "--modbus-addresses", "1",  "--log-dir", logs.Path().string()};

    // The specified line, then the reason on a line of the same attempt; both in the log.
    TCliProcess text(args);
    EXPECT_EQ(text.Wait(), 1);
    const auto lines = Lines(text.Output());
    ASSERT_GE(lines.size(), 2u) << text.Output();
    EXPECT_TRUE(lines[0].ends_with(attempt + "Ошибка открытия порта")) << lines[0];
    EXPECT_TRUE(lines[1].ends_with(attempt + reason)) << lines[1];
    EXPECT_EQ(ReadLogFolder(logs.Path()).ResultLines,
              (std::vector<std::string>{lines[0], lines[1]}));

    std::vector<std::string> jsonArgs{"--json"};
    jsonArgs.insert(jsonArgs.end(), args.begin(), args.end());
    TCliProcess json(jsonArgs);
    EXPECT_EQ(json.Wait(), 1);
    const auto events = Lines(json.Output());
    ASSERT_EQ(events.size(), 2u) << json.Output();
    const auto error = ParseFlatJson(events[0]);
    EXPECT_EQ(error.at("error"), "Ошибка открытия порта");
    EXPECT_EQ(error.at("errorClass"), "EConnectionOpenError");
    EXPECT_EQ(error.at("reason"), reason);
  }
}

TEST(Cli, HostilePortNamesAreMadeSafe) {
  test::TTempDir logs;
  const std::string forged =
      "/nonexistent/a\r\n12:00:00.000 [COM9:9600,Orvatbus,95]: прибор найден";
  const std::string longName = "/nonexistent/" + std::string(300, 'l');
  const std::string notUtf8 = "/nonexistent/\xFF\xFEport";
  TCliProcess cli({"--json", "-p", forged, "-p", longName, "-p", notUtf8, "-b", "9600", "-P",
                   "orvatbus", "--save-search-logs", "--log-dir", logs.Path().string()});
  EXPECT_EQ(cli.Wait(), 1);
  const auto lines = Lines(cli.Output());
  ASSERT_EQ(lines.size(), 4u) << cli.Output();
  for (const std::string& line : lines) {
    EXPECT_EQ(line.find('\xFF'), std::string::npos) << "not UTF-8: " << line;
    EXPECT_EQ(line.find('\r'), std::string::npos);
  }
  EXPECT_EQ(ParseFlatJson(lines[2]).at("connection"), "/nonexistent/\xEF\xBF\xBD\xEF\xBF\xBDport");

  std::string resultLog;
  int attemptLogs = 0;
  for (const auto& e : std::filesystem::directory_iterator(logs.Path())) {
    const std::string name = e.path().filename().string();
    EXPECT_LE(name.size(), 255u);
    if (name.find("__результаты_поиска.log") != std::string::npos) {
      std::ifstream in(e.path(), std::ios::binary);
      resultLog.assign(std::istreambuf_iterator<char>(in), {});
    } else {
      ++attemptLogs;
    }
  }
  EXPECT_EQ(attemptLogs, 3) << "the long name's attempt log is not lost";
  std::size_t lineEnds = 0;
  for (std::size_t at = resultLog.find("\r\n"); at != std::string::npos;
       at = resultLog.find("\r\n", at + 2))
    ++lineEnds;
  EXPECT_EQ(lineEnds, 3u) << resultLog;
  EXPECT_EQ(resultLog.find(Utf8ToCp1251(": прибор найден\r\n")), std::string::npos) << resultLog;
  EXPECT_NE(resultLog.find("\\x0D\\x0A12:00:00.000"), std::string::npos) << resultLog;
}

// Overlong UTF-8 in a port name spells CR, LF and NUL without being them: it is invalid bytes
// wherever it goes, so the result log keeps one line per attempt with no control byte inside.
TEST(Cli, OverlongPortNamesForgeNoLineInTheResultLog) {
  test::TTempDir logs;
  const std::string overlongCrLf =
      "/nonexistent/a\xC0\x8D\xC0\x8A"
      "12:00:00.000 [COM9:9600,Orvatbus,95]: прибор найден";
  const std::string overlongNul = "/nonexistent/b\xC0\x80z";
  TCliProcess cli({"-p", overlongCrLf, "-p", overlongNul, "-b", "9600", "-P", "orvatbus",
                   "--save-search-logs", "--log-dir", logs.Path().string()});
  EXPECT_EQ(cli.Wait(), 1);
  std::string resultLog;
  std::vector<std::string> attemptLogs;
  for (const auto& e : std::filesystem::directory_iterator(logs.Path())) {
    std::ifstream in(e.path(), std::ios::binary);
    std::string bytes{std::istreambuf_iterator<char>(in), {}};
    if (e.path().filename().string().find("__результаты_поиска.log") != std::string::npos) {
      resultLog = std::move(bytes);
    } else {
      attemptLogs.push_back(std::move(bytes));
    }
  }
  ASSERT_EQ(attemptLogs.size(), 2u);
  for (const std::string& log : {resultLog, attemptLogs[0], attemptLogs[1]}) {
    ASSERT_TRUE(log.ends_with("\r\n")) << log;
    std::size_t lines = 0;
    for (std::size_t at = 0; at < log.size(); ++at) {
      const auto b = static_cast<unsigned char>(log[at]);
      if (b == '\r' && log[at + 1] == '\n') {
        ++lines;
        ++at;
        continue;
      }
      EXPECT_TRUE(b >= 0x20 && b != 0x7F) << "byte " << int(b) << " inside a line of\n" << log;
    }
    EXPECT_GT(lines, 0u);
  }
  std::size_t lineEnds = 0;
  for (std::size_t at = resultLog.find("\r\n"); at != std::string::npos;
       at = resultLog.find("\r\n", at + 2))
    ++lineEnds;
  EXPECT_EQ(lineEnds, 2u) << resultLog;
  EXPECT_NE(resultLog.find("a\\xC0\\x8D\\xC0\\x8A12:00:00.000"), std::string::npos) << resultLog;
  EXPECT_NE(resultLog.find("b\\xC0\\x80z"), std::string::npos) << resultLog;
}

// An output that takes nothing (>/dev/full) is a failure the caller must see: status 3 and a
// message on standard error, for a search (whose result log is still whole), the port list
// and the help text alike. A reader that goes away is not one (see above).
TEST_F(CliEndToEnd, StandardOutputThatCannotBeWrittenExitsThree) {
  TCliProcess search({"-t", Endpoint_, "-P", "modbustcp", "--modbus-addresses", "1", "--timeout",
                      "50", "--log-dir", Logs_.Path().string()},
                     {}, {}, false, true);
  EXPECT_EQ(search.Wait(), 3);
  EXPECT_NE(search.Output().find("cannot write the standard output: No space left on device"),
            std::string::npos)
      << search.Output();
  const TLogFolder logs = ReadLogFolder(Logs_.Path());
  ASSERT_EQ(logs.ResultLines.size(), 1u);
  EXPECT_TRUE(logs.ResultLines[0].ends_with(",ModbusTCP,1]: прибор найден"));

  // --version keeps the status every program gives it (1).
  for (const auto& [option, status] : std::vector<std::pair<std::string, int>>{
           {"--list-ports", 3}, {"--help", 3}, {"--version", 1}}) {
    TCliProcess cli({option}, {{"PROBRIX_EXTRA_PORTS", "/tmp/probrix-sim-a"}}, {}, false, true);
    EXPECT_EQ(cli.Wait(), status) << option;
    EXPECT_NE(cli.Output().find("cannot write the standard output"), std::string::npos)
        << option << ": " << cli.Output();
  }
}

// A device with the maker's registers but a type code the maker's table does not know is asked
// who it is: one that says is shown by its identity (its type code kept in JSON), one that
// refuses keeps today's "Неопределен" with its serial number.
TEST_F(CliEndToEnd, UnknownTypeCodeShownByTheDevicesIdentification) {
  TDeviceConfig wexa;
  wexa.Kind = TDeviceKind::dkModbus;
  wexa.Address = 2;
  wexa.DeviceType = 99;
  wexa.FirmwareVersion = 200;
  wexa.SerialNumber = 30003;
  wexa.IdObjects = {{0, "Wexa"}, {1, "WM-3"}, {2, "2.0"}};
  const int wexaId = Sim_.AddDevice(Port_, wexa);

  TCliProcess json({"--json", "-t", Endpoint_, "-P", "modbustcp", "--modbus-addresses", "1,2",
                    "--timeout", "50", "--log-dir", Logs_.Path().string()});
  EXPECT_EQ(json.Wait(), 0);
  const auto lines = Lines(json.Output());
  ASSERT_EQ(lines.size(), 3u) << json.Output();
  const auto refused = ParseFlatJson(lines[0]);
  EXPECT_EQ(refused.at("deviceTypeCode"), "52");
  EXPECT_EQ(refused.at("deviceType"), "Неопределен");
  EXPECT_EQ(refused.at("serialNumber"), "4321");
  EXPECT_EQ(refused.at("vendor"), "null");
  const auto named = ParseFlatJson(lines[1]);
  EXPECT_EQ(named.at("deviceTypeCode"), "99");
  EXPECT_EQ(named.at("deviceType"), "Wexa WM-3");
  EXPECT_EQ(named.at("firmware"), "2.0");
  EXPECT_EQ(named.at("serialNumber"), "null");
  EXPECT_EQ(named.at("vendor"), "Wexa");
  EXPECT_EQ(named.at("revision"), "2.0");
  EXPECT_EQ(Sim_.RequestCount(wexaId), 2u) << "the registers, then the identification";

  TCliProcess text({"-t", Endpoint_, "-P", "modbustcp", "--modbus-addresses", "1,2", "--timeout",
                    "50", "--log-dir", Logs_.Path().string()});
  EXPECT_EQ(text.Wait(), 0);
  const std::string& out = text.Output();
  EXPECT_NE(out.find("ModbusTCP,1]: прибор найден\n"), std::string::npos) << out;
  EXPECT_NE(out.find("ModbusTCP,2]: прибор найден: Wexa WM-3, версия 2.0\n"), std::string::npos)
      << out;
  EXPECT_TRUE(std::regex_search(
      out, std::regex("\n1 +127\\.0\\.0\\.1:\\d+ +TCP/IP +ModbusTCP +Неопределен +4321 +3\\.12\n")))
      << out;
  EXPECT_TRUE(std::regex_search(
      out, std::regex("\n2 +127\\.0\\.0\\.1:\\d+ +TCP/IP +ModbusTCP +Wexa WM-3 +2\\.0\n")))
      << out;
}

// What the system and the adapters tell about a port reaches the terminal as one line per
// port, control characters shown as escapes.
TEST(Cli, ListPortsEscapesControlCharacters) {
  TCliProcess text({"--list-ports"}, {{"PROBRIX_EXTRA_PORTS", "/tmp/probrix-sim-\x1B[2Jx\rz"}});
  EXPECT_EQ(text.Wait(), 0);
  EXPECT_EQ(text.Output().find('\x1B'), std::string::npos) << text.Output();
  EXPECT_EQ(text.Output().find('\r'), std::string::npos) << text.Output();
  EXPECT_NE(text.Output().find("/tmp/probrix-sim-\\x1B[2Jx\\x0Dz\n"), std::string::npos)
      << text.Output();
  TCliProcess json({"--list-ports", "--json"},
                   {{"PROBRIX_EXTRA_PORTS", "/tmp/probrix-sim-\x1B[2Jx\rz"}});
  EXPECT_EQ(json.Wait(), 0);
  EXPECT_NE(json.Output().find("\"port\":\"/tmp/probrix-sim-\\u001B[2Jx\\rz\""), std::string::npos)
      << json.Output();
}

// Meters set to 8O1 and 8N2 on one port: a search of 8N1 alone finds neither and names no
// format; with their formats in the plan each is found with its own, and every event, line and
// attempt log of that search names the connection with its format. The pseudo terminal drops
// parity, which the 8O1 attempt's log says.
TEST(CliLineFormats, DevicesOnOtherFormatsAreFoundOnlyWithTheirFormatAndNamedWithIt) {
  devsim::TSimulator sim;
  const std::string port = sim.AddSerialPort();
  for (const auto& [address, format] : {std::pair{3, "8O1"}, std::pair{4, "8N2"}}) {
    TDeviceConfig meter;
    meter.Kind = TDeviceKind::dkModbus;
    meter.Address = address;
    meter.DeviceType = 0x34;
    meter.FirmwareVersion = 312;
    meter.SerialNumber = 4300 + address;
    meter.LineFormat = format;
    sim.AddDevice(port, meter);
  }
  const std::vector<std::string> plan{"--json", "-p",        port,        "-b",
                                      "9600",   "-P",        "modbusrtu", "--modbus-addresses",
                                      "3,4",    "--timeout", "200",       "--save-search-logs"};

  test::TTempDir plainLogs;
  std::vector<std::string> plain = plan;
  plain.insert(plain.end(), {"--log-dir", plainLogs.Path().string(), "--line-formats", "8n1"});
  TCliProcess alone(plain);
  EXPECT_EQ(alone.Wait(), 1) << alone.Output();
  EXPECT_EQ(alone.Output().find("lineFormat"), std::string::npos) << alone.Output();
  for (const std::string& name : ReadLogFolder(plainLogs.Path()).AttemptLogs)
    EXPECT_NE(name.find("_9600_ModbusRTU_"), std::string::npos) << name;

  test::TTempDir logs;
  std::vector<std::string> all = plan;
  all.insert(all.end(), {"--log-dir", logs.Path().string(), "--line-formats", "8N1,8O1,8N2"});
  TCliProcess formats(all);
  EXPECT_EQ(formats.Wait(), 0) << formats.Output();
  std::vector<std::string> found, failed;
  for (const std::string& line : Lines(formats.Output())) {
    const auto event = ParseFlatJson(line);
    if (event.at("event") == "finished") continue;
    ASSERT_EQ(event.count("lineFormat"), 1u) << line;
    (event.at("event") == "found" ? found : failed)
        .push_back(event.at("lineFormat") + "," + event.at("probedAddress"));
  }
  EXPECT_EQ(found, (std::vector<std::string>{"8O1,3", "8N2,4"}));
  EXPECT_EQ(failed, (std::vector<std::string>{"8N1,3", "8N1,4", "8O1,4", "8N2,3"}));

  const TLogFolder folder = ReadLogFolder(logs.Path());
  const auto hasLine = [&](const std::string& Text) {
    return std::any_of(folder.ResultLines.begin(), folder.ResultLines.end(),
                       [&](const std::string& L) { return L.ends_with(Text); });
  };
  EXPECT_TRUE(hasLine(port + ":9600:8O1,ModbusRTU,3]: прибор найден"));
  EXPECT_TRUE(hasLine(port + ":9600:8N2,ModbusRTU,4]: прибор найден"));
  EXPECT_TRUE(hasLine(port + ":9600:8N1,ModbusRTU,3]: Нет ответа"));
  EXPECT_EQ(folder.AttemptLogs.size(), 6u);
  std::string oddLog;
  for (const std::string& name : folder.AttemptLogs) {
    if (name.find("_9600_8O1_ModbusRTU_3") == std::string::npos) continue;
    std::ifstream in(logs.Path() / name, std::ios::binary);
    oddLog = Cp1251ToUtf8(std::string(std::istreambuf_iterator<char>(in), {}));
  }
  EXPECT_NE(oddLog.find("не принял формат линии 8O1: действует 8N1"), std::string::npos) << oddLog;
  EXPECT_NE(oddLog.find(";LineFormat=8O1"), std::string::npos) << oddLog;
}

}  // namespace
}  // namespace probrix
