#pragma once

// The command line of probrix-cli, turned into the same search choice the window builds.

#include <optional>
#include <string>
#include <vector>

#include "search/uSearchParams.h"

namespace probrix::cli {

struct TCliOptions {
  TSearchChoice Choice;
  bool SaveSearchLogs = false;
  std::string LogDir;  // empty: the application log's day folder
  bool Json = false;
  bool ListPorts = false;
  bool Help = false;
};

// A usage error: the text to print before the usage lines (exit status 2).
struct TUsageError {
  std::string Message;
};

// Parses argv (argv[0] is skipped). Throws TUsageError for unknown options or bad values, and
// whatever reading the settings file raises. Address lists are kept as text; they are parsed
// when the plan is built, exactly as the window does it.
TCliOptions ParseCliOptions(const std::vector<std::string>& Args);

std::string UsageText();

}  // namespace probrix::cli
