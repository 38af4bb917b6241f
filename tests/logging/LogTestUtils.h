#pragma once

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "foundation/appCodePage.h"
#include "foundation/appDateTime.h"
#include "foundation/appFileLogs.h"

namespace probrix::test {

// The bytes of a file, or "" when it is missing.
inline std::string ReadBytes(const std::filesystem::path& Path) {
  std::ifstream in(Path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// A log file decoded from Windows-1251.
inline std::string ReadLog(const std::filesystem::path& Path) {
  return Cp1251ToUtf8(ReadBytes(Path));
}

// The file's text split at CR LF (a final CR LF gives no empty tail element).
inline std::vector<std::string> ReadLogLines(const std::filesystem::path& Path) {
  const std::string text = ReadLog(Path);
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    const std::size_t end = text.find("\r\n", start);
    if (end == std::string::npos) {
      lines.push_back(text.substr(start));
      break;
    }
    lines.push_back(text.substr(start, end - start));
    start = end + 2;
  }
  return lines;
}

// Every regular file below Root, sorted.
inline std::vector<std::filesystem::path> FilesBelow(const std::filesystem::path& Root) {
  std::vector<std::filesystem::path> files;
  std::error_code ec;
  if (!std::filesystem::exists(Root, ec)) return files;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(Root, ec))
    if (entry.is_regular_file()) files.push_back(entry.path());
  std::sort(files.begin(), files.end());
  return files;
}

// Whether Text matches Pattern, in which "{d}" stands for one decimal digit, "{hex}" for one
// or more upper-case hexadecimal digits and everything else for itself.
inline bool Matches(std::string_view Text, std::string_view Pattern) {
  if (Pattern.empty()) return Text.empty();
  if (Pattern.starts_with("{d}"))
    return !Text.empty() && Text[0] >= '0' && Text[0] <= '9' &&
           Matches(Text.substr(1), Pattern.substr(3));
  if (Pattern.starts_with("{hex}")) {
    std::size_t n = 0;
    while (n < Text.size() &&
           ((Text[n] >= '0' && Text[n] <= '9') || (Text[n] >= 'A' && Text[n] <= 'F')))
      ++n;
    for (; n > 0; --n)
      if (Matches(Text.substr(n), Pattern.substr(5))) return true;
    return false;
  }
  return !Text.empty() && Text[0] == Pattern[0] && Matches(Text.substr(1), Pattern.substr(1));
}

// Whether Line starts with a log time stamp "HH:NN:SS.ZZZ ".
inline bool HasTimeStamp(const std::string& Line) {
  return Line.size() >= 13 && Matches(Line.substr(0, 13), "{d}{d}:{d}{d}:{d}{d}.{d}{d}{d} ");
}

// A clock the test moves by hand.
struct TFakeClock {
  std::atomic<double> Value{EncodeDateTime(2026, 12, 7, 14, 5, 6, 789).Value};
  void Set(int Y, int M, int D, int H, int N, int S, int Z) {
    Value = EncodeDateTime(Y, M, D, H, N, S, Z).Value;
  }
  TLogClock Clock() {
    return [this] { return TDateTime(Value.load()); };
  }
};

// Sets (or with nullptr unsets) an environment variable until the object goes.
class TEnvOverride {
 public:
  TEnvOverride(const char* Name, const char* Value) : Name_(Name) {
    if (const char* old = std::getenv(Name)) {
      Had_ = true;
      Old_ = old;
    }
    if (Value) {
      ::setenv(Name, Value, 1);
    } else {
      ::unsetenv(Name);
    }
  }
  ~TEnvOverride() {
    if (Had_) {
      ::setenv(Name_.c_str(), Old_.c_str(), 1);
    } else {
      ::unsetenv(Name_.c_str());
    }
  }
  TEnvOverride(const TEnvOverride&) = delete;
  TEnvOverride& operator=(const TEnvOverride&) = delete;

 private:
  std::string Name_;
  bool Had_ = false;
  std::string Old_;
};

}  // namespace probrix::test
