#pragma once

// The debug switches of "Debug.ini" (section "Debug") and the debugger output they steer.

#include <string>

namespace probrix {

// The switches of "Debug.ini", section "Debug"; all false without the file.
struct TDebugSwitches {
  bool DebugMode = false;
  bool ShowTime = false;
  bool ShowModuleName = false;
  bool ShowThreadID = false;
  bool DebugLog = false;
};
const TDebugSwitches& DebugSwitches();

// Reads the switches from the file (start-up); a missing or unreadable file turns them all off.
void LoadDebugSwitches(const std::string& DebugIniFileName);

// Sends a line to standard error when DebugMode is on, prefixed as the Show switches select.
void DebugOutput(const std::string& Text) noexcept;

}  // namespace probrix
