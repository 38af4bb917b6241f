#include <gtest/gtest.h>

#include "foundation/appCodePage.h"

namespace probrix {
namespace {

TEST(CodePage, EveryCyrillicLetterRoundTrips) {
  const std::string upper = "АБВГДЕЖЗИЙКЛМНОПРСТУФХЦЧШЩЪЫЬЭЮЯ";
  const std::string lower = "абвгдежзийклмнопрстуфхцчшщъыьэюя";
  const std::string u = Utf8ToCp1251(upper), l = Utf8ToCp1251(lower);
  ASSERT_EQ(u.size(), 32u);
  ASSERT_EQ(l.size(), 32u);
  for (int i = 0; i < 32; ++i) {
    EXPECT_EQ(static_cast<unsigned char>(u[i]), 0xC0 + i);
    EXPECT_EQ(static_cast<unsigned char>(l[i]), 0xE0 + i);
  }
  EXPECT_EQ(Utf8ToCp1251("Ёё"), "\xA8\xB8");
  EXPECT_EQ(Cp1251ToUtf8(u), upper);
  EXPECT_EQ(Cp1251ToUtf8(l), lower);
  EXPECT_EQ(Cp1251ToUtf8("\xA8\xB8"), "Ёё");
  // Every byte but the one unassigned code survives the round trip.
  for (int b = 0; b < 256; ++b) {
    if (b == 0x98) continue;
    const std::string one(1, static_cast<char>(b));
    EXPECT_EQ(Utf8ToCp1251(Cp1251ToUtf8(one)), one) << b;
  }
}

TEST(CodePage, CharactersOutsideTheCodePageBecomeQuestionMarks) {
  EXPECT_EQ(Utf8ToCp1251("a€b"),
            "a\x88"
            "b");
  EXPECT_EQ(Utf8ToCp1251("中"), "?");
  EXPECT_EQ(Utf8ToCp1251("😀x"), "?x");
  EXPECT_EQ(Utf8ToCp1251("\xFF"), "?");
  EXPECT_EQ(Utf8ToCp1251("\xD0"), "?");  // truncated two-byte sequence
  EXPECT_EQ(Utf8ToCp1251("\xE4\xB8"
                         "A"),
            "?A");
  EXPECT_EQ(Cp1251ToUtf8("\x98"), "?");
  EXPECT_EQ(Utf8ToCp1251("Поиск приборов ТЕЛУРИКС\r\n").size(), 25u);
}

// Ill-formed UTF-8 is never read as the character it seems to spell: an overlong CR LF or NUL
// stays invalid bytes, in the file ('?' each) and in a log line (escapes of its bytes); a
// control character, valid or not, never reaches a line of a Windows-1251 file through the
// escaping.
TEST(CodePage, IllFormedUtf8IsInvalidBytesInTheCodecAndInTheEscaping) {
  struct TCase {
    const char* What;
    std::string Utf8;
    std::string Cp1251;
    std::string Escaped;
  };
  const TCase cases[] = {
      {"overlong CR LF",
       "a\xC0\x8D\xC0\x8A"
       "b",
       "a????b", "a\\xC0\\x8D\\xC0\\x8Ab"},
      {"overlong NUL", "\xC0\x80", "??", "\\xC0\\x80"},
      {"overlong LF in three bytes", "\xE0\x80\x8A", "???", "\\xE0\\x80\\x8A"},
      {"overlong CR in four bytes", "\xF0\x80\x80\x8D", "????", "\\xF0\\x80\\x80\\x8D"},
      {"overlong 'A'", "\xC1\x81", "??", "\\xC1\\x81"},
      {"surrogate", "\xED\xA0\x80", "???", "\\xED\\xA0\\x80"},
      {"last surrogate", "\xED\xBF\xBF", "???", "\\xED\\xBF\\xBF"},
      {"above U+10FFFF", "\xF4\x90\x80\x80", "????", "\\xF4\\x90\\x80\\x80"},
      {"no such lead byte", "\xF5\x80\x80\x80", "????", "\\xF5\\x80\\x80\\x80"},
      {"truncated at the end", "x\xF0\x9F\x98", "x?", "x\\xF0\\x9F\\x98"},
      {"truncated before ASCII",
       "\xD0"
       "\n",
       "?\n", "\\xD0\\x0A"},
      {"stray continuation byte", "\x80\xBF", "??", "\\x80\\xBF"},
      {"C1 control NEL",
       "a\xC2\x85"
       "b",
       "a?b", "a\\xC2\\x85b"},
      {"line separator", "\xE2\x80\xA8", "?", "\\xE2\\x80\\xA8"},
      {"C0 controls and DEL", "\r\n\x1B\x7F", "\r\n\x1B\x7F", "\\x0D\\x0A\\x1B\\x7F"},
      {"well-formed text stays", "Порт €№ 😀", "\xCF\xEE\xF0\xF2 \x88\xB9 ?", "Порт €№ 😀"},
      {"largest code point", "\xF4\x8F\xBF\xBF", "?", "\xF4\x8F\xBF\xBF"},
  };
  for (const TCase& c : cases) {
    EXPECT_EQ(Utf8ToCp1251(c.Utf8), c.Cp1251) << c.What;
    EXPECT_EQ(SafeLogText(c.Utf8), c.Escaped) << c.What;
    EXPECT_EQ(NeedsLogEscapes(c.Utf8), c.Escaped != c.Utf8) << c.What;
    char bounded[64];
    EXPECT_EQ(std::string(bounded, Utf8ToCp1251(c.Utf8, bounded, sizeof(bounded))), c.Cp1251)
        << c.What;
    for (const unsigned char b : Utf8ToCp1251(SafeLogText(c.Utf8)))
      EXPECT_TRUE(b >= 0x20 && b != 0x7F) << c.What << ": byte " << int(b) << " in a line";
  }
  // The signal-safe form stops at its buffer, in the middle of nothing.
  char two[2];
  EXPECT_EQ(std::string(two, Utf8ToCp1251("\xC0\x8Dя", two, sizeof(two))), "??");
}

}  // namespace
}  // namespace probrix
