#include "foundation/appSysUtils.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "foundation/appExceptions.h"

namespace probrix {

std::uint64_t TVarRec::AsUInt64() const {
  const auto value = static_cast<std::uint64_t>(Int_);
  if (Size_ >= 8) return value;
  const std::uint64_t mask = (std::uint64_t{1} << (Size_ * 8)) - 1;
  return value & mask;
}

namespace {

[[noreturn]] void InvalidFormat(std::string_view Fmt) {
  throw EConvertError::CreateFmt("Format '%s' invalid or incompatible with argument", {Fmt});
}

[[noreturn]] void MissingArgument(std::string_view Fmt) {
  throw EConvertError::CreateFmt("No argument for format '%s'", {Fmt});
}

// Code points of a UTF-8 text (continuation bytes do not count), so widths and precisions
// behave as they do on single-byte text.
std::size_t CodePointCount(std::string_view S) {
  std::size_t n = 0;
  for (unsigned char c : S) n += (c & 0xC0) != 0x80;
  return n;
}

std::string_view FirstCodePoints(std::string_view S, std::size_t Count) {
  std::size_t seen = 0;
  for (std::size_t i = 0; i < S.size(); ++i) {
    if ((static_cast<unsigned char>(S[i]) & 0xC0) != 0x80) {
      if (seen == Count) return S.substr(0, i);
      ++seen;
    }
  }
  return S;
}

std::string UnsignedToText(std::uint64_t Value, unsigned Base) {
  static constexpr char HexDigits[] = "0123456789ABCDEF";
  char buf[32];
  int at = sizeof(buf);
  do {
    buf[--at] = HexDigits[Value % Base];
    Value /= Base;
  } while (Value != 0);
  return std::string(buf + at, sizeof(buf) - at);
}

void PadDigits(std::string& Digits, int Precision) {
  if (Precision > 0 && Digits.size() < static_cast<std::size_t>(Precision))
    Digits.insert(0, static_cast<std::size_t>(Precision) - Digits.size(), '0');
}

}  // namespace

std::string Format(std::string_view Fmt, TFormatArgs Args) {
  std::string out;
  out.reserve(Fmt.size() + 16);
  std::size_t argIndex = 0;
  std::size_t i = 0;
  const std::size_t n = Fmt.size();

  auto readNumber = [&](int& Value) -> bool {  // digits or "*"; false when neither is there
    if (i < n && Fmt[i] == '*') {
      ++i;
      if (argIndex >= Args.size()) MissingArgument(Fmt);
      const TVarRec& a = Args[argIndex++];
      if (a.Kind() != TVarRec::TKind::vkInteger) InvalidFormat(Fmt);
      const std::int64_t v = a.AsInt64();
      Value = v < 0 ? -1 : static_cast<int>(std::min<std::int64_t>(v, 1 << 20));
      return true;
    }
    if (i >= n || Fmt[i] < '0' || Fmt[i] > '9') return false;
    std::int64_t v = 0;
    while (i < n && Fmt[i] >= '0' && Fmt[i] <= '9') {
      v = std::min<std::int64_t>(v * 10 + (Fmt[i] - '0'), 1 << 20);
      ++i;
    }
    Value = static_cast<int>(v);
    return true;
  };

  while (i < n) {
    if (Fmt[i] != '%') {
      // The text up to the next conversion in one append.
      const std::size_t next = std::min(Fmt.find('%', i), n);
      out.append(Fmt.substr(i, next - i));
      i = next;
      continue;
    }
    ++i;
    if (i >= n) InvalidFormat(Fmt);
    if (Fmt[i] == '%') {
      out.push_back('%');
      ++i;
      continue;
    }
    // "%" [index ":"] ["-"] [width] ["." prec] type
    int number = -1;
    bool haveNumber = readNumber(number);
    if (haveNumber && i < n && Fmt[i] == ':') {
      if (number < 0) InvalidFormat(Fmt);
      argIndex = static_cast<std::size_t>(number);
      ++i;
      haveNumber = false;
      number = -1;
    }
    bool leftAlign = false;
    if (!haveNumber && i < n && Fmt[i] == '-') {
      leftAlign = true;
      ++i;
    }
    int width = -1;
    if (haveNumber) {
      width = number;
    } else {
      readNumber(width);
    }
    int precision = -1;
    if (i < n && Fmt[i] == '.') {
      ++i;
      if (!readNumber(precision)) precision = 0;
    }
    if (i >= n) InvalidFormat(Fmt);
    const char type = static_cast<char>(std::tolower(static_cast<unsigned char>(Fmt[i])));
    ++i;
    if (argIndex >= Args.size()) MissingArgument(Fmt);
    const TVarRec& arg = Args[argIndex++];

    std::string text;
    switch (type) {
      case 'd': {
        if (arg.Kind() != TVarRec::TKind::vkInteger) InvalidFormat(Fmt);
        if (arg.IsSigned() && arg.AsInt64() < 0) {
          const auto magnitude = static_cast<std::uint64_t>(-(arg.AsInt64() + 1)) + 1;
          text = UnsignedToText(magnitude, 10);
          PadDigits(text, precision);
          text.insert(0, 1, '-');
        } else {
          text = UnsignedToText(arg.AsUInt64(), 10);
          PadDigits(text, precision);
        }
        break;
      }
      case 'u':
        if (arg.Kind() != TVarRec::TKind::vkInteger) InvalidFormat(Fmt);
        text = UnsignedToText(arg.AsUInt64(), 10);
        PadDigits(text, precision);
        break;
      case 'x':
        if (arg.Kind() != TVarRec::TKind::vkInteger) InvalidFormat(Fmt);
        text = UnsignedToText(arg.AsUInt64(), 16);
        PadDigits(text, precision);
        break;
      case 'p':
        if (arg.Kind() != TVarRec::TKind::vkPointer) InvalidFormat(Fmt);
        text = UnsignedToText(arg.AsPointer(), 16);
        PadDigits(text, 8);
        break;
      case 's': {
        if (arg.Kind() != TVarRec::TKind::vkString) InvalidFormat(Fmt);
        std::string_view s = arg.AsString();
        if (precision >= 0) s = FirstCodePoints(s, static_cast<std::size_t>(precision));
        text.assign(s);
        break;
      }
      case 'f': {
        if (arg.Kind() != TVarRec::TKind::vkFloat) InvalidFormat(Fmt);
        const int digits = precision < 0 ? 2 : std::min(precision, 18);
        char buf[512];
        const double v = arg.AsFloat();
        if (!std::isfinite(v) || std::fabs(v) >= 1e300) InvalidFormat(Fmt);
        std::snprintf(buf, sizeof(buf), "%.*f", digits, v);
        text = buf;
        break;
      }
      default:
        InvalidFormat(Fmt);
    }
    const std::size_t len = CodePointCount(text);
    if (width > 0 && len < static_cast<std::size_t>(width)) {
      const std::size_t pad = static_cast<std::size_t>(width) - len;
      if (leftAlign) {
        text.append(pad, ' ');
      } else {
        text.insert(0, pad, ' ');
      }
    }
    out += text;
  }
  return out;
}

std::string IntToStr(std::int64_t Value) { return Format("%d", {Value}); }

std::string IntToHex(std::uint64_t Value, int Digits) {
  std::string text = UnsignedToText(Value, 16);
  PadDigits(text, Digits);
  return text;
}

bool TryStrToInt(std::string_view Text, int& Value) {
  std::size_t i = 0;
  bool negative = false;
  if (i < Text.size() && (Text[i] == '+' || Text[i] == '-')) {
    negative = Text[i] == '-';
    ++i;
  }
  unsigned base = 10;
  if (i < Text.size() && Text[i] == '$') {
    base = 16;
    ++i;
  } else if (i + 1 < Text.size() && Text[i] == '0' && (Text[i + 1] == 'x' || Text[i + 1] == 'X')) {
    base = 16;
    i += 2;
  }
  if (i >= Text.size()) return false;
  std::int64_t v = 0;
  for (; i < Text.size(); ++i) {
    const char c = Text[i];
    int d;
    if (c >= '0' && c <= '9') {
      d = c - '0';
    } else if (base == 16 && c >= 'a' && c <= 'f') {
      d = c - 'a' + 10;
    } else if (base == 16 && c >= 'A' && c <= 'F') {
      d = c - 'A' + 10;
    } else {
      return false;
    }
    v = v * base + d;
    if (v > (base == 16 ? 0xFFFFFFFFLL : 2147483648LL)) return false;
  }
  if (base == 16) {
    // Hexadecimal texts denote the 32-bit pattern, as the runtime reads them.
    auto bits = static_cast<std::int32_t>(static_cast<std::uint32_t>(v));
    Value = negative ? -bits : bits;
    return true;
  }
  if (negative) v = -v;
  if (v > 2147483647LL || v < -2147483648LL) return false;
  Value = static_cast<int>(v);
  return true;
}

int StrToIntDef(std::string_view Text, int Default) {
  int v;
  return TryStrToInt(Text, v) ? v : Default;
}

std::string Trim(std::string_view Text) {
  std::size_t b = 0, e = Text.size();
  while (b < e && static_cast<unsigned char>(Text[b]) <= ' ') ++b;
  while (e > b && static_cast<unsigned char>(Text[e - 1]) <= ' ') --e;
  return std::string(Text.substr(b, e - b));
}

std::string UpperCaseAscii(std::string_view Text) {
  std::string s(Text);
  for (char& c : s)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return s;
}

std::string LowerCaseAscii(std::string_view Text) {
  std::string s(Text);
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return s;
}

bool SameTextAscii(std::string_view A, std::string_view B) {
  return A.size() == B.size() && UpperCaseAscii(A) == UpperCaseAscii(B);
}

}  // namespace probrix
