#include <gtest/gtest.h>

#include "foundation/ioExceptions.h"
#include "messaging/ioOrvatAsciiCoreTypes.h"

namespace probrix {
namespace {

TBytes Text(const std::string& S) { return TBytes(S.begin(), S.end()); }

TEST(OrvatAsciiUtils, LastLineTakesTheLastLineWithoutItsEnd) {
  EXPECT_EQ(OrvatAsciiUtils::LastLine(Text("1234567890ABC\r\n")), Text("1234567890ABC"));
  EXPECT_EQ(OrvatAsciiUtils::LastLine(Text("first\r\nsecond\r\n")), Text("second"));
  EXPECT_EQ(OrvatAsciiUtils::LastLine(Text("a\rb\nc")), Text("c"));
  EXPECT_EQ(OrvatAsciiUtils::LastLine(Text("a\n\rb\r")), Text("b"));
  EXPECT_EQ(OrvatAsciiUtils::LastLine(Text("line\r\n\r\n")), Text(""));
  EXPECT_EQ(OrvatAsciiUtils::LastLine(Text("")), Text(""));
  EXPECT_EQ(OrvatAsciiUtils::LastLine(Text("\r\n")), Text(""));
  TBytes withZero = Text("one\r\ntwo\r\n");
  withZero.insert(5, 1, 0x00);  // "one\r\n" then a zero byte ends the text
  EXPECT_EQ(OrvatAsciiUtils::LastLine(withZero), Text("one"));
}

TEST(OrvatAsciiUtils, BodyMustHaveThirteenCharacters) {
  EXPECT_NO_THROW(OrvatAsciiUtils::CheckBody(Text("1234567890ABC")));
  for (const char* body : {"1234567890AB", "1234567890ABCD", ""}) {
    try {
      OrvatAsciiUtils::CheckBody(Text(body));
      ADD_FAILURE() << "accepted " << body;
    } catch (const ECorruptMessageFrame& e) {
      EXPECT_EQ(e.Message,
                "Тело сообщения ORVATBUS ASCII не содержит достаточного количества байт. Кол-во "
                "байт в теле сообщения: " +
                    std::to_string(std::string(body).size()) +
                    " (ожидаемая длина тела сообщения: 13 байт)");
    }
  }
}

TEST(OrvatAsciiUtils, AddressIsTheLowSevenBits) {
  EXPECT_EQ(OrvatAsciiUtils::DecodeAddress('A'), 65);
  EXPECT_EQ(OrvatAsciiUtils::DecodeAddress(0xC1), 65);
  EXPECT_EQ(OrvatAsciiUtils::DecodeAddress('1'), 49);
  EXPECT_EQ(OrvatAsciiUtils::DecodeAddress(0x80), 0);
}

}  // namespace
}  // namespace probrix
