#pragma once

// What every benchmark program shares: one result line per figure for bench/run, and the
// order statistics of a series of samples.

#include <stdlib.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "foundation/appLogging.h"

namespace probrix::bench {

// One figure: bench/run turns these lines into the table of RESULTS.md.
inline void Result(const std::string& Figure, const std::string& Measured,
                   const std::string& Target, bool Met, const std::string& Note = {}) {
  std::printf("RESULT\t%s\t%s\t%s\t%s\t%s\n", Figure.c_str(), Measured.c_str(), Target.c_str(),
              Met ? "yes" : "no", Note.c_str());
  std::fflush(stdout);
}

inline std::string Fixed(double Value, int Digits) {
  char text[64];
  std::snprintf(text, sizeof text, "%.*f", Digits, Value);
  return text;
}

// The sample at quantile Q (0..1) by nearest rank; 0 for no samples.
inline double Quantile(std::vector<double> Samples, double Q) {
  if (Samples.empty()) return 0;
  std::sort(Samples.begin(), Samples.end());
  const auto rank = static_cast<std::size_t>(Q * static_cast<double>(Samples.size() - 1) + 0.5);
  return Samples[std::min(rank, Samples.size() - 1)];
}

// Starts the logging facility with a new temporary folder as the program's folder; the folder,
// or empty when none could be made.
inline std::string StartLoggingInTemporaryFolder(const std::string& Name) {
  std::string folder = "/tmp/" + Name + "-XXXXXX";
  if (mkdtemp(folder.data()) == nullptr) return {};
  TLoggingOptions options;
  options.Argv0 = (std::filesystem::path(folder) / "probrix").string();
  options.ModulePathOverride = options.Argv0;
  options.ChangeCurrentDirectory = false;
  InitializeLogging(options);
  return folder;
}

inline double Median(std::vector<double> Samples) { return Quantile(std::move(Samples), 0.5); }

}  // namespace probrix::bench
