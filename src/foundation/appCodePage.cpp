#include "foundation/appCodePage.h"

#include <array>
#include <cstdint>

namespace probrix {

namespace {

// Unicode code points of the bytes 0x80..0xFF; 0 marks the one byte with no character (0x98).
constexpr std::array<std::uint16_t, 128> HighHalf = {
    0x0402, 0x0403, 0x201A, 0x0453, 0x201E, 0x2026, 0x2020, 0x2021, 0x20AC, 0x2030, 0x0409, 0x2039,
    0x040A, 0x040C, 0x040B, 0x040F, 0x0452, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0x0000, 0x2122, 0x0459, 0x203A, 0x045A, 0x045C, 0x045B, 0x045F, 0x00A0, 0x040E, 0x045E, 0x0408,
    0x00A4, 0x0490, 0x00A6, 0x00A7, 0x0401, 0x00A9, 0x0404, 0x00AB, 0x00AC, 0x00AD, 0x00AE, 0x0407,
    0x00B0, 0x00B1, 0x0406, 0x0456, 0x0491, 0x00B5, 0x00B6, 0x00B7, 0x0451, 0x2116, 0x0454, 0x00BB,
    0x0458, 0x0405, 0x0455, 0x0457, 0x0410, 0x0411, 0x0412, 0x0413, 0x0414, 0x0415, 0x0416, 0x0417,
    0x0418, 0x0419, 0x041A, 0x041B, 0x041C, 0x041D, 0x041E, 0x041F, 0x0420, 0x0421, 0x0422, 0x0423,
    0x0424, 0x0425, 0x0426, 0x0427, 0x0428, 0x0429, 0x042A, 0x042B, 0x042C, 0x042D, 0x042E, 0x042F,
    0x0430, 0x0431, 0x0432, 0x0433, 0x0434, 0x0435, 0x0436, 0x0437, 0x0438, 0x0439, 0x043A, 0x043B,
    0x043C, 0x043D, 0x043E, 0x043F, 0x0440, 0x0441, 0x0442, 0x0443, 0x0444, 0x0445, 0x0446, 0x0447,
    0x0448, 0x0449, 0x044A, 0x044B, 0x044C, 0x044D, 0x044E, 0x044F,
};

void AppendUtf8(std::string& Out, std::uint32_t Cp) {
  if (Cp < 0x80) {
    Out.push_back(static_cast<char>(Cp));
  } else if (Cp < 0x800) {
    Out.push_back(static_cast<char>(0xC0 | (Cp >> 6)));
    Out.push_back(static_cast<char>(0x80 | (Cp & 0x3F)));
  } else {
    Out.push_back(static_cast<char>(0xE0 | (Cp >> 12)));
    Out.push_back(static_cast<char>(0x80 | ((Cp >> 6) & 0x3F)));
    Out.push_back(static_cast<char>(0x80 | (Cp & 0x3F)));
  }
}

char ByteOf(std::uint32_t Cp) {
  if (Cp < 0x80) return static_cast<char>(Cp);
  if (Cp >= 0x0410 && Cp <= 0x044F) return static_cast<char>(Cp - 0x0410 + 0xC0);
  for (std::size_t i = 0; i < HighHalf.size(); ++i)
    if (HighHalf[i] == Cp && Cp != 0) return static_cast<char>(0x80 + i);
  return '?';
}

}  // namespace

TUtf8Char DecodeUtf8Char(std::string_view Text) noexcept {
  if (Text.empty()) return {};
  const auto lead = static_cast<unsigned char>(Text[0]);
  if (lead < 0x80) return {lead, 1, true};
  std::size_t length = 0;
  std::uint32_t cp = 0;
  // The allowed range of the second byte: narrower after E0, ED, F0 and F4, which is what
  // keeps out overlong forms, surrogates and code points above U+10FFFF.
  unsigned char low = 0x80, high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    cp = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    cp = lead & 0x0F;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    cp = lead & 0x07;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return {0, 1, false};  // a continuation byte, C0, C1 or F5..FF: never a first byte
  }
  for (std::size_t i = 1; i < length; ++i) {
    if (i >= Text.size()) return {0, i, false};
    const auto c = static_cast<unsigned char>(Text[i]);
    if (c < (i == 1 ? low : 0x80) || c > (i == 1 ? high : 0xBF)) return {0, i, false};
    cp = (cp << 6) | (c & 0x3F);
  }
  return {cp, length, true};
}

std::size_t Utf8ToCp1251(std::string_view Utf8, char* Out, std::size_t OutSize) noexcept {
  std::size_t written = 0;
  std::size_t i = 0;
  while (i < Utf8.size() && written < OutSize) {
    const auto c = static_cast<unsigned char>(Utf8[i]);
    if (c < 0x80) {
      Out[written++] = static_cast<char>(c);
      ++i;
      continue;
    }
    const TUtf8Char ch = DecodeUtf8Char(Utf8.substr(i));
    Out[written++] = ch.WellFormed ? ByteOf(ch.CodePoint) : '?';
    i += ch.Length;
  }
  return written;
}

std::string Utf8ToCp1251(std::string_view Utf8) {
  // Every character takes at least one UTF-8 byte and gives exactly one byte.
  std::string out(Utf8.size(), '\0');
  out.resize(Utf8ToCp1251(Utf8, out.data(), out.size()));
  return out;
}

std::string Cp1251ToUtf8(std::string_view Cp1251) {
  std::string out;
  out.reserve(Cp1251.size() * 2);
  for (char ch : Cp1251) {
    const auto c = static_cast<unsigned char>(ch);
    if (c < 0x80) {
      out.push_back(ch);
    } else {
      const std::uint16_t cp = HighHalf[c - 0x80];
      AppendUtf8(out, cp == 0 ? '?' : cp);
    }
  }
  return out;
}

namespace {

// What a log line shows as escapes: ill-formed bytes, C0 and C1 controls, DEL, and the two
// characters that break lines without being controls.
bool MustEscape(const TUtf8Char& Ch) {
  if (!Ch.WellFormed) return true;
  const std::uint32_t cp = Ch.CodePoint;
  return cp < 0x20 || (cp >= 0x7F && cp <= 0x9F) || cp == 0x2028 || cp == 0x2029;
}

}  // namespace

bool NeedsLogEscapes(std::string_view Text) noexcept {
  for (std::size_t i = 0; i < Text.size();) {
    const auto c = static_cast<unsigned char>(Text[i]);
    if (c >= 0x20 && c < 0x7F) {
      ++i;
      continue;
    }
    const TUtf8Char ch = DecodeUtf8Char(Text.substr(i));
    if (MustEscape(ch)) return true;
    i += ch.Length;
  }
  return false;
}

std::string SafeLogText(std::string_view Text) {
  static constexpr char HexDigits[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(Text.size());
  for (std::size_t i = 0; i < Text.size();) {
    const auto c = static_cast<unsigned char>(Text[i]);
    if (c >= 0x20 && c < 0x7F) {
      out.push_back(Text[i++]);
      continue;
    }
    const TUtf8Char ch = DecodeUtf8Char(Text.substr(i));
    if (MustEscape(ch)) {
      for (std::size_t k = 0; k < ch.Length; ++k) {
        const auto b = static_cast<unsigned char>(Text[i + k]);
        out += "\\x";
        out.push_back(HexDigits[b >> 4]);
        out.push_back(HexDigits[b & 0x0F]);
      }
    } else {
      out.append(Text.substr(i, ch.Length));
    }
    i += ch.Length;
  }
  return out;
}

}  // namespace probrix
