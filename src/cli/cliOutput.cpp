#include "cli/cliOutput.h"

#include <algorithm>
#include <optional>

#include "connections/uSerialPort.h"
#include "foundation/appCodePage.h"
#include "foundation/appSysUtils.h"
#include "search/uSearchReport.h"

namespace probrix::cli {

namespace {

const char* ConnectionTypeKey(TConnectionType T) {
  return T == TConnectionType::ctTcp ? "tcp" : "serial";
}

// A text, or null when there is none.
std::string JsonText(const std::string& Text) { return Text.empty() ? "null" : JsonString(Text); }

// A number, or null when there is none.
template <class T>
std::string JsonNumber(const std::optional<T>& Value) {
  return Value ? IntToStr(static_cast<int>(*Value)) : "null";
}

std::size_t Width(std::string_view S) {
  std::size_t n = 0;
  for (unsigned char c : S) n += (c & 0xC0) != 0x80;
  return n;
}

// The attempt's fields but its probed address, which comes later.
// "lineFormat" only where the attempt has one, so the lines of a search of 8N1 alone stay as
// they were.
std::string CommonJsonFields(const TSearchAttempt& Attempt) {
  const std::string lineFormat =
      Attempt.LineFormat ? ",\"lineFormat\":" + JsonString(LineFormatName(*Attempt.LineFormat))
                         : std::string();
  return Format("\"connection\":%s,\"baudOrPort\":%d%s,\"connectionType\":\"%s\",\"protocol\":%s",
                {JsonString(Attempt.ConnectionName), Attempt.BaudRateOrPort, lineFormat,
                 ConnectionTypeKey(Attempt.ConnectionType),
                 JsonString(DeviceProtocolName(Attempt.Protocol))});
}

}  // namespace

std::string JsonString(std::string_view Text) {
  std::string out = "\"";
  for (std::size_t i = 0; i < Text.size(); ++i) {
    const auto c = static_cast<unsigned char>(Text[i]);
    const char ch = Text[i];
    if (c >= 0x7F) {
      // JSON is UTF-8: each byte of an ill-formed part (a port name in another encoding, an
      // overlong form) becomes U+FFFD instead of making the line unreadable; DEL, the C1
      // controls and the line separators are escaped like the C0 ones.
      const TUtf8Char u = DecodeUtf8Char(Text.substr(i));
      if (!u.WellFormed) {
        for (std::size_t k = 0; k < u.Length; ++k) out += "\xEF\xBF\xBD";
      } else if (u.CodePoint <= 0x9F || u.CodePoint == 0x2028 || u.CodePoint == 0x2029) {
        out += Format("\\u%.4x", {u.CodePoint});
      } else {
        out.append(Text.substr(i, u.Length));
      }
      i += u.Length - 1;
      continue;
    }
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (c < 0x20) {
          out += Format("\\u%.4x", {c});
        } else {
          out.push_back(ch);
        }
    }
  }
  out.push_back('"');
  return out;
}

std::string FoundJson(const TFoundDevice& D) {
  const TDeviceInfo& info = D.Info;
  const TDeviceProtocol protocol = D.Attempt.Protocol;
  std::string s = "{\"event\":\"found\"," + CommonJsonFields(D.Attempt);
  if (protocol == TDeviceProtocol::dpOrvatbus)
    s += Format(",\"checksum\":\"%s\"", {ChecksumKindName(info.ChecksumKind)});
  s += Format(",\"probedAddress\":%d,\"address\":%d", {D.Attempt.Address, info.Address});
  if (protocol != TDeviceProtocol::dpOrvatAscii) {
    const TFoundDeviceCells cells = FoundDeviceCells(protocol, info);
    s += Format(
        ",\"deviceTypeCode\":%s,\"deviceType\":%s,\"firmwareCode\":%s,\"firmware\":%s,"
        "\"serialNumber\":%s",
        {JsonNumber(info.OtherMaker ? std::nullopt : std::optional<int>(info.DeviceType)),
         JsonString(FoundDeviceTypeText(info)),
         JsonNumber(info.OtherMaker ? std::nullopt : std::optional<int>(info.FirmwareVersion)),
         JsonText(cells.SoftVersion.value_or("")), JsonNumber(cells.SerialNum)});
  }
  if (protocol == TDeviceProtocol::dpModbusRtu || protocol == TDeviceProtocol::dpModbusTcp) {
    s += Format(
        ",\"vendor\":%s,\"productCode\":%s,\"revision\":%s,\"modbusException\":%s,"
        "\"sameAsUnit\":%s",
        {JsonText(info.VendorName), JsonText(info.ProductCode), JsonText(info.MajorMinorRevision),
         JsonNumber(info.ModbusException), JsonNumber(info.SameAsUnit)});
  }
  return s + "}";
}

