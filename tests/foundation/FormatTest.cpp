#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "foundation/appExceptions.h"
#include "foundation/appSysUtils.h"

namespace probrix {
namespace {

TEST(Format, Placeholders) {
  EXPECT_EQ(Format("%s=%d", {"a", 42}), "a=42");
  EXPECT_EQ(Format("%d", {-7}), "-7");
  EXPECT_EQ(Format("%.3d|%.3d", {5, -5}), "005|-005");
  EXPECT_EQ(Format("%x %.2x %.8x", {255, 10, 0x1234}), "FF 0A 00001234");
  EXPECT_EQ(Format("%.2x", {std::uint8_t{0xC1}}), "C1");
  EXPECT_EQ(Format("%x", {-1}), "FFFFFFFF");
  EXPECT_EQ(Format("%x", {std::int64_t{-1}}), "FFFFFFFFFFFFFFFF");
  EXPECT_EQ(Format("%u", {-1}), "4294967295");
  EXPECT_EQ(Format("100%%", {}), "100%");
  EXPECT_EQ(Format("%d", {std::int64_t{-9223372036854775807LL - 1}}), "-9223372036854775808");
  EXPECT_EQ(Format("%.2f", {2.5}), "2.50");
}

TEST(Format, WidthAlignmentIndexAndStar) {
  EXPECT_EQ(Format("[%5s][%-5s]", {"ab", "ab"}), "[   ab][ab   ]");
  EXPECT_EQ(Format("[%4d]", {7}), "[   7]");
  EXPECT_EQ(Format("%1:s %0:s %s", {"a", "b"}), "b a b");
  EXPECT_EQ(Format("[%*d]", {3, 1}), "[  1]");
  EXPECT_EQ(Format("%.2s", {"abc"}), "ab");
  // Widths count characters, not UTF-8 bytes.
  EXPECT_EQ(Format("[%4s]", {"ая"}), "[  ая]");
  EXPECT_EQ(Format("%.1s", {"яб"}), "я");
}

TEST(Format, PointerHasAtLeastEightUpperCaseDigits) {
  int x = 0;
  const std::string p = Format("%p", {&x});
  EXPECT_GE(p.size(), 8u);
  EXPECT_EQ(p.find_first_not_of("0123456789ABCDEF"), std::string::npos);
  EXPECT_EQ(Format("%p", {static_cast<void*>(nullptr)}), "00000000");
}

TEST(Format, FailuresThrowConvertError) {
  EXPECT_THROW(Format("%d", {"text"}), EConvertError);
  EXPECT_THROW(Format("%s", {5}), EConvertError);
  EXPECT_THROW(Format("%d %d", {1}), EConvertError);
  EXPECT_THROW(Format("%q", {1}), EConvertError);
  EXPECT_THROW(Format("50%", {}), EConvertError);
  EXPECT_THROW(Format("%x", {1.5}), EConvertError);
  EXPECT_THROW(Format("%5:d", {1}), EConvertError);
  try {
    Format("%d", {});
  } catch (const EConvertError& e) {
    EXPECT_EQ(e.Message, "No argument for format '%d'");
  }
}

TEST(Format, VectorArguments) {
  std::vector<TVarRec> args{1, std::string("two")};
  EXPECT_EQ(Format("%d-%s", args), "1-two");
}

TEST(Format, Conversions) {
  EXPECT_EQ(StrToIntDef("42", 0), 42);
  EXPECT_EQ(StrToIntDef("-42", 0), -42);
  EXPECT_EQ(StrToIntDef("$FF", 0), 255);
  EXPECT_EQ(StrToIntDef(" 1", -1), -1);
  EXPECT_EQ(StrToIntDef("", -1), -1);
  EXPECT_EQ(StrToIntDef("2147483648", -1), -1);
  EXPECT_EQ(StrToIntDef("-2147483648", 0), -2147483647 - 1);
  EXPECT_EQ(IntToHex(0xAB, 4), "00AB");
  EXPECT_EQ(Trim("  a b \r\n"), "a b");
}

}  // namespace
}  // namespace probrix
