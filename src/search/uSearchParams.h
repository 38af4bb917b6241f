#pragma once

// What both front ends (the window and the command line) share about search parameters: the
// address-list grammar, comma text and the check-list encoding of the settings file, the
// settings keys, and turning the operator's choices into a search plan.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "foundation/appIniFiles.h"
#include "search/uFinderEngine.h"

namespace probrix {

// "1, 5-7,3" -> 1 5 6 7 3. Commas and blanks separate items, double quotes group; a range
// whose upper bound is below its lower bound adds nothing. An item that is not a number, or
// not an address 0..255 (a range crossing 255 included: values are never wrapped), raises
// EMathInvalidArgument (class name "EInvalidArgument"). A list longer than
// MaxAddressListLength is refused the same way.
inline constexpr std::size_t MaxAddressListLength = 65536;
std::vector<std::uint8_t> ParseAddressList(std::string_view Text);
// The plan's reading of an address list: ParseAddressList, and a range written backwards
// among other items ("1,5-1") is refused the same way, since dropping it would search less
// than the operator asked for. A list of that range alone gives nothing, as the grammar says
// (a plan left with nothing to search is refused as such).
std::vector<std::uint8_t> CheckAddressList(std::string_view Text);

// A decimal integer, optionally signed, nothing else (no blanks, no "0x" or "$"), within
// 32 bits.
bool TryParseDecimal(std::string_view Text, std::int64_t& Value);

// Comma text as the settings file stores lists: items separated by commas or blanks, double
// quotes group (a doubled quote inside stands for one).
std::vector<std::string> SplitCommaText(std::string_view Text);
// Items joined by commas; an item with a blank, control character, comma or quote is quoted.
std::string JoinCommaText(const std::vector<std::string>& Items);

using TNameValueList = std::vector<std::pair<std::string, std::string>>;
using TCheckItems = std::vector<std::pair<std::string, bool>>;

// "\"COM1=1,COM3=0\"": pairs item=1/0 in list order (a repeated item keeps its first place and
// takes the last state), as comma text, in one pair of double quotes.
std::string EncodeCheckList(const TCheckItems& Items);
// The raw stored value back into pairs; one pair of enclosing quotes is stripped. A malformed
// value yields no pairs, never an error.
TNameValueList DecodeCheckList(std::string_view RawValue);
std::optional<std::string> FindValue(const TNameValueList& Pairs, std::string_view Name);
// Checks each item whose pair exists when its value is "1", unchecks it otherwise; items without
// a pair keep their state; pairs without an item are ignored.
void ApplyCheckStates(TCheckItems& Items, const TNameValueList& Pairs);

inline constexpr std::string_view SearchParamsSection = "SearchParams";
// The address lists of a first start, and of a settings file without them.
inline constexpr std::string_view DefaultOrvatbusAddresses = "0-31";
inline constexpr std::string_view DefaultModbusAddresses = "0-247";
inline constexpr int BaudRateChoices[] = {1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200};
// The line formats the window lists; the command line and the settings file take all of
// SearchLineFormats.
inline constexpr std::size_t WindowLineFormatCount = 4;  // 8N1, 8E1, 8O1, 8N2

// "8N1,8E1" (commas or blanks between, letters of either case): the formats in that order, a
// repeat dropped. A name that is not one of SearchLineFormats raises EArgumentError naming it.
std::vector<TLineFormat> ParseLineFormatList(std::string_view Text);
// "8N1,8E1"
std::string LineFormatListText(const std::vector<TLineFormat>& Formats);

// The section "SearchParams" of the settings file. The lists keep their decoded pairs; the
// window applies them to its check lists, the command line takes the checked names.
struct TSearchSettings {
  TNameValueList SerialPorts, BaudRates, TCPConnections, Protocols;
  bool SearchSingleOrvatbusDevice = true;
  std::string OrvatbusAddresses{DefaultOrvatbusAddresses};
  std::string ModbusAddresses{DefaultModbusAddresses};
  int RequestRetryCount = 1;
  int StartOfPacketReadTimeout = 200;
  int WritePacketTimeout = 100;
  bool SaveSearchLogs = false;
  int ParallelConnections = 1;  // connections searched at once (TSearchDevicesTask)
  // "LineFormats": the formats tried on every serial port at every baud rate. Written only
  // when it is not 8N1 alone or the file has the key already, so a file of the default search
  // stays as it was.
  std::vector<TLineFormat> LineFormats{DefaultLineFormat};

