#include <gtest/gtest.h>

#include "devsim/devsimCodecs.h"
#include "devsim/devsimDevice.h"

namespace probrix::devsim {
namespace {

TBytes B(std::initializer_list<std::uint8_t> Values) { return TBytes(Values); }

TEST(DevsimCodec, OrvatbusRequestsMatchKnownFrames) {
  EXPECT_EQ(OrvatbusPack(B({0x25, 0x20, 0x49}), TChecksum::ckCrc1),
            B({0xFF, 0x25, 0x20, 0x49, 0xB3, 0x03}));
  EXPECT_EQ(OrvatbusPack(B({0x25, 0x20, 0x49}), TChecksum::ckCrc8),
            B({0xFF, 0x25, 0x20, 0x49, 0x51, 0x03}));
  EXPECT_EQ(OrvatbusPack(B({0x7F, 0x20, 0x49}), TChecksum::ckCrc1),
            B({0xFF, 0x7F, 0x20, 0x49, 0xE9, 0x03}));
  EXPECT_EQ(OrvatbusPack(B({0x7F, 0x20, 0x49}), TChecksum::ckCrc8),
            B({0xFF, 0x7F, 0x20, 0x49, 0x40, 0x03}));
  EXPECT_EQ(OrvatbusPack(B({0x20, 0x75, 0x49}), TChecksum::ckCrc1),
            B({0xFF, 0x20, 0x75, 0x49, 0xE3, 0x03}));
}

TEST(DevsimCodec, ChecksumsMatchCatalogueCheckValues) {
  const std::string check = "123456789";
  const auto* data = reinterpret_cast<const std::uint8_t*>(check.data());
  EXPECT_EQ(OrvatbusCrc8(data, check.size()), 0xA1);   // CRC-8/MAXIM
  EXPECT_EQ(ModbusCrc16(data, check.size()), 0x4B37);  // CRC-16/MODBUS
  EXPECT_EQ(OrvatbusCrc1(data, check.size()), 0x31);
}

TEST(DevsimCodec, OrvatbusEscapesSpecialBytesAndUnpacksThem) {
  // Body bytes 03, FF and 10 each travel as a two-byte escape sequence.
  const TBytes body = B({0x20, 0x25, 0x49, 0x03, 0xFF, 0x10});
  const TBytes packed = OrvatbusPack(body, TChecksum::ckCrc1);
  const std::uint8_t sum = 0xFF ^ 0x20 ^ 0x25 ^ 0x49 ^ 0x03 ^ 0xFF ^ 0x10;
  EXPECT_EQ(packed, B({0xFF, 0x20, 0x25, 0x49, 0x10, 0xFC, 0x10, 0x00, 0x10, 0xEF, sum, 0x03}));
  EXPECT_EQ(OrvatbusUnpack(packed, TChecksum::ckCrc1), body);
  EXPECT_FALSE(OrvatbusUnpack(packed, TChecksum::ckCrc8).has_value());
}

TEST(DevsimCodec, OrvatbusChecksumThatNeedsEscaping) {
  // FF ^ 20 ^ 25 ^ x = 0x03 gives x = 0xF9.
  const TBytes body = B({0x20, 0x25, 0xF9});
  EXPECT_EQ(OrvatbusPack(body, TChecksum::ckCrc1), B({0xFF, 0x20, 0x25, 0xF9, 0x10, 0xFC, 0x03}));
  EXPECT_EQ(OrvatbusUnpack(OrvatbusPack(body, TChecksum::ckCrc1), TChecksum::ckCrc1), body);
}

TEST(DevsimCodec, OrvatbusUnpackRejectsMalformedFrames) {
  EXPECT_FALSE(OrvatbusUnpack(B({0xFF, 0x25, 0x20, 0xB3, 0x03}), TChecksum::ckCrc1));  // short
  EXPECT_FALSE(OrvatbusUnpack(B({0xFE, 0x25, 0x20, 0x49, 0xB3, 0x03}), TChecksum::ckCrc1));
  EXPECT_FALSE(OrvatbusUnpack(B({0xFF, 0x25, 0x20, 0x49, 0xB3, 0x04}), TChecksum::ckCrc1));
  EXPECT_FALSE(OrvatbusUnpack(B({0xFF, 0x25, 0x10, 0x55, 0x49, 0xB3, 0x03}), TChecksum::ckCrc1));
  EXPECT_FALSE(OrvatbusUnpack(B({0xFF, 0x25, 0x20, 0x49, 0x10, 0x03}), TChecksum::ckCrc1));
  EXPECT_FALSE(OrvatbusUnpack(B({0xFF, 0x25, 0x20, 0x49, 0xB4, 0x03}), TChecksum::ckCrc1));
  EXPECT_TRUE(OrvatbusUnpack(B({0xFF, 0x25, 0x20, 0x49, 0xB3, 0x03}), TChecksum::ckCrc1));
}

TEST(DevsimCodec, OrvatbusAddresses) {
  EXPECT_EQ(OrvatbusEncodeAddress(0), 0x20);
  EXPECT_EQ(OrvatbusEncodeAddress(31, true), 0xBF);
  EXPECT_EQ(OrvatbusDecodeAddress(0x75), 85);
  EXPECT_EQ(OrvatbusDecodeAddress(0x7F), OrvatbusBroadcastAddress);
  EXPECT_EQ(OrvatbusDecodeAddress(0xA5), 5);
}

TEST(DevsimCodec, ModbusFrames) {
  EXPECT_EQ(ModbusRtuFrame(B({0x01, 0x03, 0x03, 0xE8, 0x00, 0x0A})),
            B({0x01, 0x03, 0x03, 0xE8, 0x00, 0x0A, 0x45, 0xBD}));
  EXPECT_EQ(ModbusTcpFrame(B({0x01, 0x03, 0x03, 0xE8, 0x00, 0x0A}), 1),
            B({0x00, 0x01, 0x00, 0x00, 0x00, 0x06, 0x01, 0x03, 0x03, 0xE8, 0x00, 0x0A}));
  EXPECT_EQ(ModbusTcpFrame(B({0x05, 0x83, 0x02}), 0xABCD, 65535),
            B({0xAB, 0xCD, 0x00, 0x00, 0xFF, 0xFF, 0x05, 0x83, 0x02}));
  const TBytes bad = ModbusRtuFrame(B({0x01, 0x03, 0x03, 0xE8, 0x00, 0x0A}), true);
  ASSERT_EQ(bad.size(), 8u);
  EXPECT_NE(bad.substr(6), B({0x45, 0xBD}));
}

TEST(DevsimCodec, AsciiLineAndFillerBytes) {
  const TBytes line = OrvatAsciiLine('A', "+0023.45 kPa");
  EXPECT_EQ(std::string(line.begin(), line.end()), "A+0023.45 kPa\r\n");
  const TBytes shortText = OrvatAsciiLine(0xC1, "12");
  EXPECT_EQ(std::string(shortText.begin(), shortText.end()),
            "\xC1"
            "12          \r\n");
  EXPECT_EQ(OrvatAsciiLine('1', "this text is far too long").size(), 15u);

  const TBytes garbage = GarbageBytes(65536);
  ASSERT_EQ(garbage.size(), 65536u);
  for (std::uint8_t bad : {0xFF, 0x03, 0x10, 0x0D, 0x0A}) {
    EXPECT_EQ(garbage.find(bad), TBytes::npos) << int(bad);
  }
  const TBytes noise = NoiseBytes(4096);
  EXPECT_EQ(noise.find(0xFF), TBytes::npos);
  EXPECT_EQ(GarbageBytes(100, 5), GarbageBytes(100, 5));
}

TDeviceConfig OrvatbusDevice(int Address, TChecksum Kind) {
  TDeviceConfig d;
  d.Kind = TDeviceKind::dkOrvatbus;
  d.Address = Address;
  d.Checksum = Kind;
  d.DeviceType = 6;
  d.FirmwareVersion = 421;
  d.SerialNumber = 1234;
  return d;
}

TEST(DevsimDevice, OrvatbusIdentificationReply) {
  const TDeviceConfig d = OrvatbusDevice(5, TChecksum::ckCrc1);
  EXPECT_EQ(OrvatbusReply(d, B({0x25, 0x20, 0x49})),
            B({0xFF, 0x20, 0x25, 0x49, 0x00, 0x00, 0x06, 0x00, 0x00, 0x01, 0xA5, 0x04, 0xD2, 0x00,
               0xC7, 0x03}));
  // Any-device address: the reply names the device's own address.
  const auto body = OrvatbusUnpack(OrvatbusReply(d, B({0x7F, 0x20, 0x49})), TChecksum::ckCrc1);
  ASSERT_TRUE(body);
  EXPECT_EQ((*body)[1], 0x25);
  // Master 85 (when probing address 0) is answered at 85.
  TDeviceConfig zero = d;
  zero.Address = 0;
  const auto b0 = OrvatbusUnpack(OrvatbusReply(zero, B({0x20, 0x75, 0x49})), TChecksum::ckCrc1);
  ASSERT_TRUE(b0);
  EXPECT_EQ(b0->substr(0, 3), B({0x75, 0x20, 0x49}));
  EXPECT_TRUE(OrvatbusReply(d, B({0x26, 0x20, 0x49})).empty());
  EXPECT_TRUE(OrvatbusReply(d, B({0x25, 0x20})).empty());
}

TEST(DevsimDevice, OrvatbusErrorAndVariantReplies) {
  TDeviceConfig d = OrvatbusDevice(5, TChecksum::ckCrc8);
  auto bodyOf = [&](const TDeviceConfig& c, TChecksum k) {
    auto b = OrvatbusUnpack(OrvatbusReply(c, B({0x25, 0x20, 0x49})), k);
    return b ? *b : TBytes();
  };
  d.Error = TOrvatbusError::oeBusy;
  EXPECT_EQ(bodyOf(d, TChecksum::ckCrc8), B({0x20, 0x25, 0xC9, 0x06}));
  d.Error = TOrvatbusError::oeBadParams;
  EXPECT_EQ(bodyOf(d, TChecksum::ckCrc8), B({0x20, 0x25, 0xC9, 0x02}));
  d.Error = TOrvatbusError::oeUnknownCommand;
  EXPECT_EQ(bodyOf(d, TChecksum::ckCrc8), B({0x20, 0x25, 0xFE}));
  d.Error = TOrvatbusError::oeNone;
  // Commands other than identification are unknown to the device.
  auto other = OrvatbusUnpack(OrvatbusReply(d, B({0x25, 0x20, 0x52})), TChecksum::ckCrc8);
  ASSERT_TRUE(other);
  EXPECT_EQ(*other, B({0x20, 0x25, 0xFE}));

  d.ReplyChecksum = 0;  // answers a crc8 request in crc1 framing
  EXPECT_EQ(bodyOf(d, TChecksum::ckCrc8), TBytes());
  EXPECT_EQ(bodyOf(d, TChecksum::ckCrc1).size(), 13u);
  d.ReplyChecksum = -1;
  d.ReplyAddress = 7;
  d.SourceFlag = true;
  EXPECT_EQ(bodyOf(d, TChecksum::ckCrc8)[1], 0xA7);
  d.Behaviour.BadCrc = true;
  EXPECT_EQ(bodyOf(d, TChecksum::ckCrc8), TBytes());
}

TDeviceConfig ModbusDevice(int Address) {
  TDeviceConfig d;
  d.Kind = TDeviceKind::dkModbus;
  d.Address = Address;
  d.DeviceType = 16;
  d.FirmwareVersion = 215;
  d.SerialNumber = 0x00011234;
  d.ExtraWord2 = 0xBEEF;
  return d;
}

TEST(DevsimDevice, ModbusRegisterReply) {
  const TDeviceConfig d = ModbusDevice(1);
  const TBytes reply = ModbusReplyBody(d, B({0x01, 0x03, 0x03, 0xE8, 0x00, 0x0A}));
  EXPECT_EQ(reply, B({0x01, 0x03, 0x14, 0x00, 0x10, 0x00, 0xD7, 0x00, 0x00, 0x00, 0x00, 0xBE,
                      0xEF, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0x12, 0x34, 0x00, 0x00}));
  // A part of the block.
  EXPECT_EQ(ModbusReplyBody(d, B({0x01, 0x03, 0x03, 0xE9, 0x00, 0x01})),
            B({0x01, 0x03, 0x02, 0x00, 0xD7}));
  EXPECT_TRUE(ModbusReplyBody(d, B({0x02, 0x03, 0x03, 0xE8, 0x00, 0x0A})).empty());
}

TEST(DevsimDevice, ModbusExceptionsAndVariants) {
  TDeviceConfig d = ModbusDevice(17);
  EXPECT_EQ(ModbusReplyBody(d, B({17, 0x04, 0x03, 0xE8, 0x00, 0x0A})), B({17, 0x84, 0x01}));
  EXPECT_EQ(ModbusReplyBody(d, B({17, 0x03, 0x03, 0xE7, 0x00, 0x0A})), B({17, 0x83, 0x02}));
  EXPECT_EQ(ModbusReplyBody(d, B({17, 0x03, 0x03, 0xE8, 0x00, 0x0B})), B({17, 0x83, 0x02}));
  EXPECT_EQ(ModbusReplyBody(d, B({17, 0x03, 0x03, 0xE8, 0x00, 0x00})), B({17, 0x83, 0x03}));
  d.ExceptionCode = 6;
  EXPECT_EQ(ModbusReplyBody(d, B({17, 0x03, 0x03, 0xE8, 0x00, 0x0A})), B({17, 0x83, 0x06}));
  d.ExceptionCode = 0;
  d.ReplyAddress = 18;
  d.ReplyFunction = 4;
  d.ReplyRegisters = 2;
  EXPECT_EQ(ModbusReplyBody(d, B({17, 0x03, 0x03, 0xE8, 0x00, 0x0A})),
            B({18, 0x04, 0x04, 0x00, 0x10, 0x00, 0xD7}));
}

TEST(DevsimDevice, DevicesOfOtherMakersAndTheirIdentification) {
  TDeviceConfig d = ModbusDevice(9);
  d.OtherMaker = true;
  EXPECT_EQ(ModbusReplyBody(d, B({9, 0x03, 0x03, 0xE8, 0x00, 0x0A})), B({9, 0x83, 0x02}));
  // No identification objects: function 0x2B is unknown to the device.
  EXPECT_EQ(ModbusReplyBody(d, B({9, 0x2B, 0x0E, 0x01, 0x00})), B({9, 0xAB, 0x01}));

  d.IdObjects = {{0, "ACME"}, {1, "PX-1"}, {2, "1.02"}};
  const TBytes basic =
      B({9,   0x2B, 0x0E, 0x01, 0x81, 0x00, 0x00, 0x03, 0x00, 0x04, 'A', 'C', 'M',
         'E', 0x01, 0x04, 'P',  'X',  '-',  '1',  0x02, 0x04, '1',  '.', '0', '2'});
  EXPECT_EQ(ModbusReplyBody(d, B({9, 0x2B, 0x0E, 0x01, 0x00})), basic);
  // A stream from an object that does not exist starts at the first one.
  EXPECT_EQ(ModbusReplyBody(d, B({9, 0x2B, 0x0E, 0x01, 0x40})), basic);
  // One object by individual access; a missing one, another read code, another MEI type.
  EXPECT_EQ(ModbusReplyBody(d, B({9, 0x2B, 0x0E, 0x04, 0x01})),
            B({9, 0x2B, 0x0E, 0x04, 0x81, 0x00, 0x00, 0x01, 0x01, 0x04, 'P', 'X', '-', '1'}));
  EXPECT_EQ(ModbusReplyBody(d, B({9, 0x2B, 0x0E, 0x04, 0x05})), B({9, 0xAB, 0x02}));
  EXPECT_EQ(ModbusReplyBody(d, B({9, 0x2B, 0x0E, 0x07, 0x00})), B({9, 0xAB, 0x03}));
  EXPECT_EQ(ModbusReplyBody(d, B({9, 0x2B, 0x0D, 0x01, 0x00})), B({9, 0xAB, 0x01}));

  // Two objects per reply: "more follows" from object 2.
  d.IdObjectsPerReply = 2;
  EXPECT_EQ(ModbusReplyBody(d, B({9, 0x2B, 0x0E, 0x01, 0x00})),
            B({9,   0x2B, 0x0E, 0x01, 0x81, 0xFF, 0x02, 0x02, 0x00, 0x04,
               'A', 'C',  'M',  'E',  0x01, 0x04, 'P',  'X',  '-',  '1'}));
  EXPECT_EQ(ModbusReplyBody(d, B({9, 0x2B, 0x0E, 0x01, 0x02})),
            B({9, 0x2B, 0x0E, 0x01, 0x81, 0x00, 0x00, 0x01, 0x02, 0x04, '1', '.', '0', '2'}));

  // A device that ignores the unit id answers every unit as that unit; RTU broadcast 0 never.
  EXPECT_TRUE(ModbusReplyBody(d, B({33, 0x03, 0x03, 0xE8, 0x00, 0x0A})).empty());
  d.AnyUnit = true;
  EXPECT_EQ(ModbusReplyBody(d, B({33, 0x03, 0x03, 0xE8, 0x00, 0x0A})), B({33, 0x83, 0x02}));
  TDeviceListener listener;
  std::vector<TBytes> replies;
  std::size_t requests = 0;
  for (const std::uint8_t unit : {0, 7}) {
    const TBytes request = ModbusRtuFrame(B({unit, 0x03, 0x03, 0xE8, 0x00, 0x0A}));
    listener.Feed(d, true, request.data(), request.size(), replies, requests);
  }
  ASSERT_EQ(replies.size(), 1u);
  EXPECT_EQ(replies[0], ModbusRtuFrame(B({7, 0x83, 0x02})));
}

TEST(DevsimDevice, ListenerCutsRequestsOutOfAByteStream) {
  TDeviceConfig ob = OrvatbusDevice(5, TChecksum::ckCrc1);
  TDeviceListener listener;
  std::vector<TBytes> replies;
  std::size_t requests = 0;
  // Noise, a frame for another device, a crc8 frame (wrong kind), then ours in two pieces.
  const TBytes stream = B({0x00, 0x03, 0x55, 0xFF, 0x26, 0x20, 0x49, 0xB0, 0x03, 0xFF, 0x25, 0x20,
                           0x49, 0x51, 0x03, 0xFF, 0x25, 0x20});
  listener.Feed(ob, true, stream.data(), stream.size(), replies, requests);
  EXPECT_TRUE(replies.empty());
  const TBytes rest = B({0x49, 0xB3, 0x03});
  listener.Feed(ob, true, rest.data(), rest.size(), replies, requests);
  ASSERT_EQ(replies.size(), 1u);
  EXPECT_EQ(requests, 1u);
  EXPECT_EQ(replies[0], OrvatbusReply(ob, B({0x25, 0x20, 0x49})));

  // RTU: a request anywhere in the stream is found by its CRC.
  TDeviceConfig rtu = ModbusDevice(17);
  TDeviceListener rtuListener;
  replies.clear();
  requests = 0;
  const TBytes rtuStream =
      B({0xFF, 0x22, 0x20, 0x49, 0x00, 0x03, 0x11, 0x03, 0x03, 0xE8, 0x00, 0x0A, 0x47, 0x2D});
  rtuListener.Feed(rtu, true, rtuStream.data(), rtuStream.size(), replies, requests);
  ASSERT_EQ(replies.size(), 1u);
  EXPECT_EQ(replies[0], ModbusRtuFrame(ModbusReplyBody(rtu, B({17, 3, 3, 0xE8, 0, 10}))));

  // A device identification request is seven bytes, also found at once (01 2B 0E 01 00 70 77
  // for address 1).
  replies.clear();
  TDeviceConfig rtu1 = ModbusDevice(1);
  rtu1.IdObjects = {{0, "ACME"}};
  TDeviceListener idListener;
  const TBytes idRequest = B({0x00, 0x01, 0x2B, 0x0E, 0x01, 0x00, 0x70, 0x77});
  idListener.Feed(rtu1, true, idRequest.data(), idRequest.size(), replies, requests);
  ASSERT_EQ(replies.size(), 1u);
  EXPECT_EQ(replies[0], ModbusRtuFrame(B({0x01, 0x2B, 0x0E, 0x01, 0x81, 0x00, 0x00, 0x01, 0x00,
                                          0x04, 'A', 'C', 'M', 'E'})));

  // A request of another length ends at a pause on the line.
  replies.clear();
  replies.clear();
  const TBytes report = ModbusRtuFrame(B({17, 0x11}));
  rtuListener.Feed(rtu, true, report.data(), report.size(), replies, requests);
  EXPECT_TRUE(replies.empty());
  rtuListener.Gap(rtu, true, replies, requests);
  ASSERT_EQ(replies.size(), 1u);
  EXPECT_EQ(replies[0], ModbusRtuFrame(B({17, 0x91, 0x01})));

  // MBAP: junk before the header is skipped; the transaction identifier is echoed.
  TDeviceConfig tcp = ModbusDevice(5);
  TDeviceListener tcpListener;
  replies.clear();
  TBytes mbap = B({0xFF, 0x25, 0x20, 0x49, 0xB3, 0x03});
  mbap += ModbusTcpFrame(B({5, 3, 0x03, 0xE8, 0, 1}), 0x1234);
  tcpListener.Feed(tcp, false, mbap.data(), mbap.size(), replies, requests);
  ASSERT_EQ(replies.size(), 1u);
  EXPECT_EQ(replies[0], ModbusTcpFrame(B({5, 3, 2, 0x00, 0x10}), 0x1234));
}

TEST(DevsimDevice, ListenerBuffersStayBoundedOnEndlessInput) {
  TDeviceConfig configs[3] = {OrvatbusDevice(5, TChecksum::ckCrc1), ModbusDevice(1),
                              ModbusDevice(1)};
  bool serial[3] = {true, true, false};
  std::uint32_t seed = 12345;
  for (int k = 0; k < 3; ++k) {
    TDeviceListener listener;
    std::vector<TBytes> replies;
    std::size_t requests = 0;
    for (int round = 0; round < 200; ++round) {
      TBytes chunk;
      for (int i = 0; i < 997; ++i) {
        seed = seed * 1103515245u + 12345u;
        // Never a 0x03: an Orvatbus frame never completes, the buffer must still not grow.
        std::uint8_t b = static_cast<std::uint8_t>(seed >> 24);
        chunk.push_back(b == 0x03 ? 0x04 : b);
      }
      chunk[0] = 0xFF;
      listener.Feed(configs[k], serial[k], chunk.data(), chunk.size(), replies, requests);
      EXPECT_LE(listener.Pending(), TDeviceListener::MaxPending);
    }
  }
}

}  // namespace
}  // namespace probrix::devsim
