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

}  // namespace
}  // namespace probrix
