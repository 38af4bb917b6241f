#pragma once

// What probrix-cli prints: the window's protocol lines and results table as text, or one JSON
// object per line.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platSerialPorts.h"
#include "search/uFinderEngineTypes.h"

namespace probrix::cli {

// A found device: the attempt that found it (its address is the probed one) and what it is.
struct TFoundDevice {
  TSearchAttempt Attempt;
  TDeviceInfo Info;
};

// A JSON string literal: control characters (C0, DEL, C1, U+2028, U+2029) escaped, each byte
// of an ill-formed UTF-8 part U+FFFD.
std::string JsonString(std::string_view Text);

std::string FoundJson(const TFoundDevice& D);
// A failed attempt; a Reason that is not empty (who holds the port) adds "reason".
std::string ErrorJson(const TSearchAttempt& Attempt, std::string_view ErrorText,
                      std::string_view ErrorClass, std::string_view Reason = {});
// An address of a swept range that accepted no connection: {"event":"no_connection",
// "connection":<address>,"baudOrPort":<port>,"connectionType":"tcp","range":<the plan's entry>,
// "outcome":"refused"|"silent"|"failed","error":<operator text>}.
std::string SweepMissJson(const TSweepMiss& Miss);
// An error that ended the whole run: {"event":"error","fatal":true,"error":...}.
std::string FatalErrorJson(std::string_view ErrorText);
std::string FinishedJson(bool Aborted, std::size_t Found, std::size_t Errors);

// One port of --list-ports with what identifies its adapter.
struct TListedPort {
  std::string Name;
  platform::TSerialPortDescription Description;
};
// One line per port: the name, padded to the widest, and the adapter's description beside it
// where there is one; control characters in either shown as escapes.
std::string PortListText(const std::vector<TListedPort>& Ports);
// {"port":...,"manufacturer":...,"product":...,"serialNumber":...,"byId":...}; empty texts for
// what is not known.
std::string PortJson(const TListedPort& Port);

// The cells of one results row, in the window's column order.
std::vector<std::string> ResultRowCells(const TFoundDevice& D);
// The results table with the window's column titles, columns padded to their widest cell.
std::string ResultsTable(const std::vector<TFoundDevice>& Devices);

}  // namespace probrix::cli
