#include "devsim/devsimLayout.h"

#include <cctype>
#include <limits>
#include <sstream>
#include <stdexcept>

namespace probrix::devsim {

namespace {

struct TItem {
  std::string Key;
  std::string Value;
  bool HasValue = false;
};

std::string Trim(const std::string& S) {
  std::size_t b = 0;
  std::size_t e = S.size();
  while (b < e && std::isspace(static_cast<unsigned char>(S[b]))) ++b;
  while (e > b && std::isspace(static_cast<unsigned char>(S[e - 1]))) --e;
  return S.substr(b, e - b);
}

std::vector<TItem> SplitItems(const std::string& Text) {
  std::vector<TItem> items;
  std::size_t pos = 0;
  while (pos <= Text.size()) {
    std::size_t comma = Text.find(',', pos);
    if (comma == std::string::npos) comma = Text.size();
    const std::string part = Text.substr(pos, comma - pos);
    pos = comma + 1;
    const std::string trimmed = Trim(part);
    if (trimmed.empty()) continue;
    TItem item;
    const auto eq = part.find('=');
    if (eq == std::string::npos) {
      item.Key = trimmed;
    } else {
      item.Key = Trim(part.substr(0, eq));
      item.Value = part.substr(eq + 1);  // text values keep their blanks
      item.HasValue = true;
    }
    items.push_back(item);
  }
  return items;
}

class TItemReader {
 public:
  TItemReader(std::string What, const std::string& Text) : What_(std::move(What)), Text_(Text) {}

  [[noreturn]] void Fail(const std::string& Why) const {
    throw std::invalid_argument(What_ + " \"" + Text_ + "\": " + Why);
  }

  std::int64_t Number(const TItem& Item, std::int64_t Min, std::int64_t Max) const {
    const std::string v = Trim(Item.Value);
    if (!Item.HasValue || v.empty()) Fail("\"" + Item.Key + "\" needs a number");
    std::size_t used = 0;
    long long n = 0;
    try {
      n = std::stoll(v, &used, 0);
    } catch (const std::exception&) {
      Fail("\"" + Item.Key + "=" + v + "\" is not a number");
    }
    if (used != v.size()) Fail("\"" + Item.Key + "=" + v + "\" is not a number");
    if (n < Min || n > Max) {
      Fail("\"" + Item.Key + "\" must be between " + std::to_string(Min) + " and " +
           std::to_string(Max));
    }
    return n;
  }

  void Flag(const TItem& Item) const {
    if (Item.HasValue) Fail("\"" + Item.Key + "\" takes no value");
  }

  // "8N1" ... "8O2", letters of either case.
  std::string LineFormat(const TItem& Item) const {
    std::string v = Trim(Item.Value);
    for (char& c : v) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (!IsLineFormat(v)) Fail("\"" + Item.Key + "\" must be 8N1, 8E1, 8O1, 8N2, 8E2 or 8O2");
    return v;
  }

