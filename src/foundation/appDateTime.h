#pragma once

// The system's date-time value: days since 1899-12-30 as a double, the fraction being the
// time of day, so time stamps come out exactly as the log formats expect.

#include <cstdint>
#include <string>
#include <string_view>

namespace probrix {

struct TDateTime {
  double Value = 0.0;

  constexpr TDateTime() = default;
  constexpr explicit TDateTime(double V) : Value(V) {}
  friend constexpr bool operator==(TDateTime, TDateTime) = default;
  friend constexpr auto operator<=>(TDateTime A, TDateTime B) { return A.Value <=> B.Value; }
};

inline constexpr double MSecsPerDay = 86400000.0;

struct TDateTimeParts {
  int Year = 1899, Month = 12, Day = 30;
  int Hour = 0, Minute = 0, Second = 0, MilliSecond = 0;
};

TDateTime EncodeDateTime(int Year, int Month, int Day, int Hour, int Minute, int Second,
                         int MilliSecond);
TDateTime EncodeDateTime(const TDateTimeParts& Parts);
TDateTimeParts DecodeDateTime(TDateTime Value);
// The local wall clock, to the millisecond.
TDateTime NowDateTime();

// Delphi FormatDateTime subset, case-insensitive specifiers: yyyy yy mm m dd d hh h nn n ss s
// zzz z; text in single or double quotes is copied; any other character is copied as it is.
std::string FormatDateTime(std::string_view Fmt, TDateTime Value);

}  // namespace probrix