std::string ErrorJson(const TSearchAttempt& Attempt, std::string_view ErrorText,
                      std::string_view ErrorClass, std::string_view Reason) {
  std::string s = "{\"event\":\"error\"," + CommonJsonFields(Attempt) +
                  Format(",\"probedAddress\":%d,\"error\":%s,\"errorClass\":%s",
                         {Attempt.Address, JsonString(ErrorText), JsonString(ErrorClass)});
  if (!Reason.empty()) s += ",\"reason\":" + JsonString(Reason);
  return s + "}";
}

std::string SweepMissJson(const TSweepMiss& Miss) {
  const char* outcome = Miss.Outcome == platform::TConnectOutcome::coRefused  ? "refused"
                        : Miss.Outcome == platform::TConnectOutcome::coSilent ? "silent"
                                                                              : "failed";
  return Format(
      "{\"event\":\"no_connection\",\"connection\":%s,\"baudOrPort\":%d,\"connectionType\":\"%s\","
      "\"range\":%s,\"outcome\":\"%s\",\"error\":%s}",
      {JsonString(Miss.Host), Miss.Port, ConnectionTypeKey(TConnectionType::ctTcp),
       JsonString(Miss.RangeText), outcome, JsonString(SweepMissText(Miss))});
}

std::string FatalErrorJson(std::string_view ErrorText) {
  return "{\"event\":\"error\",\"fatal\":true,\"error\":" + JsonString(ErrorText) + "}";
}

std::string FinishedJson(bool Aborted, std::size_t Found, std::size_t Errors) {
  return Format("{\"event\":\"finished\",\"aborted\":%s,\"found\":%u,\"errors\":%u}",
                {Aborted ? "true" : "false", Found, Errors});
}

std::string PortListText(const std::vector<TListedPort>& Ports) {
  // Names and descriptions come from the system and the adapters: one port, one line.
  std::vector<std::string> names;
  std::size_t width = 0;
  for (const TListedPort& p : Ports) {
    names.push_back(SafeLogText(p.Name));
    width = std::max(width, Width(names.back()));
  }
  std::string out;
  for (std::size_t i = 0; i < Ports.size(); ++i) {
    out += names[i];
    const std::string text = SafeLogText(PortDescriptionText(Ports[i].Description));
    if (!text.empty()) out += std::string(width - Width(names[i]) + 2, ' ') + text;
    out += "\n";
  }
  return out;
}

std::string PortJson(const TListedPort& Port) {
  const platform::TSerialPortDescription& d = Port.Description;
  return Format("{\"port\":%s,\"manufacturer\":%s,\"product\":%s,\"serialNumber\":%s,\"byId\":%s}",
                {JsonString(Port.Name), JsonString(d.Manufacturer), JsonString(d.Product),
                 JsonString(d.SerialNumber), JsonString(PortByIdPath(d))});
}

std::vector<std::string> ResultRowCells(const TFoundDevice& D) {
  const TSearchAttempt& a = D.Attempt;
  const TFoundDeviceCells cells = FoundDeviceCells(a.Protocol, D.Info);
  return {IntToStr(D.Info.Address),
          SafeLogText(ConnectionPointText(a)),
          ConnectionTypeText(static_cast<int>(a.ConnectionType)),
          FoundProtocolText(a.Protocol, D.Info.ChecksumKind),
          cells.DeviceType.value_or(""),
          cells.SerialNum ? IntToStr(*cells.SerialNum) : "",
          cells.SoftVersion.value_or("")};
}

std::string ResultsTable(const std::vector<TFoundDevice>& Devices) {
  std::vector<std::vector<std::string>> rows{{"Адрес", "Подключение", "Тип подключения", "Протокол",
                                              "Тип прибора", "Сер.номер", "Версия прошивки"}};
  for (const TFoundDevice& d : Devices) rows.push_back(ResultRowCells(d));
  std::vector<std::size_t> widths(rows[0].size(), 0);
  for (const auto& row : rows)
    for (std::size_t c = 0; c < row.size(); ++c) widths[c] = std::max(widths[c], Width(row[c]));
  std::string out;
  for (const auto& row : rows) {
    std::string line;
    for (std::size_t c = 0; c < row.size(); ++c) {
      line += row[c];
      if (c + 1 < row.size()) line.append(widths[c] - Width(row[c]) + 2, ' ');
    }
    while (!line.empty() && line.back() == ' ') line.pop_back();
    out += line + "\n";
  }
  return out;
}

}  // namespace probrix::cli