 private:
  std::string What_;
  std::string Text_;
};

TChecksum ParseChecksum(const TItemReader& R, const TItem& Item) {
  const std::string v = Trim(Item.Value);
  if (v == "crc1") return TChecksum::ckCrc1;
  if (v == "crc8") return TChecksum::ckCrc8;
  R.Fail("\"" + Item.Key + "\" must be crc1 or crc8");
}

constexpr std::int64_t MaxMs = 600000;

}  // namespace

TDeviceConfig ParseDevice(const std::string& Text) {
  TItemReader r("device", Text);
  const auto items = SplitItems(Text);
  if (items.empty() || items[0].HasValue) r.Fail("the description starts with the device kind");
  TDeviceConfig d;
  const std::string& kind = items[0].Key;
  if (kind == "orvatbus") {
    d.Kind = TDeviceKind::dkOrvatbus;
  } else if (kind == "modbus") {
    d.Kind = TDeviceKind::dkModbus;
  } else if (kind == "modbus-rtu") {
    d.Kind = TDeviceKind::dkModbusRtu;
  } else if (kind == "modbus-tcp") {
    d.Kind = TDeviceKind::dkModbusTcp;
  } else if (kind == "ascii" || kind == "orvatascii") {
    d.Kind = TDeviceKind::dkOrvatAscii;
    d.Address = 'A';
  } else {
    r.Fail("unknown device kind \"" + kind +
           "\" (orvatbus, modbus, modbus-rtu, modbus-tcp, ascii)");
  }
  const bool orvatbus = d.Kind == TDeviceKind::dkOrvatbus;
  const bool ascii = d.Kind == TDeviceKind::dkOrvatAscii;
  const bool modbus = !orvatbus && !ascii;
  auto only = [&](bool Allowed, const TItem& Item) {
    if (!Allowed) r.Fail("\"" + Item.Key + "\" does not apply to " + kind);
  };
  TBehaviour& b = d.Behaviour;
  for (std::size_t i = 1; i < items.size(); ++i) {
    const TItem& it = items[i];
    const std::string& k = it.Key;
    if (k == "address" || k == "addr" || k == "unit") {
      d.Address = static_cast<int>(r.Number(it, 0, orvatbus ? 94 : 255));
    } else if (k == "char") {
      only(ascii, it);
      if (!it.HasValue || it.Value.size() != 1) r.Fail("\"char\" needs one character");
      d.Address = static_cast<unsigned char>(it.Value[0]);
    } else if (k == "baud") {
      d.Baud = static_cast<std::uint32_t>(r.Number(it, 1, 4000000));
    } else if (k == "format") {
      d.LineFormat = r.LineFormat(it);
    } else if (k == "type") {
      d.DeviceType = static_cast<std::uint8_t>(r.Number(it, 0, 255));
    } else if (k == "version") {
      d.FirmwareVersion = static_cast<std::uint16_t>(r.Number(it, 0, 65535));
    } else if (k == "serial") {
      d.SerialNumber = static_cast<std::uint32_t>(r.Number(it, 0, 0xFFFFFFFFLL));
    } else if (k == "extra1") {
      d.ExtraWord1 = static_cast<std::uint16_t>(r.Number(it, 0, 65535));
    } else if (k == "extra2") {
      d.ExtraWord2 = static_cast<std::uint16_t>(r.Number(it, 0, 65535));
    } else if (k == "extra-byte") {
      only(orvatbus, it);
      d.ExtraByte = static_cast<std::uint8_t>(r.Number(it, 0, 255));
    } else if (k == "flag") {
      only(orvatbus, it);
      r.Flag(it);
      d.SourceFlag = true;
    } else if (k == "crc") {
      only(orvatbus, it);
      d.Checksum = ParseChecksum(r, it);
    } else if (k == "reply-crc") {
      only(orvatbus, it);
      d.ReplyChecksum = static_cast<int>(ParseChecksum(r, it));
    } else if (k == "error") {
      only(orvatbus, it);
      const std::string v = Trim(it.Value);
      if (v == "busy") {
        d.Error = TOrvatbusError::oeBusy;
      } else if (v == "badparams") {
        d.Error = TOrvatbusError::oeBadParams;
      } else if (v == "unknown") {
        d.Error = TOrvatbusError::oeUnknownCommand;
      } else {
        r.Fail("\"error\" must be busy, badparams or unknown");
      }
    } else if (k == "reply-address") {
      only(!ascii, it);
      d.ReplyAddress = static_cast<int>(r.Number(it, 0, orvatbus ? 95 : 255));
    } else if (k == "foreign") {
      only(modbus, it);
      TItem function = it;
      const auto colon = it.Value.find(':');
      if (colon != std::string::npos) {
        function.Value = it.Value.substr(0, colon);
        const TItem address{k, it.Value.substr(colon + 1), true};
        d.ForeignAddress = static_cast<int>(r.Number(address, 0, 255));
      }
      d.ForeignFunction = static_cast<int>(r.Number(function, 1, 255));
    } else if (k == "exception") {
      only(modbus, it);
      d.ExceptionCode = static_cast<int>(r.Number(it, 1, 255));
    } else if (k == "reply-function") {
      only(modbus, it);
      d.ReplyFunction = static_cast<int>(r.Number(it, 0, 255));
    } else if (k == "registers") {
      only(modbus, it);
      d.ReplyRegisters = static_cast<int>(r.Number(it, 0, 125));
    } else if (k == "other-maker") {
      only(modbus, it);
      r.Flag(it);
      d.OtherMaker = true;
    } else if (k == "any-unit") {
      only(modbus, it);
      r.Flag(it);
      d.AnyUnit = true;
    } else if (k == "vendor" || k == "product" || k == "revision") {
      only(modbus, it);
      if (!it.HasValue) r.Fail("\"" + k + "\" needs a value");
      d.IdObjects[k == "vendor" ? 0 : k == "product" ? 1 : 2] = it.Value;
    } else if (k == "id-per-reply") {
      only(modbus, it);
      d.IdObjectsPerReply = static_cast<int>(r.Number(it, 1, 255));
    } else if (k == "text") {
      only(ascii, it);
      if (!it.HasValue) r.Fail("\"text\" needs a value");
      d.Text = it.Value;
    } else if (k == "interval") {
      only(ascii, it);
      d.IntervalMs = static_cast<int>(r.Number(it, 0, MaxMs));
    } else if (k == "start") {
      only(ascii, it);
      d.StartOffset = static_cast<int>(r.Number(it, 0, 14));
    } else if (k == "silent") {
      r.Flag(it);
      b.Silent = true;
    } else if (k == "delay") {
      b.DelayMs = static_cast<int>(r.Number(it, 0, MaxMs));
    } else if (k == "noise") {
      b.NoiseBytes = static_cast<std::size_t>(r.Number(it, 0, 1 << 20));
    } else if (k == "chunks") {
      TItem count = it;
      const auto colon = it.Value.find(':');
      if (colon != std::string::npos) {
        count.Value = it.Value.substr(0, colon);
        TItem gap{k, it.Value.substr(colon + 1), true};
        b.ChunkGapMs = static_cast<int>(r.Number(gap, 0, MaxMs));
      }
      b.Chunks = static_cast<int>(r.Number(count, 1, 1000));
    } else if (k == "drip") {
      b.DripMs = static_cast<int>(r.Number(it, 0, 60000));
    } else if (k == "bad-crc") {
      only(!ascii, it);
      r.Flag(it);
      b.BadCrc = true;
    } else if (k == "close-mid") {
      r.Flag(it);
      b.CloseMidReply = true;
    } else if (k == "vanish") {
      r.Flag(it);
      b.VanishMidReply = true;
    } else if (k == "garbage") {
      b.GarbageBytes = static_cast<std::size_t>(r.Number(it, 0, 16 << 20));
    } else if (k == "mbap-length") {
      only(modbus, it);
      b.MbapLengthField = static_cast<int>(r.Number(it, 0, 65535));
    } else {
      r.Fail("unknown option \"" + k + "\"");
    }
  }
  return d;
}

TSerialPortConfig ParsePort(const std::string& Text) {
  TItemReader r("port", Text);
  TSerialPortConfig p;
  for (const TItem& it : SplitItems(Text)) {
    if (it.Key == "name") {
      p.Name = Trim(it.Value);
      if (p.Name.empty() || p.Name.find('/') != std::string::npos || p.Name == "." ||
          p.Name == "..") {
        r.Fail("\"name\" must be a plain file name");
      }
    } else if (it.Key == "timing") {
      r.Flag(it);
      p.WireTiming = true;
    } else if (it.Key == "lossy") {
      r.Flag(it);
      p.Lossy = true;
    } else if (it.Key == "baud") {
      p.InitialBaud = static_cast<std::uint32_t>(r.Number(it, 1, 4000000));
    } else if (it.Key == "format") {
      p.LineFormat = r.LineFormat(it);
    } else if (it.Key == "echo") {
      r.Flag(it);
      p.Echo = true;
    } else if (it.Key == "queued") {
      p.QueuedBytes = static_cast<std::size_t>(r.Number(it, 0, 4096));
    } else {
      r.Fail("unknown option \"" + it.Key + "\"");
    }
  }
  return p;
}

TTcpServerConfig ParseTcp(const std::string& Text) {
  TItemReader r("tcp", Text);
  TTcpServerConfig t;
  for (const TItem& it : SplitItems(Text)) {
    if (it.Key == "port") {
      t.Port = static_cast<std::uint16_t>(r.Number(it, 0, 65535));
    } else if (it.Key == "accept-close") {
      r.Flag(it);
      t.AcceptThenClose = true;
    } else if (it.Key == "gateway") {
      t.GatewayException = it.HasValue ? static_cast<int>(r.Number(it, 1, 255)) : 0x0B;
    } else if (it.Key == "echo") {
      r.Flag(it);
      t.Echo = true;
    } else if (it.Key == "greeting") {
      if (!it.HasValue || it.Value.empty()) r.Fail("\"greeting\" needs a text");
      t.Greeting = it.Value + "\r\n";
    } else {
      r.Fail("unknown option \"" + it.Key + "\"");
    }
  }
  return t;
}

TLayout ParseLayout(std::istream& In) {
  TLayout layout;
  std::string line;
  int number = 0;
  while (std::getline(In, line)) {
    ++number;
    const std::string text = Trim(line);
    if (text.empty() || text[0] == '#') continue;
    std::size_t sp = 0;
    while (sp < text.size() && !std::isspace(static_cast<unsigned char>(text[sp]))) ++sp;
    const std::string word = text.substr(0, sp);
    const std::string rest = Trim(text.substr(sp));
    try {
      if (word == "port") {
        TEndpointPlan e;
        e.Serial = true;
        e.Port = ParsePort(rest);
        layout.push_back(e);
      } else if (word == "tcp") {
        TEndpointPlan e;
        e.Serial = false;
        e.Tcp = ParseTcp(rest);
        layout.push_back(e);
      } else if (word == "device") {
        if (layout.empty())
          throw std::invalid_argument("a device needs a port or tcp line above it");
        layout.back().Devices.push_back(ParseDevice(rest));
      } else {
        throw std::invalid_argument("expected port, tcp or device, found \"" + word + "\"");
      }
    } catch (const std::invalid_argument& e) {
      throw std::invalid_argument("line " + std::to_string(number) + ": " + e.what());
    }
  }
  return layout;
}

TLayout DemoLayout(std::uint16_t TcpPort) {
  TLayout layout;

  TEndpointPlan bus;
  bus.Port.Name = "ttySIM0";
  TDeviceConfig ob;  // R221L9, firmware 4.21
  ob.Kind = TDeviceKind::dkOrvatbus;
  ob.Address = 2;
  ob.Checksum = TChecksum::ckCrc8;
  ob.DeviceType = 6;
  ob.FirmwareVersion = 421;
  ob.SerialNumber = 10234;
  bus.Devices.push_back(ob);
  TDeviceConfig ob1;  // R3375, firmware 1.2
  ob1.Kind = TDeviceKind::dkOrvatbus;
  ob1.Address = 7;
  ob1.Checksum = TChecksum::ckCrc1;
  ob1.DeviceType = 85;
  ob1.FirmwareVersion = 0x0102;
  ob1.SerialNumber = 777;
  bus.Devices.push_back(ob1);
  TDeviceConfig rtu;  // R4748, firmware 2.15
  rtu.Kind = TDeviceKind::dkModbus;
  rtu.Address = 17;
  rtu.DeviceType = 16;
  rtu.FirmwareVersion = 215;
  rtu.SerialNumber = 4321;
  bus.Devices.push_back(rtu);
  TDeviceConfig meter;  // another maker's, without device identification
  meter.Kind = TDeviceKind::dkModbus;
  meter.Address = 12;
  meter.OtherMaker = true;
  bus.Devices.push_back(meter);
  layout.push_back(bus);

  TEndpointPlan line;
  line.Port.Name = "ttySIM1";
  TDeviceConfig ascii;
  ascii.Kind = TDeviceKind::dkOrvatAscii;
  ascii.Address = 'A';
  ascii.Text = "+0023.45 kPa";
  ascii.IntervalMs = 200;
  line.Devices.push_back(ascii);
  layout.push_back(line);

  TEndpointPlan tcp;
  tcp.Serial = false;
  tcp.Tcp.Port = TcpPort;
  TDeviceConfig u1;  // R7391, firmware 3.12
  u1.Kind = TDeviceKind::dkModbus;
  u1.Address = 1;
  u1.DeviceType = 206;
  u1.FirmwareVersion = 312;
  u1.SerialNumber = 20001;
  tcp.Devices.push_back(u1);
  TDeviceConfig u5;  // R3329, firmware 10.15
  u5.Kind = TDeviceKind::dkModbus;
  u5.Address = 5;
  u5.DeviceType = 81;
  u5.FirmwareVersion = 0x0A0F;
  u5.SerialNumber = 20005;
  tcp.Devices.push_back(u5);
  TDeviceConfig u3;  // the maker's registers with a type code the maker never used
  u3.Kind = TDeviceKind::dkModbus;
  u3.Address = 3;
  u3.DeviceType = 99;
  u3.FirmwareVersion = 200;
  u3.SerialNumber = 30003;
  u3.IdObjects = {{0, "Wexa"}, {1, "WM-3"}, {2, "2.0"}};
  tcp.Devices.push_back(u3);
  TDeviceConfig u9;  // another maker's: ACME PX-1, revision 1.02
  u9.Kind = TDeviceKind::dkModbus;
  u9.Address = 9;
  u9.OtherMaker = true;
  u9.IdObjects = {{0, "ACME"}, {1, "PX-1"}, {2, "1.02"}};
  tcp.Devices.push_back(u9);
  layout.push_back(tcp);
  return layout;
}

std::vector<TStartedEndpoint> StartLayout(TSimulator& Sim, const TLayout& Layout) {
  std::vector<TStartedEndpoint> started;
  for (const TEndpointPlan& e : Layout) {
    TStartedEndpoint s;
    s.Serial = e.Serial;
    if (e.Serial) {
      s.Path = Sim.AddSerialPort(e.Port);
      for (const auto& d : e.Devices) Sim.AddDevice(s.Path, d);
    } else {
      s.Port = Sim.AddTcpServer(e.Tcp);
      for (const auto& d : e.Devices) Sim.AddDevice(s.Port, d);
    }
    started.push_back(s);
  }
  return started;
}

std::string DescribeEndpoints(const std::vector<TStartedEndpoint>& Endpoints) {
  std::string out;
  for (const auto& e : Endpoints) {
    out += e.Serial ? "port " + e.Path + "\n" : "tcp 127.0.0.1:" + std::to_string(e.Port) + "\n";
  }
  return out;
}

std::string DescribeDevice(const TDeviceConfig& D) {
  std::ostringstream s;
  switch (D.Kind) {
    case TDeviceKind::dkOrvatbus:
      s << "orvatbus address " << D.Address << ' ' << ChecksumName(D.Checksum);
      break;
    case TDeviceKind::dkModbus:
      s << "modbus address " << D.Address;
      break;
    case TDeviceKind::dkModbusRtu:
      s << "modbus-rtu address " << D.Address;
      break;
    case TDeviceKind::dkModbusTcp:
      s << "modbus-tcp address " << D.Address;
      break;
    case TDeviceKind::dkOrvatAscii:
      s << "ascii address " << D.Address;
      if (D.IntervalMs > 0) {
        s << " every " << D.IntervalMs << " ms";
      } else {
        s << " back to back";
      }
      return s.str();
  }
  if (D.OtherMaker) {
    s << " of another maker";
  } else {
    s << " type " << static_cast<int>(D.DeviceType) << " version " << D.FirmwareVersion
      << " serial " << D.SerialNumber;
  }
  for (const auto& [id, value] : D.IdObjects) s << " object " << id << " \"" << value << '"';
  if (D.AnyUnit) s << " any unit";
  if (D.ForeignFunction >= 0) s << " foreign frames of function " << D.ForeignFunction;
  if (D.Baud) s << " baud " << D.Baud;
  if (!D.LineFormat.empty()) s << " format " << D.LineFormat;
  if (D.Behaviour.Silent) s << " silent";
  return s.str();
}

}  // namespace probrix::devsim