  // Values the file holds but that cannot be read: a number that is not one
  // ("StartOfPacketReadTimeout=abc"), a protocol name not known ("Protocols" with "Bogus=1").
  // The field keeps its default (the known protocols still apply). One entry per key.
  struct TUnreadable {
    std::string What;  // "StartOfPacketReadTimeout=abc: не число"
    std::string Used;  // what the window takes instead: "взято 200"
  };
  std::vector<TUnreadable> Unreadable;
};

TSearchSettings LoadSearchSettings(const TIniFile& Ini);
// The list values are already encoded (EncodeCheckList); written in the settings' key order.
void SaveSearchSettings(TIniFile& Ini, const std::string& SerialPorts, const std::string& BaudRates,
                        const std::string& TCPConnections, const std::string& Protocols,
                        const TSearchSettings& Values);

// The protocol check boxes, looked up in the decoded "Protocols" pairs ("Modbus" is the key of
// older files for ModbusRTU; "ModbusRTU" wins when both are there). Missing pairs keep Current.
struct TProtocolChoice {
  bool Orvatbus = true, ModbusRTU = false, ModbusTCP = false, OrvatAscii = true;
};
TProtocolChoice DecodeProtocols(const TNameValueList& Pairs, TProtocolChoice Current = {});
std::string EncodeProtocols(const TProtocolChoice& Choice);

// Everything a search plan is built from, as the operator chose it.
struct TSearchChoice {
  std::vector<std::string> SerialPortNames;
  std::vector<std::int32_t> BaudRates;
  std::vector<std::string> TcpEndpoints;
  TProtocolChoice Protocols;
  bool SearchSingleOrvatbusDevice = true;
  std::string OrvatbusAddresses{DefaultOrvatbusAddresses};
  std::string ModbusAddresses{DefaultModbusAddresses};
  std::int32_t RequestRetryCount = 1;
  std::int32_t StartOfPacketReadTimeout = 200;
  std::int32_t ParallelConnections = 1;
  std::vector<TLineFormat> LineFormats{DefaultLineFormat};
};

// --- Checking a plan ---------------------------------------------------------------------
// Whichever front end or file a number comes from, it is checked against the range of its
// window control or, without one, a range that no real search needs to leave; nothing is
// ever wrapped or used unchecked.

// A range of whole numbers, both ends included.
struct TPlanRange {
  std::int32_t Min = 0, Max = 0;
  constexpr bool Contains(std::int64_t Value) const { return Value >= Min && Value <= Max; }
  constexpr std::int32_t Clamp(std::int64_t Value) const {
    return static_cast<std::int32_t>(Value < Min ? Min : Value > Max ? Max : Value);
  }
};

// The ranges one front end accepts.
struct TPlanLimits {
  TPlanRange StartOfPacketReadTimeout;  // ms; the read timeout is three times it
  TPlanRange RequestRetryCount;         // 0 behaves as 1
  TPlanRange WritePacketTimeout;        // ms; kept in the settings, unused by the search
  TPlanRange ParallelConnections;       // connections searched at once; 0: one per connection
};
// The window: the spin boxes of the reply timeout and of the connections at once.
inline constexpr TPlanLimits WindowPlanLimits{
    {10, 10000}, {0, 100}, {1, 60000}, {1, MaxParallelConnections}};
// The command line: a wider reply timeout, and 0 for one worker per connection.
inline constexpr TPlanLimits CliPlanLimits{
    {1, 60000}, {0, 100}, {1, 60000}, {0, MaxParallelConnections}};
inline constexpr TPlanRange TcpPortRange{1, 65535};

// "StartOfPacketReadTimeout=0: допустимы значения от 10 до 10000"
std::string PlanRangeText(std::string_view Name, std::int64_t Value, TPlanRange Range);

// The window's reading of a settings file: a value that cannot be read keeps its default and
// each number outside its range is brought to the nearer end, as a spin box does; one notice
// per such key.
std::vector<std::string> ClampSearchSettings(TSearchSettings& Settings, const TPlanLimits& Limits);
// The command line's reading: the first value that cannot be read raises EArgumentError, the
// first number outside its range ERangeError, each naming the key and the value.
void CheckSearchSettings(const TSearchSettings& Settings, const TPlanLimits& Limits);

// An endpoint text the operator or a settings file gives: a host (an IPv6 address in
// brackets), an IPv4 range of the last octet or a CIDR block (uEndPointRange.h), and a decimal
// port 1..65535. A text without a port is port 9999 unless RequirePort. Anything else, an IPv6
// range and a range of more than MaxEndPointRangeAddresses included, raises EArgumentError
// naming the text.
TTcpEndPoint CheckTcpEndPointText(std::string_view Text, bool RequirePort);

// The one check of a search choice, before any plan is filled: the reply timeout, the retry
// count and the connections at once within Limits (ERangeError), every line format one of
// SearchLineFormats, and at least one where serial ports are chosen (EArgumentError),
// every endpoint (EArgumentError),
// every address list of a chosen protocol (CheckAddressList), and a plan that makes at least
// one attempt: a port with a baud rate or an endpoint, and a chosen protocol with an address
// (EArgumentError).
void ValidateSearchChoice(const TSearchChoice& Choice, const TPlanLimits& Limits);

// Validates the choice (above), then fills the task's plan: the line formats as chosen;
// protocols in the order OrvatASCII,
// Orvatbus, ModbusRTU, ModbusTCP; the address lists (Orvatbus [95] in single-device mode,
// OrvatASCII [95]); ReadTimeout three times the reply timeout; the connections at once.
void FillSearchPlan(TSearchDevicesTask& Task, const TSearchChoice& Choice,
                    const TPlanLimits& Limits = WindowPlanLimits);

}  // namespace probrix
