// Read Device Identification (function 0x2B, MEI type 0x0E): the request, the reply decoder
// and the RTU length of a reply, pinned with the examples of the Modbus application protocol
// and a frame recorded from a meter of another maker.

#include <gtest/gtest.h>

#include <string>

#include "foundation/ioExceptions.h"
#include "messaging/ioModbusCoreTypes.h"
#include "support/TestSupport.h"

namespace probrix {
namespace {

TBytes Text(const std::string& S) { return TBytes(S.begin(), S.end()); }

// The reply body of the protocol's basic example (address 1): conformity level 01, no more
// objects, VendorName "Company identification", ProductCode "Product code XX",
// MajorMinorRevision "V2.11".
TBytes BasicExampleReply() {
  return BytesOf({0x01, 0x2B, 0x0E, 0x01, 0x01, 0x00, 0x00, 0x03, 0x00, 0x16}) +
         Text("Company identification") + BytesOf({0x01, 0x0F}) + Text("Product code XX") +
         BytesOf({0x02, 0x05}) + Text("V2.11");
}

// A reply of a KBR multicomp F144 meter as its manual prints it, CRC included.
const TBytes MeterFrame = BytesOf({0x01, 0x2B, 0x0E, 0x01, 0x01, 0x00, 0x00, 0x03, 0x00, 0x08}) +
                          Text("KBR GmbH") + BytesOf({0x01, 0x12}) + Text("multicomp F144-3  ") +
                          BytesOf({0x02, 0x09}) + Text(" 2.00r016") + BytesOf({0xCD, 0xDB});

TEST(ModbusDeviceId, RequestKnownVectors) {
  EXPECT_EQ(ModbusUtils::BuildReadDeviceIdRequest(0x01, ModbusUtils::ReadDeviceIdBasic, 0x00),
            BytesOf({0x01, 0x2B, 0x0E, 0x01, 0x00}));
  // The meter's manual: 01 2B 0E 01 00 70 77.
  EXPECT_EQ(ModbusUtils::BuildRtuFrame(ModbusUtils::BuildReadDeviceIdRequest(1, 1, 0)),
            BytesOf({0x01, 0x2B, 0x0E, 0x01, 0x00, 0x70, 0x77}));
  EXPECT_EQ(ModbusUtils::BuildReadDeviceIdRequest(0xF7, 0x04, 0x02),
            BytesOf({0xF7, 0x2B, 0x0E, 0x04, 0x02}));
}

TEST(ModbusDeviceId, ProtocolExamplesDecode) {
  const TModbusDeviceIdReply basic = ModbusUtils::ParseReadDeviceIdReply(BasicExampleReply());
  EXPECT_EQ(basic.ReadDeviceIdCode, 0x01);
  EXPECT_EQ(basic.ConformityLevel, 0x01);
  EXPECT_FALSE(basic.MoreFollows);
  EXPECT_EQ(basic.NextObjectId, 0x00);
  ASSERT_EQ(basic.Objects.size(), 3u);
  EXPECT_EQ(basic.Objects[0], (TModbusDeviceIdObject{0x00, Text("Company identification")}));
  EXPECT_EQ(basic.Objects[1], (TModbusDeviceIdObject{0x01, Text("Product code XX")}));
  EXPECT_EQ(basic.Objects[2], (TModbusDeviceIdObject{0x02, Text("V2.11")}));

  // The same objects in two transactions: the first reply says more follows from object 2.
  const TBytes first = BytesOf({0x01, 0x2B, 0x0E, 0x01, 0x01, 0xFF, 0x02, 0x02, 0x00, 0x16}) +
                       Text("Company identification") + BytesOf({0x01, 0x1D}) +
                       Text("Product code XXXXXXXXXXXXXXXX");
  const TModbusDeviceIdReply head = ModbusUtils::ParseReadDeviceIdReply(first);
  EXPECT_TRUE(head.MoreFollows);
  EXPECT_EQ(head.NextObjectId, 0x02);
  ASSERT_EQ(head.Objects.size(), 2u);
  EXPECT_EQ(head.Objects[1].Value, Text("Product code XXXXXXXXXXXXXXXX"));
  const TBytes second =
      BytesOf({0x01, 0x2B, 0x0E, 0x01, 0x01, 0x00, 0x00, 0x01, 0x02, 0x05}) + Text("V2.11");
  const TModbusDeviceIdReply tail = ModbusUtils::ParseReadDeviceIdReply(second);
  EXPECT_FALSE(tail.MoreFollows);
  ASSERT_EQ(tail.Objects.size(), 1u);
  EXPECT_EQ(tail.Objects[0], (TModbusDeviceIdObject{0x02, Text("V2.11")}));

  // No objects at all is a valid (empty) answer.
  EXPECT_TRUE(
      ModbusUtils::ParseReadDeviceIdReply(BytesOf({0x05, 0x2B, 0x0E, 0x01, 0x81, 0x00, 0x00, 0x00}))
          .Objects.empty());
}

TEST(ModbusDeviceId, RecordedMeterFrame) {
  ASSERT_EQ(MeterFrame.size(), 51u);
  const TBytes body = ModbusUtils::ParseRtuFrame(MeterFrame);  // the CRC agrees
  const TModbusDeviceIdReply reply = ModbusUtils::ParseReadDeviceIdReply(body);
  ASSERT_EQ(reply.Objects.size(), 3u);
  EXPECT_EQ(reply.Objects[0].Value, Text("KBR GmbH"));
  EXPECT_EQ(reply.Objects[1].Value, Text("multicomp F144-3  "));
  EXPECT_EQ(reply.Objects[2].Value, Text(" 2.00r016"));

  // The RTU length as a receiver learns it: the header says at least 10 bytes, the fixed part
  // names three objects, and each object's length byte leads to the next.
  std::vector<int> steps;
  int count = ModbusUtils::RtuHeaderLength;
  for (;;) {
    const int length = ModbusUtils::GetRtuPacketLength(MeterFrame.data(), count);
    steps.push_back(length);
    if (length == count) break;
    count = length;
  }
  EXPECT_EQ(steps, (std::vector<int>{10, 22, 42, 51, 51}));
  EXPECT_EQ(ModbusUtils::GetRtuPacketLength(MeterFrame.data()), 10);
}

TEST(ModbusDeviceId, MalformedRepliesAreRefused) {
  const TBytes good = BasicExampleReply();
  EXPECT_EQ(test::Caught<EModbusSpecificError>([] {
              ModbusUtils::ParseReadDeviceIdReply(BytesOf({0x01, 0xAB, 0x01}));
            }).ErrorCode,
            1);
  EXPECT_EQ(test::Caught<EUnexpectedCommandCode>([] {
              ModbusUtils::ParseReadDeviceIdReply(BytesOf({0x01, 0x03, 0x02, 0x00, 0x10}));
            }).Message,
            "В сообщении обнаружен неожиданный код команды. Ожидаемый код команды: 0x2B, код в "
            "сообщении: 0x03");
  EXPECT_EQ(test::Caught<ECorruptMessageFrame>([&] {
              ModbusUtils::ParseReadDeviceIdReply(good.substr(0, 7));
            }).Message,
            "Ответ на запрос идентификации MODBUS не содержит достаточного количества байт. "
            "Кол-во байт в теле сообщения: 7 (требуемая минимальная длина: 8 байт)");
  TBytes otherMei = good;
  otherMei[2] = 0x0D;
  EXPECT_EQ(test::Caught<EUnexpectedMessage>([&] {
              ModbusUtils::ParseReadDeviceIdReply(otherMei);
            }).Message,
            "В ответе на запрос идентификации MODBUS неожиданный тип MEI: 0x0D (ожидаемый тип: "
            "0x0E)");
  TBytes moreFollows = good;
  moreFollows[5] = 0x01;
  EXPECT_THROW(ModbusUtils::ParseReadDeviceIdReply(moreFollows), ECorruptMessageFrame);

  // An object list that runs past the body, at an object header and inside a value.
  EXPECT_EQ(test::Caught<ECorruptMessageFrame>([&] {
              ModbusUtils::ParseReadDeviceIdReply(good.substr(0, good.size() - 1));
            }).Message,
            "Список объектов в ответе на запрос идентификации MODBUS обрывается на объекте 3 из 3");
  TBytes moreObjects = good;
  moreObjects[7] = 4;
  EXPECT_THROW(ModbusUtils::ParseReadDeviceIdReply(moreObjects), ECorruptMessageFrame);
  TBytes longValue = good;
  longValue[9] = 0xFF;
  EXPECT_THROW(ModbusUtils::ParseReadDeviceIdReply(longValue), ECorruptMessageFrame);
  // Bytes after the announced objects.
  EXPECT_EQ(test::Caught<ECorruptMessageFrame>([&] {
              ModbusUtils::ParseReadDeviceIdReply(good + BytesOf({0x00, 0x00}));
            }).Message,
            "В ответе на запрос идентификации MODBUS после списка объектов лишние байты: 2");
}

TEST(ModbusDeviceId, RtuLengthOfRepliesThatCannotBeFramed) {
  // Another encapsulated interface (CANopen, 0x0D): its length cannot be known.
  EXPECT_THROW(ModbusUtils::GetRtuPacketLength(BytesOf({0x01, 0x2B, 0x0D}).data(), 3),
               EUnknownCommandCode);
  // An exception reply to the request is five bytes, as every exception reply.
  EXPECT_EQ(ModbusUtils::GetRtuPacketLength(BytesOf({0x01, 0xAB, 0x01}).data(), 3), 5);
  // Object lengths that add up beyond the largest RTU frame are refused before reading on.
  TBytes huge = BytesOf({0x01, 0x2B, 0x0E, 0x01, 0x01, 0x00, 0x00, 0x02, 0x00, 0xFF});
  EXPECT_EQ(test::Caught<ECorruptMessageFrame>([&] {
              ModbusUtils::GetRtuPacketLength(huge.data(), static_cast<std::int32_t>(huge.size()));
            }).Message,
            "Недопустимая длина ответа MODBUS RTU на запрос идентификации: не менее 267 байт "
            "(максимальная длина: 256 байт)");
}

}  // namespace
}  // namespace probrix
