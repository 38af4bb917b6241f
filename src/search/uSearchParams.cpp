#include "search/uSearchParams.h"

#include <algorithm>
#include <array>
#include <utility>

#include "foundation/appCodePage.h"
#include "foundation/appExceptions.h"
#include "foundation/appSysUtils.h"
#include "search/uEndPointRange.h"

namespace probrix {

namespace {

bool IsBlank(char C) { return C >= 1 && C <= ' '; }

// A character of an unquoted item: anything above a blank but the separating comma.
bool IsItemChar(char C) { return static_cast<unsigned char>(C) > ' ' && C != ','; }

}  // namespace

bool TryParseDecimal(std::string_view S, std::int64_t& Value) {
  std::size_t i = 0;
  bool negative = false;
  if (i < S.size() && (S[i] == '+' || S[i] == '-')) negative = S[i++] == '-';
  if (i >= S.size()) return false;
  std::int64_t v = 0;
  for (; i < S.size(); ++i) {
    if (S[i] < '0' || S[i] > '9') return false;
    v = v * 10 + (S[i] - '0');
    if (v > 2147483648LL) return false;
  }
  Value = negative ? -v : v;
  return Value >= -2147483648LL && Value <= 2147483647LL;
}

std::vector<std::string> SplitCommaText(std::string_view Text) {
  std::vector<std::string> items;
  std::size_t p = 0;
  const std::size_t n = Text.size();
  while (p < n && IsBlank(Text[p])) ++p;
  while (p < n) {
    std::string item;
    if (Text[p] == '"') {
      ++p;
      while (p < n) {
        if (Text[p] == '"') {
          if (p + 1 < n && Text[p + 1] == '"') {
            item.push_back('"');
            p += 2;
            continue;
          }
          ++p;
          break;
        }
        item.push_back(Text[p++]);
      }
    } else {
      const std::size_t start = p;
      while (p < n && IsItemChar(Text[p])) ++p;
      item.assign(Text.substr(start, p - start));
    }
    items.push_back(std::move(item));
    while (p < n && IsBlank(Text[p])) ++p;
    if (p < n && Text[p] == ',') {
      if (p + 1 == n) items.emplace_back();
      do {
        ++p;
      } while (p < n && IsBlank(Text[p]));
    } else if (p < n && Text[p] == '\0') {
      break;  // the text ends at a NUL, as a C string does
    }
  }
  return items;
}

std::string JoinCommaText(const std::vector<std::string>& Items) {
  if (Items.size() == 1 && Items[0].empty()) return "\"\"";
  std::string out;
  for (std::size_t i = 0; i < Items.size(); ++i) {
    if (i > 0) out.push_back(',');
    const std::string& s = Items[i];
    bool quote = false;
    for (char c : s)
      if (static_cast<unsigned char>(c) <= ' ' || c == '"' || c == ',') quote = true;
    if (!quote) {
      out += s;
      continue;
    }
    out.push_back('"');
    for (char c : s) {
      if (c == '"') out.push_back('"');
      out.push_back(c);
    }
    out.push_back('"');
  }
  return out;
}

namespace {

std::vector<std::uint8_t> ReadAddressList(std::string_view Text, bool RefuseBackwardRanges) {
  std::vector<std::uint8_t> result;
  const std::vector<std::string> items = SplitCommaText(Text);
  const bool amongOthers = RefuseBackwardRanges &&
                           std::count_if(items.begin(), items.end(),
                                         [](const std::string& I) { return !Trim(I).empty(); }) > 1;
  for (const std::string& raw : items) {
    std::string item = Trim(raw);
    if (item.empty()) continue;
    const auto refuse = [&](std::string_view Why = {}) {
      return EMathInvalidArgument::CreateFmt(
          "Задан ошибочный адрес или диапазон (%s) в списке адресов (%s)%s", {item, Text, Why});
    };
    // An address is a byte: 300 or a range running past 255 is an error, never wrapped onto
    // addresses the operator did not name.
    const auto isAddress = [](std::int64_t V) { return V >= 0 && V <= 255; };
    const std::size_t dash = item.find('-');
    if (dash == std::string::npos) {
      std::int64_t v;
      if (!TryParseDecimal(item, v) || !isAddress(v)) throw refuse();
      result.push_back(static_cast<std::uint8_t>(v));
      continue;
    }
    for (std::size_t at; (at = item.find("--")) != std::string::npos;) item.erase(at, 1);
    const std::size_t sep = item.find('-');
    std::int64_t lower, upper;
    if (!TryParseDecimal(std::string_view(item).substr(0, sep), lower) ||
        !TryParseDecimal(std::string_view(item).substr(sep + 1), upper) || !isAddress(lower) ||
        !isAddress(upper))
      throw refuse();
    if (upper < lower && amongOthers) throw refuse(": начало диапазона больше его конца");
    // A list longer than MaxAddressListLength would only repeat addresses for hours (and could
    // exhaust memory), so it is refused like any other malformed item.
    if (upper >= lower && upper - lower + 1 + static_cast<std::int64_t>(result.size()) >
                              static_cast<std::int64_t>(MaxAddressListLength))
      throw refuse();
    for (std::int64_t v = lower; v <= upper; ++v) result.push_back(static_cast<std::uint8_t>(v));
  }
  return result;
}

}  // namespace

std::vector<std::uint8_t> ParseAddressList(std::string_view Text) {
  return ReadAddressList(Text, false);
}

std::vector<std::uint8_t> CheckAddressList(std::string_view Text) {
  return ReadAddressList(Text, true);
}

namespace {

constexpr std::string_view LineFormatChoicesText = "допустимы 8N1, 8E1, 8O1, 8N2, 8E2, 8O2";

// The formats named in Text, in order, a repeat dropped; names that are none go to Unknown.
std::vector<TLineFormat> ReadLineFormats(std::string_view Text, std::vector<std::string>& Unknown) {
  std::vector<TLineFormat> formats;
  for (const std::string& item : SplitCommaText(Text)) {
    const std::string name = Trim(item);
    if (name.empty()) continue;
    const std::optional<TLineFormat> format = ParseLineFormat(name);
    if (!format)
      Unknown.push_back(name);
    else if (std::find(formats.begin(), formats.end(), *format) == formats.end())
      formats.push_back(*format);
  }
  return formats;
}

}  // namespace

std::vector<TLineFormat> ParseLineFormatList(std::string_view Text) {
  std::vector<std::string> unknown;
  std::vector<TLineFormat> formats = ReadLineFormats(Text, unknown);
  if (!unknown.empty())
    throw EArgumentError::CreateFmt("Неизвестный формат линии (%s): %s",
                                    {unknown.front(), LineFormatChoicesText});
  return formats;
}

std::string LineFormatListText(const std::vector<TLineFormat>& Formats) {
  std::string text;
  for (const TLineFormat& format : Formats) {
    if (!text.empty()) text.push_back(',');
    text += LineFormatName(format);
  }
  return text;
}

std::string EncodeCheckList(const TCheckItems& Items) {
  TNameValueList pairs;
  for (const auto& item : Items) {
    // Not a structured binding: clang 14 cannot capture one in the lambda below.
    const std::string& name = item.first;
    const std::string value = item.second ? "1" : "0";
    auto it =
        std::find_if(pairs.begin(), pairs.end(), [&](const auto& p) { return p.first == name; });
    if (it != pairs.end()) {
      it->second = value;
    } else {
      pairs.emplace_back(name, value);
    }
  }
  std::vector<std::string> items;
  items.reserve(pairs.size());
  for (const auto& [name, value] : pairs) items.push_back(name + "=" + value);
  // Appended piece by piece: "\"" + text + "\"" trips a false -Wrestrict of g++ 12 at -O3.
  std::string out(1, '"');
  out += JoinCommaText(items);
  out += '"';
  return out;
}

TNameValueList DecodeCheckList(std::string_view RawValue) {
  std::string_view text = RawValue;
  if (text.size() > 1 && text.front() == '"' && text.back() == '"')
    text = text.substr(1, text.size() - 2);
  TNameValueList pairs;
  for (const std::string& item : SplitCommaText(text)) {
    const std::size_t eq = item.find('=');
    if (eq == std::string::npos || eq == 0) continue;
    pairs.emplace_back(item.substr(0, eq), item.substr(eq + 1));
  }
  return pairs;
}

std::optional<std::string> FindValue(const TNameValueList& Pairs, std::string_view Name) {
  for (const auto& [name, value] : Pairs)
    if (name == Name) return value;
  return std::nullopt;
}

void ApplyCheckStates(TCheckItems& Items, const TNameValueList& Pairs) {
  for (auto& [name, checked] : Items)
    if (auto value = FindValue(Pairs, name)) checked = *value == "1";
}

TProtocolChoice DecodeProtocols(const TNameValueList& Pairs, TProtocolChoice Current) {
  if (auto v = FindValue(Pairs, "Orvatbus")) Current.Orvatbus = *v == "1";
  if (auto v = FindValue(Pairs, "Modbus")) Current.ModbusRTU = *v == "1";
  if (auto v = FindValue(Pairs, "ModbusRTU")) Current.ModbusRTU = *v == "1";
  if (auto v = FindValue(Pairs, "ModbusTCP")) Current.ModbusTCP = *v == "1";
  if (auto v = FindValue(Pairs, "OrvatASCII")) Current.OrvatAscii = *v == "1";
  return Current;
}

std::string EncodeProtocols(const TProtocolChoice& C) {
  return EncodeCheckList({{"Orvatbus", C.Orvatbus},
                          {"ModbusRTU", C.ModbusRTU},
                          {"ModbusTCP", C.ModbusTCP},
                          {"OrvatASCII", C.OrvatAscii}});
}

TSearchSettings LoadSearchSettings(const TIniFile& Ini) {
  const std::string_view s = SearchParamsSection;
  TSearchSettings r;
  // The lists are read raw: the stored value carries its own pair of enclosing quotes, and
  // stripping a second pair would break a list whose first and last items are quoted.
  r.SerialPorts = DecodeCheckList(Ini.ReadRawString(s, "SerialPorts", ""));
  r.BaudRates = DecodeCheckList(Ini.ReadRawString(s, "BaudRates", ""));
  r.TCPConnections = DecodeCheckList(Ini.ReadRawString(s, "TCPConnections", ""));
  r.Protocols = DecodeCheckList(Ini.ReadRawString(s, "Protocols", ""));
  std::string unknown;
  for (const auto& [name, value] : r.Protocols) {
    if (name == "Orvatbus" || name == "Modbus" || name == "ModbusRTU" || name == "ModbusTCP" ||
        name == "OrvatASCII")
      continue;
    unknown += (unknown.empty() ? "" : ", ") + name;
  }
  if (!unknown.empty())
    r.Unreadable.push_back(
        {SafeLogText(Format("Protocols: неизвестный протокол (%s)", {unknown})), "пропущено"});

  // A number as the INI file reads it (an empty value counts as absent); a value that is not
  // one keeps the default, and says so.
  const auto number = [&](std::string_view Key, int& Field) {
    const std::string value = Ini.ReadString(s, Key, "");
    if (value.empty()) return;
    if (TryStrToInt(value, Field)) return;
    r.Unreadable.push_back(
        {SafeLogText(Format("%s=%s: не число", {Key, value})), Format("взято %d", {Field})});
  };
  const auto flag = [&](std::string_view Key, bool& Field) {
    int value = Field ? 1 : 0;
    number(Key, value);
    Field = value != 0;
  };
  flag("SearchSingleOrvatbusDevice", r.SearchSingleOrvatbusDevice);
  r.OrvatbusAddresses = Ini.ReadString(s, "OrvatbusAddresses", r.OrvatbusAddresses);
  r.ModbusAddresses = Ini.ReadString(s, "ModbusAddresses", r.ModbusAddresses);
  number("RequestRetryCount", r.RequestRetryCount);
  number("StartOfPacketReadTimeout", r.StartOfPacketReadTimeout);
  number("WritePacketTimeout", r.WritePacketTimeout);
  flag("SaveSearchLogs", r.SaveSearchLogs);
  number("ParallelConnections", r.ParallelConnections);

  // The known formats apply; an unknown one is left out and said; none known left: 8N1.
  std::vector<std::string> unknownFormats;
  std::vector<TLineFormat> formats =
      ReadLineFormats(Ini.ReadString(s, "LineFormats", ""), unknownFormats);
  if (!unknownFormats.empty()) {
    std::string names;
    for (const std::string& name : unknownFormats) names += (names.empty() ? "" : ", ") + name;
    r.Unreadable.push_back(
        {SafeLogText(Format("LineFormats: неизвестный формат линии (%s)", {names})),
         formats.empty() ? "взято 8N1" : "пропущено"});
  }
  if (!formats.empty()) r.LineFormats = std::move(formats);
  return r;
}

void SaveSearchSettings(TIniFile& Ini, const std::string& SerialPorts, const std::string& BaudRates,
                        const std::string& TCPConnections, const std::string& Protocols,
                        const TSearchSettings& V) {
  const std::string_view s = SearchParamsSection;
  Ini.WriteString(s, "SerialPorts", SerialPorts);
  Ini.WriteString(s, "BaudRates", BaudRates);
  Ini.WriteString(s, "TCPConnections", TCPConnections);
  Ini.WriteString(s, "Protocols", Protocols);
  Ini.WriteBool(s, "SearchSingleOrvatbusDevice", V.SearchSingleOrvatbusDevice);
  Ini.WriteString(s, "OrvatbusAddresses", V.OrvatbusAddresses);
  Ini.WriteString(s, "ModbusAddresses", V.ModbusAddresses);
  Ini.WriteInteger(s, "RequestRetryCount", V.RequestRetryCount);
  Ini.WriteInteger(s, "StartOfPacketReadTimeout", V.StartOfPacketReadTimeout);
  Ini.WriteInteger(s, "WritePacketTimeout", V.WritePacketTimeout);
  Ini.WriteBool(s, "SaveSearchLogs", V.SaveSearchLogs);
  Ini.WriteInteger(s, "ParallelConnections", V.ParallelConnections);
  if (!IsDefaultLineFormatsOnly(V.LineFormats) || Ini.ValueExists(s, "LineFormats"))
    Ini.WriteString(s, "LineFormats", LineFormatListText(V.LineFormats));
}

std::string PlanRangeText(std::string_view Name, std::int64_t Value, TPlanRange Range) {
  return Format("%s=%s: допустимы значения от %d до %d",
                {Name, std::to_string(Value), Range.Min, Range.Max});
}

namespace {

// The numbers of a settings file (const or not) with their keys and ranges, for the two
// readings below.
template <class TSettings>
auto SettingsNumbers(TSettings& S, const TPlanLimits& L) {
  struct TNumber {
    std::string_view Key;
    decltype((S.RequestRetryCount)) Value;
    TPlanRange Range;
  };
  return std::array<TNumber, 4>{
      {{"RequestRetryCount", S.RequestRetryCount, L.RequestRetryCount},
       {"StartOfPacketReadTimeout", S.StartOfPacketReadTimeout, L.StartOfPacketReadTimeout},
       {"WritePacketTimeout", S.WritePacketTimeout, L.WritePacketTimeout},
       {"ParallelConnections", S.ParallelConnections, L.ParallelConnections}}};
}

void CheckPlanNumber(std::string_view Name, std::int64_t Value, TPlanRange Range) {
  if (!Range.Contains(Value)) throw ERangeError::Create(PlanRangeText(Name, Value, Range));
}

}  // namespace

std::vector<std::string> ClampSearchSettings(TSearchSettings& Settings, const TPlanLimits& Limits) {
  std::vector<std::string> notices;
  for (const auto& u : std::exchange(Settings.Unreadable, {}))
    notices.push_back(Format("Файл настроек: %s; %s", {u.What, u.Used}));
  for (auto& n : SettingsNumbers(Settings, Limits)) {
    if (n.Range.Contains(n.Value)) continue;
    const std::int32_t used = n.Range.Clamp(n.Value);
    notices.push_back(
        Format("Файл настроек: %s; взято %d", {PlanRangeText(n.Key, n.Value, n.Range), used}));
    n.Value = used;
  }
  return notices;
}

void CheckSearchSettings(const TSearchSettings& Settings, const TPlanLimits& Limits) {
  if (!Settings.Unreadable.empty()) throw EArgumentError::Create(Settings.Unreadable.front().What);
  for (const auto& n : SettingsNumbers(Settings, Limits)) CheckPlanNumber(n.Key, n.Value, n.Range);
}

TTcpEndPoint CheckTcpEndPointText(std::string_view Text, bool RequirePort) {
  // A range or a block must be one the sweep can take; its port is checked as any other.
  if (IsEndPointRangeText(Text)) ParseEndPointRange(Text);
  const TTcpEndPoint e = ParseTcpEndPointText(Text);
  const char* why = nullptr;
  std::int64_t port = 0;
  if (e.ExtraItems) {
    why = "лишнее двоеточие (адрес IPv6 пишется в квадратных скобках: [::1]:502)";
  } else if (e.TcpAddr.empty()) {
    why = "не задан адрес";
  } else if (!e.PortText) {
    if (RequirePort) why = "не задан порт";
  } else if (e.PortText->empty() || e.PortText->size() > 5 ||
             e.PortText->find_first_not_of("0123456789") != std::string::npos ||
             !TcpPortRange.Contains(port = std::stoll(*e.PortText))) {
    why = "порт должен быть числом от 1 до 65535";
  }
  if (why != nullptr)
    throw EArgumentError::CreateFmt("Ошибочное TCP-подключение (%s): %s", {Text, why});
  return e;
}

void ValidateSearchChoice(const TSearchChoice& C, const TPlanLimits& Limits) {
  CheckPlanNumber("StartOfPacketReadTimeout", C.StartOfPacketReadTimeout,
                  Limits.StartOfPacketReadTimeout);
  CheckPlanNumber("RequestRetryCount", C.RequestRetryCount, Limits.RequestRetryCount);
  CheckPlanNumber("ParallelConnections", C.ParallelConnections, Limits.ParallelConnections);
  for (const std::string& endpoint : C.TcpEndpoints) CheckTcpEndPointText(endpoint, false);
  for (const TLineFormat& format : C.LineFormats)
    if (std::find(SearchLineFormats.begin(), SearchLineFormats.end(), format) ==
        SearchLineFormats.end())
      throw EArgumentError::CreateFmt("Недопустимый формат линии (%s): %s",
                                      {LineFormatName(format), LineFormatChoicesText});
  if (!C.SerialPortNames.empty() && !C.BaudRates.empty() && C.LineFormats.empty())
    throw EArgumentError::Create("Не отмечен ни один формат линии для COM-портов");

  const TProtocolChoice& p = C.Protocols;
  bool anyAddress = p.OrvatAscii;  // OrvatASCII listens once per connection
  if (p.Orvatbus)
    anyAddress |= C.SearchSingleOrvatbusDevice || !CheckAddressList(C.OrvatbusAddresses).empty();
  if (p.ModbusRTU || p.ModbusTCP) anyAddress |= !CheckAddressList(C.ModbusAddresses).empty();

  // A plan that would make no attempt at all is a mistake of the operator, not a search.
  const bool anyConnection =
      (!C.SerialPortNames.empty() && !C.BaudRates.empty()) || !C.TcpEndpoints.empty();
  if (!anyConnection)
    throw EArgumentError::Create(
        "Нечего искать: не отмечены ни COM-порт со скоростью обмена, ни TCP-подключение");
  if (!anyAddress)
    throw EArgumentError::Create(
        "Нечего искать: не отмечен ни один протокол с адресами для опроса");
}

void FillSearchPlan(TSearchDevicesTask& Task, const TSearchChoice& C, const TPlanLimits& Limits) {
  ValidateSearchChoice(C, Limits);
  Task.SerialPortNames = C.SerialPortNames;
  Task.BaudRates = C.BaudRates;
  Task.LineFormats = C.LineFormats;
  Task.TcpEndpoints = C.TcpEndpoints;
  Task.Protocols.clear();
  if (C.Protocols.OrvatAscii) Task.Protocols.push_back(TDeviceProtocol::dpOrvatAscii);
  if (C.Protocols.Orvatbus) Task.Protocols.push_back(TDeviceProtocol::dpOrvatbus);
  if (C.Protocols.ModbusRTU) Task.Protocols.push_back(TDeviceProtocol::dpModbusRtu);
  if (C.Protocols.ModbusTCP) Task.Protocols.push_back(TDeviceProtocol::dpModbusTcp);

  static constexpr std::uint8_t AnyDevice[] = {95};
  if (C.Protocols.Orvatbus) {
    if (C.SearchSingleOrvatbusDevice) {
      Task.SetAddresses(TDeviceProtocol::dpOrvatbus, AnyDevice);
    } else {
      Task.SetAddresses(TDeviceProtocol::dpOrvatbus, ParseAddressList(C.OrvatbusAddresses));
    }
  }
  if (C.Protocols.ModbusRTU)
    Task.SetAddresses(TDeviceProtocol::dpModbusRtu, ParseAddressList(C.ModbusAddresses));
  if (C.Protocols.ModbusTCP)
    Task.SetAddresses(TDeviceProtocol::dpModbusTcp, ParseAddressList(C.ModbusAddresses));
  if (C.Protocols.OrvatAscii) Task.SetAddresses(TDeviceProtocol::dpOrvatAscii, AnyDevice);

  Task.RequestRetryCount = C.RequestRetryCount;
  Task.StartOfPacketReadTimeout = C.StartOfPacketReadTimeout;
  Task.ReadTimeout = 3 * C.StartOfPacketReadTimeout;
  Task.ParallelConnections = C.ParallelConnections;
}

}  // namespace probrix
