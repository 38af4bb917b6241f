#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "foundation/ioExceptions.h"
#include "messaging/ioOrvatbusCoreTypes.h"
#include "search/uFinderEngineOrvatAscii.h"
#include "search/uFinderEngineOrvatbus.h"
#include "search/uSearchLog.h"
#include "support/ScriptedConnection.h"

namespace probrix {
namespace {

using test::TScriptedConnection;

// The identification reply body: destination (master), source (device), command, then data.
TBytes ReplyBody(std::uint8_t Master, std::uint8_t Device, std::uint8_t Command = 0x49,
                 const TBytes& Data = BytesOf({0x12, 0x34, 0x07, 0x00, 0x02, 0x01, 0x05, 0x30, 0x39,
                                               0x5A})) {
  TBytes body{OrvatbusUtils::EncodeAddress(Master), OrvatbusUtils::EncodeAddress(Device), Command};
  return body + Data;
}

TBytes Packed(const TBytes& Body, int Kind) {
  return OrvatbusUtils::Pack(Body,
                             OrvatbusUtils::CrcKindFunction(static_cast<TChecksumKind>(Kind)));
}

std::vector<std::string> Texts(const TSearchLog& Log) {
  std::vector<std::string> texts;
  for (const std::string& line : Log.Lines()) texts.push_back(line.substr(13));
  return texts;
}

std::vector<std::string> SearcherLines(const TSearchLog& Log) {
  std::vector<std::string> lines;
  for (const std::string& text : Texts(Log))
    if (text.rfind("Попытка", 0) == 0 || text.rfind("Ошибка поиска", 0) == 0 ||
        text.rfind("Найден", 0) == 0)
      lines.push_back(
          text.substr(0, text.find(':') == std::string::npos ? text.size() : text.find(':')));
  return lines;
}

class OrvatbusSearcher : public ::testing::Test {
 protected:
  OrvatbusSearcher() : Connection(TScriptedConnection::New("COM5")), Searcher(Connection) {
    Searcher.SetLog(&Log);
    Searcher.SetReadTimeout(60);
    Searcher.SetStartOfPacketReadTimeout(25);
    Searcher.SetRequestRetryCount(1);
  }

  // Runs a search that must fail with E; returns the exception's message.
  template <class E>
  std::string SearchFails(std::uint8_t Address) {
    TDeviceInfo info;
    try {
      Searcher.Search(Address, info);
    } catch (const E& e) {
      return e.Message;
    } catch (const Exception& e) {
      ADD_FAILURE() << e.ClassName() << ": " << e.Message;
      return {};
    }
    ADD_FAILURE() << "found a device";
    return {};
  }

