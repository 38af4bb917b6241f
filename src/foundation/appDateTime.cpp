#include "foundation/appDateTime.h"

#include <cmath>
#include <cstdint>

#include "foundation/appSysUtils.h"
#include "platform/platClock.h"

namespace probrix {

namespace {

// Days between 1899-12-30 and 1970-01-01.
constexpr std::int64_t UnixEpochDays = 25569;

// Days since 1970-01-01 of a proleptic Gregorian date (H. Hinnant's algorithm).
std::int64_t DaysFromCivil(std::int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const auto yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

void CivilFromDays(std::int64_t z, int& Year, int& Month, int& Day) {
  z += 719468;
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const auto doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const std::int64_t y = static_cast<std::int64_t>(yoe) + era * 400;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  const unsigned d = doy - (153 * mp + 2) / 5 + 1;
  const unsigned m = mp < 10 ? mp + 3 : mp - 9;
  Year = static_cast<int>(y + (m <= 2));
  Month = static_cast<int>(m);
  Day = static_cast<int>(d);
}

}  // namespace

TDateTime EncodeDateTime(int Year, int Month, int Day, int Hour, int Minute, int Second,
                         int MilliSecond) {
  const std::int64_t days =
      DaysFromCivil(Year, static_cast<unsigned>(Month), static_cast<unsigned>(Day)) + UnixEpochDays;
  const double time =
      (((Hour * 60.0 + Minute) * 60.0 + Second) * 1000.0 + MilliSecond) / MSecsPerDay;
  // Before 1899-12-30 the fraction counts away from zero, as the system's date type does.
  return TDateTime(days >= 0 ? static_cast<double>(days) + time : static_cast<double>(days) - time);
}

TDateTime EncodeDateTime(const TDateTimeParts& P) {
  return EncodeDateTime(P.Year, P.Month, P.Day, P.Hour, P.Minute, P.Second, P.MilliSecond);
}

TDateTimeParts DecodeDateTime(TDateTime Value) {
  // Whole milliseconds, rounded as the runtime rounds (to the nearest, ties to even).
  const double v = std::isfinite(Value.Value) ? Value.Value : 0.0;
  const auto total = static_cast<std::int64_t>(std::nearbyint(v * MSecsPerDay));
  const auto msPerDay = static_cast<std::int64_t>(MSecsPerDay);
  std::int64_t days = total / msPerDay;
  std::int64_t ms = total % msPerDay;
  if (ms < 0) ms = -ms;
  TDateTimeParts p;
  CivilFromDays(days - UnixEpochDays, p.Year, p.Month, p.Day);
  p.MilliSecond = static_cast<int>(ms % 1000);
  ms /= 1000;
  p.Second = static_cast<int>(ms % 60);
  ms /= 60;
  p.Minute = static_cast<int>(ms % 60);
  p.Hour = static_cast<int>(ms / 60);
  return p;
}

TDateTime NowDateTime() {
  const platform::TLocalTime t = platform::LocalTimeNow();
  return EncodeDateTime(t.Year, t.Month, t.Day, t.Hour, t.Minute, t.Second, t.Millisecond);
}

std::string FormatDateTime(std::string_view Fmt, TDateTime Value) {
  const TDateTimeParts p = DecodeDateTime(Value);
  std::string out;
  out.reserve(Fmt.size() + 8);
  std::size_t i = 0;
  auto count = [&](char c) {
    std::size_t k = i;
    while (k < Fmt.size() && (Fmt[k] | 0x20) == c) ++k;
    return k - i;
  };
  auto number = [&](int v, int digits) {
    std::string s = std::to_string(v);
    if (static_cast<int>(s.size()) < digits) s.insert(0, digits - s.size(), '0');
    out += s;
  };
  while (i < Fmt.size()) {
    const char c = Fmt[i];
    const char lc = static_cast<char>(c | 0x20);
    if (c == '\'' || c == '"') {
      const std::size_t end = Fmt.find(c, i + 1);
      const std::size_t stop = end == std::string_view::npos ? Fmt.size() : end;
      out.append(Fmt.substr(i + 1, stop - i - 1));
      i = end == std::string_view::npos ? Fmt.size() : end + 1;
      continue;
    }
    std::size_t k;
    switch (lc) {
      case 'y':
        k = count('y');
        if (k <= 2) {
          number(p.Year % 100, 2);
        } else {
          number(p.Year, 4);
        }
        i += k;
        break;
      case 'm':
        k = std::min<std::size_t>(count('m'), 2);
        number(p.Month, static_cast<int>(k));
        i += k;
        break;
      case 'd':
        k = std::min<std::size_t>(count('d'), 2);
        number(p.Day, static_cast<int>(k));
        i += k;
        break;
      case 'h':
        k = std::min<std::size_t>(count('h'), 2);
        number(p.Hour, static_cast<int>(k));
        i += k;
        break;
      case 'n':
        k = std::min<std::size_t>(count('n'), 2);
        number(p.Minute, static_cast<int>(k));
        i += k;
        break;
      case 's':
        k = std::min<std::size_t>(count('s'), 2);
        number(p.Second, static_cast<int>(k));
        i += k;
        break;
      case 'z':
        k = count('z');
        if (k >= 3) {
          number(p.MilliSecond, 3);
          i += 3;
        } else {
          number(p.MilliSecond, 1);
          i += 1;
        }
        break;
      default:
        out.push_back(c);
        ++i;
    }
  }
  return out;
}

}  // namespace probrix
