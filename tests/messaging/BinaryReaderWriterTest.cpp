#include <gtest/gtest.h>

#include "foundation/appExceptions.h"
#include "messaging/ioBinaryReader.h"
#include "messaging/ioBinaryWriter.h"

namespace probrix {
namespace {

TEST(BigEndianBinaryReader, WordIsMostSignificantFirstAndEndsTheWindow) {
  TBytesStream stream(BytesOf({0x01, 0x02}));
  TBigEndianBinaryReader reader(&stream, 2);
  EXPECT_EQ(reader.BytesLeft(), 2);
  EXPECT_FALSE(reader.AtEnd());
  EXPECT_EQ(reader.ReadWord(), 0x0102);
  EXPECT_TRUE(reader.AtEnd());
  EXPECT_EQ(reader.BytesLeft(), 0);
}

TEST(BigEndianBinaryReader, ByteAndIntegerValues) {
  TBytesStream stream(BytesOf({0xAB, 0x12, 0x34, 0x56, 0x78, 0xFF}));
  TBigEndianBinaryReader reader(&stream, 6);
  EXPECT_EQ(reader.ReadByte(), 0xAB);
  EXPECT_EQ(reader.ReadInteger(), 0x12345678u);
  EXPECT_EQ(reader.ReadByte(), 0xFF);
  EXPECT_TRUE(reader.AtEnd());
}

TEST(BigEndianBinaryReader, IntegerOverThreeBytesFailsAfterConsumingThem) {
  TBytesStream stream(BytesOf({0x01, 0x02, 0x03}));
  TBigEndianBinaryReader reader(&stream, 3);
  try {
    reader.ReadInteger();
    FAIL() << "no exception";
  } catch (const EEndOfStreamError& e) {
    EXPECT_NE(e.Message.find("Запрошено байт: 1, прочитано байт: 0"), std::string::npos)
        << e.Message;
    EXPECT_NE(e.Message.find("TBigEndianBinaryReader.ReadBuffer"), std::string::npos);
    EXPECT_EQ(e.InnerException(), nullptr);
  }
  EXPECT_EQ(stream.Position(), 3);
  EXPECT_TRUE(reader.AtEnd());
}

TEST(BigEndianBinaryReader, WindowStartsAtStreamPositionAndIgnoresTheRest) {
  TBytesStream stream(BytesOf({0, 1, 2, 3, 4, 5, 6, 7, 8}));
  stream.SetPosition(4);
  TBigEndianBinaryReader reader(&stream, 3);
  EXPECT_EQ(reader.StartPosition(), 4);
  EXPECT_EQ(reader.EndPosition(), 6);
  EXPECT_EQ(reader.ReadByte(), 4);
  EXPECT_EQ(reader.ReadWord(), 0x0506);
  EXPECT_TRUE(reader.AtEnd());
  EXPECT_THROW(reader.ReadByte(), EEndOfStreamError);
  EXPECT_EQ(stream.Position(), 7);  // byte 7 stays unread
}

TEST(BigEndianBinaryReader, WindowLargerThanStreamStillFailsCleanly) {
  TBytesStream stream(BytesOf({0x01}));
  TBigEndianBinaryReader reader(&stream, 100);
  EXPECT_EQ(reader.ReadByte(), 1);
  std::uint8_t buffer[8] = {};
  try {
    reader.ReadBuffer(buffer, 8);
    FAIL() << "no exception";
  } catch (const EEndOfStreamError& e) {
    EXPECT_NE(e.Message.find("Запрошено байт: 8, прочитано байт: 0"), std::string::npos);
  }
}

TEST(BigEndianBinaryReader, ShortRawReadReportsWhatWasRead) {
  TBytesStream stream(BytesOf({0x0A, 0x0B}));
  TBigEndianBinaryReader reader(&stream, 2);
  reader.SetObjname("body");
  std::uint8_t buffer[4] = {};
  try {
    reader.ReadBuffer(buffer, 4);
    FAIL() << "no exception";
  } catch (const EEndOfStreamError& e) {
    EXPECT_NE(e.Message.find("Запрошено байт: 4, прочитано байт: 2 "
                             "(TBigEndianBinaryReader.ReadBuffer Objname: body)"),
              std::string::npos)
        << e.Message;
  }
  EXPECT_EQ(buffer[0], 0x0A);
  EXPECT_EQ(buffer[1], 0x0B);
}

TEST(BinaryReaderWriter, NoStreamIsRejected) {
  try {
    TBigEndianBinaryWriter writer(nullptr);
    FAIL() << "no exception";
  } catch (const EInvalidStreamArgument& e) {
    EXPECT_NE(e.Message.find("TBigEndianBinaryWriter.Create"), std::string::npos) << e.Message;
  }
  try {
    TBigEndianBinaryReader reader(nullptr, 4);
    FAIL() << "no exception";
  } catch (const EInvalidStreamArgument& e) {
    EXPECT_EQ(e.Message,
              "Значение параметра Stream равно null (TBigEndianBinaryReader.Create, Objname: )");
  }
}

TEST(BigEndianBinaryWriter, ModbusRequestBodyAndRoundTrip) {
  TBytesStream stream;
  TBigEndianBinaryWriter writer(&stream);
  writer.WriteByte(1);
  writer.WriteByte(3);
  writer.WriteWord(1000);
  writer.WriteWord(10);
  EXPECT_EQ(stream.Bytes(), BytesOf({0x01, 0x03, 0x03, 0xE8, 0x00, 0x0A}));

  stream.SetPosition(2);
  TBigEndianBinaryReader reader(&stream, 4);
  EXPECT_EQ(reader.ReadWord(), 1000);
  EXPECT_EQ(reader.ReadWord(), 10);
}

}  // namespace
}  // namespace probrix
