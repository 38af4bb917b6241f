#include <gtest/gtest.h>

#include "foundation/ioExceptions.h"
#include "messaging/ioOrvatbusCoreTypes.h"

namespace probrix {
namespace {

const TOrvatbusCrcFunction Crc1 = OrvatbusUtils::CrcKindFunction(TChecksumKind::ckCrc1);
const TOrvatbusCrcFunction Crc8 = OrvatbusUtils::CrcKindFunction(TChecksumKind::ckCrc8);

// The identification request body for a probed address, as the searcher builds it.
TBytes RequestBody(std::uint8_t Address) {
  const std::uint8_t destination = Address == 95 ? 0x7F : OrvatbusUtils::EncodeAddress(Address);
  const std::uint8_t source = OrvatbusUtils::EncodeAddress(Address == 0 ? 85 : 0);
  return TBytes{destination, source, 0x49};
}

template <class E, class F>
std::string MessageOf(F&& Call) {
  try {
    Call();
  } catch (const E& e) {
    EXPECT_STREQ(e.ClassName(), E(std::string()).ClassName());
    return e.Message;
  }
  ADD_FAILURE() << "no exception";
  return {};
}

TEST(OrvatbusChecksums, KindsAndKnownValues) {
  EXPECT_EQ(OrvatbusUtils::CrcKindName(TChecksumKind::ckCrc1), "crc1");
  EXPECT_EQ(OrvatbusUtils::CrcKindName(TChecksumKind::ckCrc8), "crc8");
  EXPECT_THROW(OrvatbusUtils::CrcKindName(static_cast<TChecksumKind>(2)), EArgumentError);
  EXPECT_THROW(OrvatbusUtils::CrcKindFunction(static_cast<TChecksumKind>(-1)), EArgumentError);

  // CRC-8/MAXIM check value of "123456789".
  const std::string check = "123456789";
  EXPECT_EQ(OrvatbusUtils::CalcCrc8(reinterpret_cast<const std::uint8_t*>(check.data()), 9), 0xA1);
  const TBytes data = BytesOf({0xFF, 0x20, 0x75, 0x49});
  EXPECT_EQ(OrvatbusUtils::CalcCrc1(data.data(), 4), 0xE3);
  EXPECT_EQ(OrvatbusUtils::CalcCrc1(data.data(), 0), 0x00);
  EXPECT_EQ(OrvatbusUtils::CalcCrc8(data.data(), 0), 0x00);
}

TEST(OrvatbusFrames, IdentificationRequestVectors) {
  EXPECT_EQ(RequestBody(5), BytesOf({0x25, 0x20, 0x49}));
  EXPECT_EQ(RequestBody(0), BytesOf({0x20, 0x75, 0x49}));
  EXPECT_EQ(RequestBody(95), BytesOf({0x7F, 0x20, 0x49}));

  EXPECT_EQ(OrvatbusUtils::Pack(RequestBody(5), Crc1),
            BytesOf({0xFF, 0x25, 0x20, 0x49, 0xB3, 0x03}));
  EXPECT_EQ(OrvatbusUtils::Pack(RequestBody(5), Crc8),
            BytesOf({0xFF, 0x25, 0x20, 0x49, 0x51, 0x03}));
  EXPECT_EQ(OrvatbusUtils::Pack(RequestBody(95), Crc1),
            BytesOf({0xFF, 0x7F, 0x20, 0x49, 0xE9, 0x03}));
  EXPECT_EQ(OrvatbusUtils::Pack(RequestBody(95), Crc8),
            BytesOf({0xFF, 0x7F, 0x20, 0x49, 0x40, 0x03}));
  EXPECT_EQ(OrvatbusUtils::Pack(BytesOf({0x20, 0x75, 0x49}), Crc1),
            BytesOf({0xFF, 0x20, 0x75, 0x49, 0xE3, 0x03}));
}

TEST(OrvatbusFrames, AddressAndCommandEncoding) {
  EXPECT_EQ(OrvatbusUtils::EncodeAddress(0, false), 0x20);
  EXPECT_EQ(OrvatbusUtils::EncodeAddress(31, true), 0xBF);
  EXPECT_EQ(OrvatbusUtils::EncodeAddress(0xFF, true), 0x9F);  // wraps modulo 256
  bool flag = true;
  EXPECT_EQ(OrvatbusUtils::DecodeAddress(0x75, flag), 85);
  EXPECT_FALSE(flag);
  EXPECT_EQ(OrvatbusUtils::DecodeAddress(0xBF, flag), 31);
  EXPECT_TRUE(flag);
  EXPECT_EQ(OrvatbusUtils::DecodeAddress(0x00), 0x60);
  EXPECT_EQ(OrvatbusUtils::DecodeCommand(0xC9, flag), 0x49);
  EXPECT_TRUE(flag);
  EXPECT_EQ(OrvatbusUtils::DecodeCommand(0x49, flag), 0x49);
  EXPECT_FALSE(flag);
  EXPECT_EQ(OrvatbusUtils::DecodeCommand(0xFE), 0x7E);
}

TEST(OrvatbusFrames, SpecialBytesAreEscapedBothWays) {
  const TBytes body = BytesOf({0x25, 0x20, 0x49, 0x03, 0x10, 0xFF, 0x41});
  const TBytes packed = OrvatbusUtils::Pack(body, Crc1);
  const std::uint8_t crc = OrvatbusUtils::AddFrame(body, Crc1)[8];
  TBytes expected = BytesOf({0xFF, 0x25, 0x20, 0x49, 0x10, 0xFC, 0x10, 0xEF, 0x10, 0x00, 0x41});
  expected.push_back(crc);
  expected.push_back(0x03);
  EXPECT_EQ(packed, expected);
  EXPECT_EQ(OrvatbusUtils::Unpack(packed, Crc1), body);

  // SOH and ETX occur only at the ends of a packed frame.
  EXPECT_EQ(packed.find(0xFF, 1), TBytes::npos);
  EXPECT_EQ(packed.find(0x03), packed.size() - 1);

  // A checksum equal to a special byte is escaped as well: FF ^ 20 ^ 75 ^ A9 = 03.
  const TBytes etxCrc = OrvatbusUtils::Pack(BytesOf({0x20, 0x75, 0xA9}), Crc1);
  EXPECT_EQ(etxCrc, BytesOf({0xFF, 0x20, 0x75, 0xA9, 0x10, 0xFC, 0x03}));
  EXPECT_EQ(OrvatbusUtils::Unpack(etxCrc, Crc1), BytesOf({0x20, 0x75, 0xA9}));

  // Short frames pass Escape unchanged; the ends of a longer frame are never escaped.
  EXPECT_EQ(OrvatbusUtils::Escape(BytesOf({0x10, 0x03})), BytesOf({0x10, 0x03}));
  EXPECT_EQ(OrvatbusUtils::Escape(BytesOf({0x03, 0x10, 0xFF})), BytesOf({0x03, 0x10, 0xEF, 0xFF}));
  EXPECT_EQ(OrvatbusUtils::Unescape(BytesOf({0x10, 0x00, 0x10, 0xEF, 0x10, 0xFC})),
            BytesOf({0xFF, 0x10, 0x03}));
}

TEST(OrvatbusFrames, BadEscapeSequencesAreCorruptFrames) {
  EXPECT_EQ(MessageOf<ECorruptMessageFrame>([] {
              OrvatbusUtils::Unescape(BytesOf({0xFF, 0x20, 0x10, 0x55, 0x03}));
            }),
            "Неизвестная маскирующая последовательность в сообщении ORVATBUS: 0x10 0x55");
  EXPECT_EQ(
      MessageOf<ECorruptMessageFrame>([] {
        OrvatbusUtils::Unpack(BytesOf({0xFF, 0x25, 0x20, 0x10, 0x55, 0x49, 0x00, 0x03}), Crc1);
      }),
      "Неизвестная маскирующая последовательность в сообщении ORVATBUS: 0x10 0x55");
  const std::string trailing = MessageOf<ECorruptMessageFrame>([] {
    OrvatbusUtils::Unescape(BytesOf({0x20, 0x10}));
  });
  EXPECT_NE(trailing.find("Незаконченная маскирующая последовательность"), std::string::npos);
  EXPECT_NE(trailing.find("символ 0x10."), std::string::npos);
}

TEST(OrvatbusFrames, LengthAndFramingChecks) {
  EXPECT_EQ(MessageOf<ECorruptMessageFrame>([] {
              OrvatbusUtils::Unpack(BytesOf({0xFF, 0x25, 0x20, 0xB3, 0x03}), Crc1);
            }),
            "Нераспакованное сообщение ORVATBUS не содержит достаточного количества байт. Кол-во "
            "байт в сообщении: 5 (минимальная длина сообщения: 6 байт)");
  // Seven packed bytes that unescape to five.
  EXPECT_EQ(MessageOf<ECorruptMessageFrame>([] {
              OrvatbusUtils::Unpack(BytesOf({0xFF, 0x10, 0x00, 0x10, 0xEF, 0x20, 0x03}), Crc1);
            }),
            "Распакованное сообщение ORVATBUS не содержит достаточного количества байт. Кол-во "
            "байт в сообщении: 5 (минимальная длина сообщения: 6 байт)");
  EXPECT_EQ(MessageOf<ECorruptMessageFrame>([] {
              OrvatbusUtils::Unpack(BytesOf({0xFE, 0x25, 0x20, 0x49, 0xB3, 0x03}), Crc1);
            }),
            "Сообщение ORVATBUS должно начинаться символом SOH (0xFF).");
  EXPECT_EQ(MessageOf<ECorruptMessageFrame>([] {
              OrvatbusUtils::Unpack(BytesOf({0xFF, 0x25, 0x20, 0x49, 0xB3, 0x04}), Crc1);
            }),
            "Сообщение ORVATBUS должно заканчиваться символом ETX (0x03).");
  EXPECT_THROW(OrvatbusUtils::CheckFrame(BytesOf({0xFF, 0x25, 0x20, 0x49, 0xB3}), Crc1),
               ECorruptMessageFrame);
  EXPECT_THROW(OrvatbusUtils::Unpack(TBytes(), Crc1), ECorruptMessageFrame);
}

TEST(OrvatbusFrames, ChecksumMismatchNamesBothValues) {
  const TBytes crc8Frame = BytesOf({0xFF, 0x25, 0x20, 0x49, 0x51, 0x03});
  EXPECT_EQ(MessageOf<EInvalidCRC>([&] { OrvatbusUtils::Unpack(crc8Frame, Crc1); }),
            "Ошибка CRC в полученном сообщении. CRC в сообщении: 0x51, ожидаемое CRC: 0xB3");
  EXPECT_EQ(OrvatbusUtils::Unpack(crc8Frame, Crc8), BytesOf({0x25, 0x20, 0x49}));
  EXPECT_THROW(OrvatbusUtils::CheckFrame(BytesOf({0xFF, 0x25, 0x20, 0x49, 0xB3, 0x03}), Crc8),
               EInvalidCRC);
}

TEST(OrvatbusFrames, RoundTripOfEveryByteValue) {
  TBytes body = BytesOf({0x20, 0x25, 0x49});
  for (int v = 0; v < 256; ++v) body.push_back(static_cast<std::uint8_t>(v));
  for (int kind = 0; kind < OrvatbusUtils::CrcKindCount; ++kind) {
    const auto crc = OrvatbusUtils::CrcKindFunction(static_cast<TChecksumKind>(kind));
    EXPECT_EQ(OrvatbusUtils::Unpack(OrvatbusUtils::Pack(body, crc), crc), body);
  }
}

}  // namespace
}  // namespace probrix
