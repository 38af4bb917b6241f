#include <gtest/gtest.h>

#include "messaging/updStrUtils.h"

namespace probrix {
namespace {

TEST(HexDump, CellsOfTwoDigitsAndSeparator) {
  EXPECT_EQ(HexDumpText(BytesOf({0xFF, 0x20, 0x03})), "FF 20 03 ");
  EXPECT_EQ(HexDumpText(BytesOf({0x0A})), "0A ");
  EXPECT_EQ(HexDumpText(BytesOf({0xFF, 0x20, 0x03}), 0), "FF2003");
  EXPECT_EQ(HexDumpText(BytesOf({0xAB, 0x01}), 3), "AB   01   ");
}

TEST(HexDump, EmptyInputGivesEmptyText) {
  EXPECT_EQ(HexDumpText(TBytes()), "");
  const std::uint8_t byte = 0x12;
  EXPECT_EQ(HexDump(&byte, 0), "");
  EXPECT_EQ(HexDump(&byte, -3), "");
}

}  // namespace
}  // namespace probrix