  std::shared_ptr<TScriptedConnection> Connection;
  TOrvatbusDeviceSearcher Searcher;
  TSearchLog Log;
};

TEST_F(OrvatbusSearcher, FindsACrc1DeviceAndDecodesItsReply) {
  Connection->AddChunk(Packed(ReplyBody(0, 5), 0));
  TDeviceInfo info;
  Searcher.Search(5, info);
  EXPECT_EQ(info.Address, 5);
  EXPECT_EQ(info.SourceFlag, 0);
  EXPECT_EQ(info.ChecksumKind, TChecksumKind::ckCrc1);
  EXPECT_EQ(info.ExtraWord1, 0x1234);
  EXPECT_EQ(info.DeviceType, 0x07);
  EXPECT_EQ(info.ExtraWord2, 0x0002);
  EXPECT_EQ(info.FirmwareVersion, 0x0105);
  EXPECT_EQ(info.SerialNumber, 0x3039);
  EXPECT_EQ(info.ExtraByte, 0x5A);
  ASSERT_EQ(Connection->Writes().size(), 1u);
  EXPECT_EQ(Connection->Writes()[0], BytesOf({0xFF, 0x25, 0x20, 0x49, 0xB3, 0x03}));

  const std::vector<std::string> texts = Texts(Log);
  ASSERT_GE(texts.size(), 4u);
  EXPECT_EQ(texts[0], "Попытка 1 поиска прибора ORVATBUS с адресом 5 (crc1)...");
  EXPECT_EQ(texts[1], "--q> (size=3) 25 20 49  (unpacked request body)");
  EXPECT_EQ(texts[2].rfind("--q> (size=6) FF 25 20 49 B3 03  (packed message)", 0), 0u);
  EXPECT_EQ(texts[texts.size() - 2],
            "<a-- (size=13) 20 25 49 12 34 07 00 02 01 05 30 39 5A  (unpacked response body)");
  EXPECT_EQ(texts.back(), "Найден прибор ORVATBUS с адресом 5 (crc1)");
}

TEST_F(OrvatbusSearcher, SilenceTriesCrc1ThenCrc8) {
  try {
    TDeviceInfo info;
    Searcher.Search(5, info);
    FAIL() << "found a device";
  } catch (const EReadSOHTimeoutError&) {
  }
  EXPECT_EQ(SearcherLines(Log),
            (std::vector<std::string>{"Попытка 1 поиска прибора ORVATBUS с адресом 5 (crc1)...",
                                      "Ошибка поиска прибора ORVATBUS с адресом 5 (crc1)",
                                      "Попытка 1 поиска прибора ORVATBUS с адресом 5 (crc8)...",
                                      "Ошибка поиска прибора ORVATBUS с адресом 5 (crc8)"}));
  EXPECT_EQ(Connection->Writes(),
            (std::vector<TBytes>{BytesOf({0xFF, 0x25, 0x20, 0x49, 0xB3, 0x03}),
                                 BytesOf({0xFF, 0x25, 0x20, 0x49, 0x51, 0x03})}));
}

TEST_F(OrvatbusSearcher, EachChecksumSeriesAllowsRequestRetryCountTimeouts) {
  Searcher.SetRequestRetryCount(2);
  SearchFails<EReadSOHTimeoutError>(5);
  const std::vector<TBytes> writes = Connection->Writes();
  ASSERT_EQ(writes.size(), 4u);
  EXPECT_EQ(writes[0][4], 0xB3);
  EXPECT_EQ(writes[1][4], 0xB3);
  EXPECT_EQ(writes[2][4], 0x51);
  EXPECT_EQ(writes[3][4], 0x51);
}

TEST_F(OrvatbusSearcher, Crc8DeviceAnswersTheSecondSeries) {
  // The first read times out (a silent crc1 exchange), the next one brings a crc8 reply.
  Connection->AddReadFailure(EReadTimeoutError::Create("[COM5] nothing"));
  Connection->AddChunk(Packed(ReplyBody(0, 5), 1));
  TDeviceInfo info;
  Searcher.Search(5, info);
  EXPECT_EQ(info.Address, 5);
  EXPECT_EQ(info.ChecksumKind, TChecksumKind::ckCrc8);
  EXPECT_EQ(Texts(Log).back(), "Найден прибор ORVATBUS с адресом 5 (crc8)");
}

TEST_F(OrvatbusSearcher, WrongChecksumIsRetriedThreeTimesWithoutSwitchingKinds) {
  for (int i = 0; i < 3; ++i) Connection->AddChunk(Packed(ReplyBody(0, 5), 1));
  const std::string message = SearchFails<EInvalidCRC>(5);
  EXPECT_NE(message.find("Ошибка CRC в полученном сообщении."), std::string::npos);
  const std::vector<TBytes> writes = Connection->Writes();
  ASSERT_EQ(writes.size(), 3u);
  for (const TBytes& w : writes) EXPECT_EQ(w, BytesOf({0xFF, 0x25, 0x20, 0x49, 0xB3, 0x03}));
  for (const std::string& line : SearcherLines(Log))
    EXPECT_EQ(line.find("crc8"), std::string::npos);
}

TEST_F(OrvatbusSearcher, DeviceErrorRepliesAreNotRetried) {
  Connection->AddChunk(Packed(ReplyBody(0, 5, 0xC9, BytesOf({0x06})), 0));
  SearchFails<ESlaveDeviceBusy>(5);
  Connection->AddChunk(Packed(ReplyBody(0, 5, 0xC9, BytesOf({0x02})), 0));
  SearchFails<EBadCommandParams>(5);
  Connection->AddChunk(Packed(ReplyBody(0, 5, 0xFE, BytesOf({0x49})), 0));
  EXPECT_EQ(SearchFails<EUnknownCommandCode>(5),
            "Устройство не может ответить, т.к. получен запрос с неизвестным кодом команды.");
  Connection->AddChunk(Packed(ReplyBody(0, 5, 0x4A), 0));
  EXPECT_EQ(SearchFails<EUnexpectedCommandCode>(5),
            "В сообщении обнаружен неожиданный код команды. Ожидаемый код команды: "
            "\"I\"(0x49), код в сообщении: \"J\"(0x4A)");
  // An error flag with no error code behind it.
  Connection->AddChunk(Packed(ReplyBody(0, 5, 0xC9, TBytes()), 0));
  SearchFails<ECorruptMessageFrame>(5);
  EXPECT_EQ(Connection->Writes().size(), 5u);
}

TEST_F(OrvatbusSearcher, ShortReplyBodyIsACorruptFrame) {
  TBytes body = ReplyBody(0, 5);
  body.pop_back();
  ASSERT_EQ(body.size(), 12u);
  Connection->AddChunk(Packed(body, 0));
  EXPECT_EQ(SearchFails<ECorruptMessageFrame>(5),
            "Фрейм ответа не содержит достаточного количества байт.");
  EXPECT_EQ(Connection->Writes().size(), 1u);
}

TEST_F(OrvatbusSearcher, AddressChecks) {
  Connection->AddChunk(Packed(ReplyBody(0, 6), 0));
  EXPECT_EQ(SearchFails<ESlaveAddressMismatch>(5),
            "Адрес получателя запроса не соответствует адресу отправителя в ответе. Адрес "
            "slave-устройства в ответе: 6, ожидаемый адрес: 5.");
  Connection->AddChunk(Packed(ReplyBody(3, 5), 0));
  EXPECT_EQ(SearchFails<EMasterAddressMismatch>(5),
            "Адрес отправителя запроса не соответствует адресу получателя в ответе. Адрес "
            "master-устройства в ответе: 3, ожидаемый адрес: 0.");

  // Probing address 0: we are master 85.
  Connection->AddChunk(Packed(ReplyBody(85, 0), 0));
  TDeviceInfo info;
  info.Address = 99;
  Searcher.Search(0, info);
  EXPECT_EQ(info.Address, 0);
  EXPECT_EQ(Connection->Writes().back(), BytesOf({0xFF, 0x20, 0x75, 0x49, 0xE3, 0x03}));
}

TEST_F(OrvatbusSearcher, SingleDeviceModeReportsTheDevicesOwnAddress) {
  Connection->AddChunk(Packed(ReplyBody(0, 7), 0));
  TDeviceInfo info;
  Searcher.Search(TOrvatbusDeviceSearcher::BroadcastAddress, info);
  EXPECT_EQ(info.Address, 7);
  EXPECT_EQ(Connection->Writes().back(), BytesOf({0xFF, 0x7F, 0x20, 0x49, 0xE9, 0x03}));

  // Device 0 answering master 0: we would have been master 85 for it.
  Connection->AddChunk(Packed(ReplyBody(0, 0), 0));
  EXPECT_NE(SearchFails<EMasterAddressMismatch>(95).find("ожидаемый адрес: 85."),
            std::string::npos);

  // A crc8 device in single-device mode.
  Connection->AddReadFailure(EReadTimeoutError::Create("[COM5] nothing"));
  Connection->AddChunk(Packed(ReplyBody(0, 31), 1));
  Searcher.Search(95, info);
  EXPECT_EQ(info.Address, 31);
  EXPECT_EQ(Connection->Writes().back(), BytesOf({0xFF, 0x7F, 0x20, 0x49, 0x40, 0x03}));
}

TEST_F(OrvatbusSearcher, EscapedBytesAndFlagsInTheReply) {
  const TBytes data = BytesOf({0x03, 0x10, 0xFF, 0x10, 0x03, 0xFF, 0x03, 0x10, 0xFF, 0x03});
  TBytes body = ReplyBody(0, 5, 0x49, data);
  body[1] = OrvatbusUtils::EncodeAddress(5, true);
  const TBytes packed = Packed(body, 0);
  ASSERT_GT(packed.size(), body.size() + 3);  // escaping happened
  Connection->AddChunk(packed);
  TDeviceInfo info;
  Searcher.Search(5, info);
  EXPECT_EQ(info.SourceFlag, 1);
  EXPECT_EQ(info.ExtraWord1, 0x0310);
  EXPECT_EQ(info.DeviceType, 0xFF);
  EXPECT_EQ(info.ExtraWord2, 0x1003);
  EXPECT_EQ(info.FirmwareVersion, 0xFF03);
  EXPECT_EQ(info.SerialNumber, 0x10FF);
  EXPECT_EQ(info.ExtraByte, 0x03);
}

TEST(OrvatSearcherRegistry, CreateDeviceSearcherBuildsBothOrvatSearchers) {
  auto connection = TScriptedConnection::New("COM9");
  connection->Open();
  const TSearcherConnectionSource previous =
      SetSearcherConnectionSource({[&](const std::string&, TConnectionType, std::int32_t) {
                                     return std::shared_ptr<IDeviceConnection>(connection);
                                   },
                                   [](const std::string&, std::int32_t) {}});
  auto orvatbus = CreateDeviceSearcher("COM9", 9600, TDeviceProtocol::dpOrvatbus,
                                       TConnectionType::ctSerialPort);
  auto ascii = CreateDeviceSearcher("COM9", 9600, TDeviceProtocol::dpOrvatAscii,
                                    TConnectionType::ctSerialPort);
  SetSearcherConnectionSource(previous);
  EXPECT_NE(dynamic_cast<TOrvatbusDeviceSearcher*>(orvatbus.get()), nullptr);
  EXPECT_NE(dynamic_cast<TOrvatAsciiDeviceSearcher*>(ascii.get()), nullptr);
  EXPECT_FALSE(connection->IsOpen());  // a searcher starts on a closed connection
}

}  // namespace
}  // namespace probrix
