#include "cli/cliOptions.h"

#include "foundation/appCodePage.h"
#include "foundation/appExceptions.h"
#include "foundation/appIniFiles.h"
#include "foundation/appSysUtils.h"
#include "platform/platFiles.h"

namespace probrix::cli {

namespace {

std::vector<std::string> SplitList(const std::string& Text) {
  std::vector<std::string> items;
  std::string item;
  for (char c : Text + ",") {
    if (c == ',') {
      const std::string t = Trim(item);
      if (!t.empty()) items.push_back(t);
      item.clear();
    } else {
      item.push_back(c);
    }
  }
  return items;
}

// A decimal number: "0x10" or "$10" is refused rather than read as sixteen.
int ParseInt(const std::string& Option, const std::string& Text, TPlanRange Range) {
  std::int64_t v = 0;
  if (!TryParseDecimal(Trim(Text), v) || !Range.Contains(v))
    throw TUsageError{Format("%s: '%s' is not a decimal number from %d to %d",
                             {Option, SafeLogText(Text), Range.Min, Range.Max})};
  return static_cast<int>(v);
}

// A value that names something (a port, a folder) may not be empty: an empty one would
// silently mean something else (no port at all, the default folder).
std::string NonEmpty(const std::string& Option, std::string Value, const char* What) {
  if (Value.empty()) throw TUsageError{Format("%s: the %s is empty", {Option, What})};
  return Value;
}

// The plan of the window's settings file: the checked items of its lists. A file that cannot
// be read, or a number in it outside the command line's range, is a usage error: a missing
// plan must not pass for an empty one.
void ApplySettingsFile(const std::string& Path, TCliOptions& O) {
  if (const platform::TOsError error = platform::CheckFileReadable(Path))
    throw TUsageError{Format("--settings: cannot read '%s': %s", {Path, error.Text})};
  const TSearchSettings s = LoadSearchSettings(TIniFile(Path));
  try {
    CheckSearchSettings(s, CliPlanLimits);
  } catch (const Exception& e) {
    throw TUsageError{Format("--settings '%s': %s", {Path, e.Message})};
  }
  TSearchChoice& c = O.Choice;
  c.SerialPortNames.clear();
  for (const auto& [name, value] : s.SerialPorts)
    if (value == "1") c.SerialPortNames.push_back(name);
  TCheckItems bauds;
  for (int rate : BaudRateChoices)
    bauds.emplace_back(IntToStr(rate), rate == 9600 || rate == 115200);
  ApplyCheckStates(bauds, s.BaudRates);
  c.BaudRates.clear();
  for (const auto& [name, checked] : bauds)
    if (checked) c.BaudRates.push_back(StrToIntDef(name, 0));
  c.TcpEndpoints.clear();
  for (const auto& [name, value] : s.TCPConnections)
    if (value == "1") c.TcpEndpoints.push_back(name);
  c.Protocols = DecodeProtocols(s.Protocols);
  c.SearchSingleOrvatbusDevice = s.SearchSingleOrvatbusDevice;
  c.OrvatbusAddresses = s.OrvatbusAddresses;
  c.ModbusAddresses = s.ModbusAddresses;
  c.RequestRetryCount = s.RequestRetryCount;
  c.StartOfPacketReadTimeout = s.StartOfPacketReadTimeout;
  c.ParallelConnections = s.ParallelConnections;
  c.LineFormats = s.LineFormats;
  O.SaveSearchLogs = s.SaveSearchLogs;
}

}  // namespace

std::string UsageText() {
  return "Usage: probrix-cli [options]\n"
         "Finds devices on serial ports and TCP endpoints with the same engine, plan and logs as\n"
         "the window.\n\n"
         "  -p, --port NAME           serial port to probe (repeatable, kept in order)\n"
         "  -b, --baud LIST           baud rates, comma-separated (default 9600,115200)\n"
         "      --line-formats LIST   serial line formats, comma-separated, tried at every baud\n"
         "                            rate in this order: any of 8N1,8E1,8O1,8N2,8E2,8O2\n"
         "                            (default 8N1); with more than 8N1 the format is shown\n"
         "                            beside the baud rate (COM5:9600:8E1)\n"
         "  -t, --tcp HOST:PORT       TCP endpoint to probe (repeatable, kept in order); also\n"
         "                            a range of the last octet (192.168.1.10-60:502) or a\n"
         "                            CIDR block (192.168.1.0/24:502, /16 to /32), swept first\n"
         "  -P, --protocols LIST      any of orvatascii,orvatbus,modbusrtu,modbustcp\n"
         "                            (default orvatascii,orvatbus); the probing order is always\n"
         "                            OrvatASCII, Orvatbus, ModbusRTU, ModbusTCP\n"
         "      --orvatbus-addresses LIST   probe these Orvatbus addresses (without it:\n"
         "                            single-device mode, address 95)\n"
         "      --modbus-addresses LIST     Modbus addresses (default 0-247)\n"
         "      --timeout MS          reply timeout, 1 to 60000 (default 200; the read timeout is\n"
         "                            three times it)\n"
         "      --retries N           tries in all at an address that does not answer, 0 to 100\n"
         "                            (default 1; 0 also tries once); Orvatbus makes them with\n"
         "                            each checksum, crc1 then crc8. A reply with a bad checksum\n"
         "                            is asked for again up to three tries whatever N is; a\n"
         "                            wrong reply is not asked for again\n"
         "      --parallel N          search N connections (serial ports, TCP endpoints) at once,\n"
         "                            one thread each, 0 to 32 (default 1: one after another;\n"
         "                            0: one per connection); two that reach the same device\n"
         "                            never run at once\n"
         "      --settings FILE       take the plan from the window's settings file (its checked\n"
         "                            items); options given as well override it. Its numbers\n"
         "                            must lie in the ranges above (WritePacketTimeout 1 to\n"
         "                            60000), its protocol names and line formats be known ones\n"
         "      --save-search-logs    also write one log file per attempt\n"
         "      --log-dir DIR         folder of the result log and attempt logs (default: the\n"
         "                            window's day folder)\n"
         "      --json                JSON Lines on standard output instead of text\n"
         "      --list-ports          print the serial port list, one per line with the USB\n"
         "                            adapter's maker, product, serial number and by-id path\n"
         "                            beside it, and exit (with --json: one object per port)\n"
         "  -h, --help                this text\n"
         "      --version             print the program's name and version\n\n"
         "Numbers are decimal. Addresses are 0 to 255; a range written backwards (5-1) is\n"
         "refused among other addresses. An endpoint is HOST:PORT with a port 1 to 65535, an\n"
         "IPv6 address in brackets ([::1]:502). Relative paths are taken from the current\n"
         "folder.\n\n"
         "A range or block of TCP endpoints is swept before the search: up to 256 connects at\n"
         "once, each given up after the 3 s connect timeout, so a /24 where nobody answers costs\n"
         "about 3 s. Only the hosts that accept a connection are searched, in address order, each\n"
         "as an endpoint of its own; every other address gets one line, \"Нет TCP-подключения\".\n"
         "The network and broadcast addresses of a block up to /30 are left out; IPv6 ranges and\n"
         "ranges of more than 65536 addresses are refused. Sweeping a network you do not run can\n"
         "trip its intrusion detection: sweep only networks you are allowed to.\n\n"
         "Exit status:\n"
         "  0    at least one device was found\n"
         "  1    no device was found\n"
         "  2    usage or plan error (nothing was searched)\n"
         "  3    the search ended with an error, or its result log or the standard output could\n"
         "       not be written whole\n"
         "  130  stopped by a signal (Ctrl+C, SIGTERM, SIGHUP): the search stops at once, cutting\n"
         "       short the wait in progress; what was found is printed\n";
}

TCliOptions ParseCliOptions(const std::vector<std::string>& Args) {
  TCliOptions o;
  o.Choice.BaudRates = {9600, 115200};
  o.Choice.Protocols = {true, false, false, true};
  o.Choice.SearchSingleOrvatbusDevice = true;

  // The settings file is the base; options given next to it override its values.
  for (std::size_t i = 0; i < Args.size(); ++i) {
    if (Args[i] == "--settings" && i + 1 < Args.size()) {
      ApplySettingsFile(Args[++i], o);
    } else if (Args[i].rfind("--settings=", 0) == 0) {
      ApplySettingsFile(Args[i].substr(11), o);
    }
  }
  bool portsGiven = false, tcpGiven = false;

  for (std::size_t i = 0; i < Args.size(); ++i) {
    std::string opt = Args[i];
    std::string value;
    bool hasInlineValue = false;
    if (opt.rfind("--", 0) == 0) {
      const std::size_t eq = opt.find('=');
      if (eq != std::string::npos) {
        value = opt.substr(eq + 1);
        opt = opt.substr(0, eq);
        hasInlineValue = true;
      }
    }
    auto next = [&]() -> std::string {
      if (hasInlineValue) return value;
      if (i + 1 >= Args.size()) throw TUsageError{opt + ": a value is missing"};
      return Args[++i];
    };
    if (opt == "-h" || opt == "--help") {
      o.Help = true;
    } else if (opt == "-p" || opt == "--port") {
      if (!portsGiven) o.Choice.SerialPortNames.clear();
      portsGiven = true;
      o.Choice.SerialPortNames.push_back(NonEmpty("--port", next(), "port name"));
    } else if (opt == "-b" || opt == "--baud") {
      o.Choice.BaudRates.clear();
      for (const std::string& b : SplitList(next()))
        o.Choice.BaudRates.push_back(ParseInt("--baud", b, {1, 100000000}));
      if (o.Choice.BaudRates.empty()) throw TUsageError{"--baud: no baud rate given"};
    } else if (opt == "--line-formats") {
      try {
        o.Choice.LineFormats = ParseLineFormatList(next());
      } catch (const Exception& E) {
        throw TUsageError{"--line-formats: " + E.Message};
      }
      if (o.Choice.LineFormats.empty()) throw TUsageError{"--line-formats: no line format given"};
    } else if (opt == "-t" || opt == "--tcp") {
      if (!tcpGiven) o.Choice.TcpEndpoints.clear();
      tcpGiven = true;
      o.Choice.TcpEndpoints.push_back(next());
      try {
        CheckTcpEndPointText(o.Choice.TcpEndpoints.back(), true);
      } catch (const Exception& e) {
        throw TUsageError{"--tcp: " + e.Message};
      }
    } else if (opt == "-P" || opt == "--protocols") {
      TProtocolChoice p{false, false, false, false};
      for (const std::string& name : SplitList(LowerCaseAscii(next()))) {
        if (name == "orvatascii") {
          p.OrvatAscii = true;
        } else if (name == "orvatbus") {
          p.Orvatbus = true;
        } else if (name == "modbusrtu") {
          p.ModbusRTU = true;
        } else if (name == "modbustcp") {
          p.ModbusTCP = true;
        } else {
          throw TUsageError{"--protocols: unknown protocol '" + name + "'"};
        }
      }
      o.Choice.Protocols = p;
    } else if (opt == "--orvatbus-addresses") {
      o.Choice.OrvatbusAddresses = next();
      o.Choice.SearchSingleOrvatbusDevice = false;
    } else if (opt == "--modbus-addresses") {
      o.Choice.ModbusAddresses = next();
    } else if (opt == "--timeout") {
      o.Choice.StartOfPacketReadTimeout =
          ParseInt("--timeout", next(), CliPlanLimits.StartOfPacketReadTimeout);
    } else if (opt == "--retries") {
      o.Choice.RequestRetryCount = ParseInt("--retries", next(), CliPlanLimits.RequestRetryCount);
    } else if (opt == "--parallel") {
      o.Choice.ParallelConnections =
          ParseInt("--parallel", next(), CliPlanLimits.ParallelConnections);
    } else if (opt == "--settings") {
      next();  // already applied
    } else if (opt == "--save-search-logs") {
      o.SaveSearchLogs = true;
    } else if (opt == "--log-dir") {
      o.LogDir = NonEmpty("--log-dir", next(), "folder name");
    } else if (opt == "--json") {
      o.Json = true;
    } else if (opt == "--list-ports") {
      o.ListPorts = true;
    } else {
      throw TUsageError{"unknown option '" + Args[i] + "'"};
    }
  }
  return o;
}

}  // namespace probrix::cli
