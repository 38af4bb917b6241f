#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <utility>

#include "foundation/ioExceptions.h"
#include "messaging/ioModbusCoreTypes.h"
#include "messaging/updStrUtils.h"
#include "search/uFinderEngineSearchers.h"
#include "search/uSearchLog.h"
#include "support/ScriptedConnection.h"
#include "support/TestSupport.h"

namespace probrix {
namespace {

using test::TScriptedConnection;

// Registers 1000..1009 of a device: type 0x1210 (R4748, a type the maker's table knows, so it is
// not asked for its identification), firmware 215, 1004 = 0xBEEF, 1007-1008 = 0x0001 0x5678
// (serial number 0x5678).
TBytes RegisterReplyBody(std::uint8_t Address, std::uint8_t Function = 0x03, int DataBytes = 20) {
  const std::uint16_t registers[10] = {0x1210, 215, 0, 0, 0xBEEF, 0, 0, 0x0001, 0x5678, 0x9999};
  TBytes body = BytesOf({Address, Function, static_cast<std::uint8_t>(DataBytes)});
  for (int i = 0; i < DataBytes; ++i) {
    const std::uint16_t r = registers[i / 2];
    body.push_back(static_cast<std::uint8_t>(i % 2 == 0 ? r >> 8 : r & 0xFF));
  }
  return body;
}

// A Read Device Identification reply body with the given (id, value) objects.
TBytes DeviceIdReplyBody(std::uint8_t Address,
                         std::vector<std::pair<std::uint8_t, std::string>> Objects,
                         std::uint8_t MoreFollows = 0x00, std::uint8_t NextObjectId = 0x00) {
  TBytes body = BytesOf({Address, 0x2B, 0x0E, 0x01, 0x01, MoreFollows, NextObjectId,
                         static_cast<std::uint8_t>(Objects.size())});
  for (const auto& [id, value] : Objects) {
    body.push_back(id);
    body.push_back(static_cast<std::uint8_t>(value.size()));
    body.append(value.begin(), value.end());
  }
  return body;
}

const std::vector<std::pair<std::uint8_t, std::string>> AcmeObjects = {
    {0, "ACME"}, {1, "PX-1"}, {2, "1.02"}};

int CountLines(const TSearchLog& Log, const std::string& Part) {
  int n = 0;
  for (const auto& line : Log.Lines())
    if (line.find(Part) != std::string::npos) ++n;
  return n;
}

template <class TSearcher>
class SearcherFixture : public ::testing::Test {
 protected:
  explicit SearcherFixture(TConnectionType Type = TConnectionType::ctSerialPort)
      : Connection(TScriptedConnection::New("DEV", Type)), Searcher(Connection) {
    Searcher.SetLog(&Log);
    Searcher.SetReadTimeout(40);
    Searcher.SetStartOfPacketReadTimeout(20);
    Searcher.SetRequestRetryCount(3);
  }

  // One attempt at Address that fails with an exception of class E: its error, and the device
  // of another maker that answered all the same (none when nothing proved one).
  template <class E>
  std::pair<E, std::optional<TDeviceInfo>> FailedAttempt(std::uint8_t Address) {
    const TAttemptResult result = Searcher.Attempt(Address);
    const auto* error = dynamic_cast<const E*>(result.Error.get());
    EXPECT_NE(error, nullptr) << (result.Error ? result.Error->ClassName() : "no error");
    EXPECT_NE(result.Outcome, TAttemptOutcome::aoFound);
    return {error ? *error : E(), result.Outcome == TAttemptOutcome::aoOtherMaker
                                      ? std::optional<TDeviceInfo>(result.Device)
                                      : std::nullopt};
  }

  std::shared_ptr<TScriptedConnection> Connection;
  TSearcher Searcher;
  TSearchLog Log;
  TDeviceInfo Info;
};

class ModbusRtuSearcherTest : public SearcherFixture<TModbusRtuDeviceSearcher> {
 protected:
  void Reply(const TBytes& Body) { Connection->AddChunk(ModbusUtils::BuildRtuFrame(Body)); }
  void BadCrcReply(const TBytes& Body) {
    TBytes frame = ModbusUtils::BuildRtuFrame(Body);
    frame.back() ^= 0xFF;
    Connection->AddChunk(frame);
  }
  // Exception 2 to the maker's request, then IdReplies: the attempt at Address fails with that
  // exception; returns the device that answered.
  TDeviceInfo AnsweringDevice(std::uint8_t Address, const std::vector<TBytes>& IdReplies) {
    Reply(BytesOf({Address, 0x83, 0x02}));
    for (const TBytes& r : IdReplies) Reply(r);
    const std::optional<TDeviceInfo> device = FailedAttempt<EModbusSpecificError>(Address).second;
    EXPECT_TRUE(device);
    return device.value_or(TDeviceInfo{});
  }
};

TEST_F(ModbusRtuSearcherTest, IdentifiesDeviceFromRegisters) {
  Reply(RegisterReplyBody(1));
  Searcher.Search(1, Info);
  EXPECT_EQ(Connection->WrittenBytes(), BytesOf({0x01, 0x03, 0x03, 0xE8, 0x00, 0x0A, 0x45, 0xBD}));
  EXPECT_EQ(Info.Address, 1);
  EXPECT_EQ(Info.DeviceType, 0x10);
  EXPECT_EQ(Info.FirmwareVersion, 215);
  EXPECT_EQ(Info.ExtraWord2, 0xBEEF);
  EXPECT_EQ(Info.SerialNumber, 0x5678);
  EXPECT_EQ(Info.ExtraWord1, 0);
  EXPECT_EQ(Info.SourceFlag, 0);

  EXPECT_EQ(CountLines(Log, "Попытка 1 поиска прибора MODBUS с адресом 1..."), 1);
  EXPECT_EQ(CountLines(Log, "--q> (size=6) 01 03 03 E8 00 0A  (modbus request body)"), 1);
  EXPECT_EQ(CountLines(Log, "<a-- (size=23) 01 03 14 12 10 "), 1);
  EXPECT_EQ(CountLines(Log, "(modbus response body)"), 1);
  EXPECT_EQ(CountLines(Log, "Найден прибор MODBUS с адресом 1"), 1);
  // The transceiver's traffic lines land in the same log.
  EXPECT_EQ(CountLines(Log, "(packed message) [ThreadID"), 1);
  // Search hands the read timeout to the write timeout as well.
  const auto writes = Connection->WriteTimeoutHistory();
  ASSERT_FALSE(writes.empty());
  EXPECT_EQ(writes.back(), 40);
}

// Without traffic lines the search log keeps the searcher's own lines, the device is found
// the same, and a silent device fails with the same exception, message for message; without
// anybody keeping the log, the same with no line at all.
TEST_F(ModbusRtuSearcherTest, WithoutTrafficLinesTheSearchersOwnLinesStay) {
  Searcher.SetRequestRetryCount(1);
  const auto failure = [&] {
    try {
      Searcher.Search(5, Info);
    } catch (const Exception& e) {
      return DescribeException(&e);
    }
    return std::string("no exception");
  };
  const std::string withTraffic = failure();
  Log.Clear();

  Searcher.SetLogTraffic(false);
  EXPECT_EQ(failure(), withTraffic);
  EXPECT_EQ(CountLines(Log, "Попытка 1 поиска прибора MODBUS с адресом 5..."), 1);
  EXPECT_EQ(CountLines(Log, "Ошибка поиска прибора MODBUS с адресом 5: "), 1);
  EXPECT_EQ(CountLines(Log, "<err"), 0);
  Log.Clear();

  Reply(RegisterReplyBody(1));
  Searcher.Search(1, Info);
  EXPECT_EQ(Info.SerialNumber, 0x5678);
  EXPECT_EQ(CountLines(Log, "--q> (size=6) 01 03 03 E8 00 0A  (modbus request body)"), 1);
  EXPECT_EQ(CountLines(Log, "(modbus response body)"), 1);
  EXPECT_EQ(CountLines(Log, "Найден прибор MODBUS с адресом 1"), 1);
  EXPECT_EQ(CountLines(Log, "(packed message)"), 0);
  EXPECT_EQ(CountLines(Log, "<raw"), 0);
  EXPECT_EQ(Log.Lines().size(), 4u);
  Log.Clear();

  // Nobody keeps the log at all: not one line is made, and the outcomes stay the same.
  Searcher.SetKeepLog(false);
  EXPECT_EQ(failure(), withTraffic);
  Reply(RegisterReplyBody(1));
  Searcher.Search(1, Info);
  EXPECT_EQ(Info.SerialNumber, 0x5678);
  EXPECT_TRUE(Log.Lines().empty());
}

TEST_F(ModbusRtuSearcherTest, SilentDeviceTriedRequestRetryCountTimes) {
  EXPECT_THROW(Searcher.Search(5, Info), EReadMessageTimeoutError);
  EXPECT_EQ(CountLines(Log, "поиска прибора MODBUS с адресом 5..."), 3);
  EXPECT_EQ(CountLines(Log, "Попытка 3 "), 1);
  EXPECT_EQ(CountLines(Log, "Ошибка поиска прибора MODBUS с адресом 5: "), 3);
  EXPECT_EQ(Connection->Writes().size(), 3u);
}

TEST_F(ModbusRtuSearcherTest, TwoCrcErrorsThenTimeoutWithOneRetry) {
  Searcher.SetRequestRetryCount(1);
  BadCrcReply(RegisterReplyBody(2));
  BadCrcReply(RegisterReplyBody(2));
  EXPECT_THROW(Searcher.Search(2, Info), EReadMessageTimeoutError);
  EXPECT_EQ(CountLines(Log, "Попытка "), 3);
  EXPECT_EQ(CountLines(Log, "EInvalidCRC"), 2);
}

TEST_F(ModbusRtuSearcherTest, ThirdCrcErrorIsRaised) {
  for (int i = 0; i < 4; ++i) BadCrcReply(RegisterReplyBody(2));
  EXPECT_THROW(Searcher.Search(2, Info), EInvalidCRC);
  EXPECT_EQ(CountLines(Log, "Попытка "), 3);
}

TEST_F(ModbusRtuSearcherTest, ZeroRetryCountStillTriesOnce) {
  Searcher.SetRequestRetryCount(0);
  EXPECT_THROW(Searcher.Search(2, Info), ETimeoutError);
  EXPECT_EQ(CountLines(Log, "Попытка "), 1);
}

TEST_F(ModbusRtuSearcherTest, ReplyFailuresAreNotRetried) {
  struct TCase {
    TBytes Body;
    std::string Class;
    std::string Message;
  };
  const TCase cases[] = {
      {RegisterReplyBody(18), "ESlaveAddressMismatch",
       "Адрес получателя запроса не соответствует адресу отправителя в ответе. Адрес "
       "slave-устройства в ответе: 18, ожидаемый адрес: 17."},
      {BytesOf({17, 0x83, 0x02}), "EModbusSpecificError",
       "Произошла ошибка при выполнении команды. Адрес данных, указанный в запросе, недоступен. "
       "Код ошибки: 0x02."},
      // Another device's exception reply is no error of the probed address.
      {BytesOf({18, 0x83, 0x02}), "ESlaveAddressMismatch",
       "Адрес получателя запроса не соответствует адресу отправителя в ответе. Адрес "
       "slave-устройства в ответе: 18, ожидаемый адрес: 17."},
      {RegisterReplyBody(17, 0x04), "EUnexpectedCommandCode",
       "В сообщении обнаружен неожиданный код команды. Ожидаемый код команды: 0x03, код в "
       "сообщении: 0x04"},
      {RegisterReplyBody(17, 0x03, 17), "ECorruptMessageFrame",
       "Фрейм ответа не содержит достаточного количества байт."},
  };
  for (const auto& c : cases) {
    Log.Clear();
    Reply(c.Body);
    // Would succeed if the failure were retried. It comes after the start-of-packet budget:
    // another device's reply is only taken for this one's when this one does not come in time.
    Connection->AddChunk(ModbusUtils::BuildRtuFrame(RegisterReplyBody(17)),
                         std::chrono::milliseconds(100));
    try {
      Searcher.Search(17, Info);
      ADD_FAILURE() << "no exception for " << c.Class;
    } catch (const Exception& e) {
      EXPECT_EQ(e.ClassName(), c.Class);
      EXPECT_EQ(e.Message, c.Message);
    }
    EXPECT_EQ(CountLines(Log, "поиска прибора MODBUS с адресом 17..."), 1) << c.Class;
    EXPECT_EQ(CountLines(Log, "Ошибка поиска прибора MODBUS с адресом 17: "), 1);
    // What is left, if a device that answered otherwise did not take it as its answer to the
    // identification request.
    TBytes drain(64, 0);
    Connection->SetReadTimeout(2000);
    while (Connection->PendingSteps() > 0) Connection->Read(drain.data(), 64);
  }
}

TEST_F(ModbusRtuSearcherTest, ShortReplyKeepsTheStreamErrorInside) {
  Reply(RegisterReplyBody(3, 0x03, 0));
  try {
    Searcher.Search(3, Info);
    FAIL() << "no exception";
  } catch (const ECorruptMessageFrame& e) {
    ASSERT_NE(e.InnerException(), nullptr);
    EXPECT_TRUE(e.InnerException()->Is<EEndOfStreamError>());
  }
}

TEST_F(ModbusRtuSearcherTest, GarbageNeverHangsOrOverruns) {
  // Every byte pattern ends in an exception of the tree within the timeouts.
  const TBytes patterns[] = {
      BytesOf({0x00}), BytesOf({0xFF, 0xFF, 0xFF}), BytesOf({0x01, 0x03, 0xFF, 0x00}),
      BytesOf({0x01, 0x90, 0x01, 0x02, 0x03}), BytesOf({0x01, 0x06, 0x00, 0x00, 0x00, 0x00, 0x00})};
  Searcher.SetRequestRetryCount(1);
  for (const auto& p : patterns) {
    Connection->AddChunk(p);
    EXPECT_THROW(Searcher.Search(1, Info), Exception);
    TBytes drain(300, 0);
    while (Connection->PendingSteps() > 0) Connection->Read(drain.data(), 300);
  }
}

class ModbusTcpSearcherTest : public SearcherFixture<TModbusTcpDeviceSearcher> {
 protected:
  ModbusTcpSearcherTest() : SearcherFixture(TConnectionType::ctTcp) {}
  void Reply(const TBytes& Body, std::uint16_t Id) {
    Connection->AddChunk(ModbusUtils::BuildTcpFrame(Body, Id));
  }
};

TEST_F(ModbusTcpSearcherTest, TransactionIdentifiersCountUp) {
  EXPECT_EQ(Searcher.TransactionId(), 0);
  Reply(RegisterReplyBody(1), 1);
  Searcher.Search(1, Info);
  Reply(RegisterReplyBody(2), 2);
  Searcher.Search(2, Info);
  const auto writes = Connection->Writes();
  ASSERT_EQ(writes.size(), 2u);
  EXPECT_EQ(writes[0],
            BytesOf({0x00, 0x01, 0x00, 0x00, 0x00, 0x06, 0x01, 0x03, 0x03, 0xE8, 0x00, 0x0A}));
  EXPECT_EQ(writes[1].substr(0, 2), BytesOf({0x00, 0x02}));
  EXPECT_EQ(Info.Address, 2);
  EXPECT_EQ(Info.DeviceType, 0x10);
  EXPECT_EQ(Info.SerialNumber, 0x5678);
}

TEST_F(ModbusTcpSearcherTest, RetryCarriesTheNextIdentifierAndWraps) {
  Searcher.SetTransactionId(65534);
  Reply(RegisterReplyBody(4), 65535);
  Searcher.Search(4, Info);
  Reply(RegisterReplyBody(4), 0);
  Searcher.Search(4, Info);
  const auto writes = Connection->Writes();
  ASSERT_EQ(writes.size(), 2u);
  EXPECT_EQ(writes[0].substr(0, 2), BytesOf({0xFF, 0xFF}));
  EXPECT_EQ(writes[1].substr(0, 2), BytesOf({0x00, 0x00}));
}

TEST_F(ModbusTcpSearcherTest, WrongTransactionIdentifierIsNotRetried) {
  Reply(RegisterReplyBody(1), 7);
  EXPECT_THROW(Searcher.Search(1, Info), EUnexpectedTransactionIdError);
  EXPECT_EQ(CountLines(Log, "Попытка "), 1);
}

// --- Devices of other makers ------------------------------------------------------------

TEST_F(ModbusRtuSearcherTest, ExceptionReplyRevealsADeviceThatIsAskedWhoItIs) {
  Reply(BytesOf({17, 0x83, 0x02}));
  Reply(DeviceIdReplyBody(17, AcmeObjects));
  // The attempt at the address fails as it does for any exception reply...
  const auto [error, device] = FailedAttempt<EModbusSpecificError>(17);
  EXPECT_EQ(error.ErrorCode, 2);
  // ...and returns the device that answered with that failure.
  ASSERT_TRUE(device);
  EXPECT_TRUE(device->OtherMaker);
  EXPECT_EQ(device->Address, 17);
  EXPECT_EQ(device->VendorName, "ACME");
  EXPECT_EQ(device->ProductCode, "PX-1");
  EXPECT_EQ(device->MajorMinorRevision, "1.02");
  EXPECT_EQ(device->ModbusException, 2);
  EXPECT_EQ(device->DeviceType, 0);
  EXPECT_EQ(device->SerialNumber, 0);
  EXPECT_FALSE(device->SameAsUnit) << "RTU addresses are never marked as repeats";

  const auto writes = Connection->Writes();
  ASSERT_EQ(writes.size(), 2u);
  EXPECT_EQ(writes[1], BytesOf({17, 0x2B, 0x0E, 0x01, 0x00, 0xB1, 0xB4}));
  EXPECT_EQ(CountLines(Log, "По адресу 17 отвечает устройство MODBUS, не опознанное как прибор"),
            1);
  EXPECT_EQ(CountLines(Log,
                       "Попытка 1 чтения идентификации устройства MODBUS с адресом 17 "
                       "(объект 0)..."),
            1);
  EXPECT_EQ(CountLines(Log, "--q> (size=5) 11 2B 0E 01 00  (modbus request body)"), 1);
  EXPECT_EQ(CountLines(Log,
                       "Идентификация устройства MODBUS с адресом 17: VendorName \"ACME\", "
                       "ProductCode \"PX-1\", MajorMinorRevision \"1.02\""),
            1);

  // The next address starts clean.
  Reply(RegisterReplyBody(18));
  const TAttemptResult next = Searcher.Attempt(18);
  EXPECT_EQ(next.Outcome, TAttemptOutcome::aoFound);
  EXPECT_FALSE(next.Device.OtherMaker);
  EXPECT_EQ(next.Device.Address, 18);
}

TEST_F(ModbusRtuSearcherTest, WhatRevealsADeviceAndWhatDoesNot) {
  struct TCase {
    std::vector<TBytes> Replies;  // to the maker's request (with its retries)
    bool Reveals;
    std::optional<std::uint8_t> Exception;
  };
  const TCase cases[] = {
      // Every exception code over RTU, a normal reply the maker's layout refuses (another
      // function, too few registers): a device of another maker lives there.
      {{BytesOf({17, 0x83, 0x0B})}, true, 0x0B},
      {{BytesOf({17, 0x83, 0x01})}, true, 0x01},
      {{RegisterReplyBody(17, 0x04)}, true, std::nullopt},
      {{RegisterReplyBody(17, 0x03, 16)}, true, std::nullopt},
      // Replies that may come from another device, a corrupt line or nobody: not a device.
      {{BytesOf({18, 0x83, 0x02})}, false, std::nullopt},
      {{RegisterReplyBody(18)}, false, std::nullopt},
      {{}, false, std::nullopt},
  };
  for (const TCase& c : cases) {
    Log.Clear();
    for (const TBytes& r : c.Replies) Reply(r);
    if (c.Reveals) Reply(BytesOf({17, 0xAB, 0x01}));  // the device refuses function 0x2B
    const std::optional<TDeviceInfo> device = FailedAttempt<Exception>(17).second;
    ASSERT_EQ(device.has_value(), c.Reveals)
        << HexDumpText(c.Replies.empty() ? TBytes() : c.Replies[0]);
    if (device) {
      EXPECT_EQ(device->ModbusException, c.Exception);
      EXPECT_EQ(device->VendorName, "");
      EXPECT_EQ(device->ProductCode, "");
      EXPECT_EQ(device->MajorMinorRevision, "");
      EXPECT_EQ(CountLines(Log, "Ошибка чтения идентификации устройства MODBUS с адресом 17"), 1);
    } else {
      EXPECT_EQ(CountLines(Log, "чтения идентификации"), 0);
    }
    TBytes drain(300, 0);
    while (Connection->PendingSteps() > 0) Connection->Read(drain.data(), 300);
  }

  // Three bad checksums: nothing can be trusted, nobody is asked.
  for (int i = 0; i < 3; ++i) BadCrcReply(BytesOf({17, 0x83, 0x02}));
  EXPECT_FALSE(FailedAttempt<EInvalidCRC>(17).second);
}

TEST_F(ModbusRtuSearcherTest, MoreFollowsIsReadFromTheNextObject) {
  TDeviceInfo device =
      AnsweringDevice(9, {DeviceIdReplyBody(9, {{0, "ACME"}, {1, "PX-1"}}, 0xFF, 0x02),
                          DeviceIdReplyBody(9, {{2, "1.02"}})});
  EXPECT_EQ(device.VendorName, "ACME");
  EXPECT_EQ(device.ProductCode, "PX-1");
  EXPECT_EQ(device.MajorMinorRevision, "1.02");
  const auto writes = Connection->Writes();
  ASSERT_EQ(writes.size(), 3u);
  EXPECT_EQ(writes[2], ModbusUtils::BuildRtuFrame(BytesOf({9, 0x2B, 0x0E, 0x01, 0x02})));

  // A device that keeps saying "more follows" without moving on is asked once; a later
  // request that fails keeps what the earlier ones gave.
  device = AnsweringDevice(9, {DeviceIdReplyBody(9, {{0, "ACME"}}, 0xFF, 0x00)});
  EXPECT_EQ(device.VendorName, "ACME");
  EXPECT_EQ(Connection->Writes().size(), 5u);
  device = AnsweringDevice(9, {DeviceIdReplyBody(9, {{0, "ACME"}}, 0xFF, 0x01)});
  EXPECT_EQ(device.VendorName, "ACME");
  EXPECT_EQ(device.ProductCode, "");
  EXPECT_EQ(CountLines(Log, "Попытка 3 чтения идентификации"), 1) << "silent after the first";
}

// The maker's registers with a type code the maker's table does not know: the device is found
// as before, then asked who it is (a device of another maker may answer these registers); a
// refusal or silence leaves it as it was. A known type is never asked.
TEST_F(ModbusRtuSearcherTest, UnknownTypeCodeIsAskedForItsIdentification) {
  TBytes unknown = RegisterReplyBody(17);
  unknown[4] = 99;  // the low byte of register 1000
  TBytes known = unknown;
  known[4] = 16;  // R4748

  Reply(unknown);
  Reply(DeviceIdReplyBody(17, {{0, "Wexa"}, {1, "WM-3"}, {2, "2.0"}}));
  const TAttemptResult found = Searcher.Attempt(17);
  EXPECT_EQ(found.Outcome, TAttemptOutcome::aoFound) << "found, not failed";
  Info = found.Device;
  EXPECT_FALSE(Info.OtherMaker);
  EXPECT_EQ(Info.DeviceType, 99);
  EXPECT_EQ(Info.SerialNumber, 0x5678);
  EXPECT_EQ(Info.VendorName, "Wexa");
  EXPECT_EQ(Info.ProductCode, "WM-3");
  EXPECT_EQ(Info.MajorMinorRevision, "2.0");
  ASSERT_EQ(Connection->Writes().size(), 2u);
  EXPECT_EQ(Connection->Writes()[1], BytesOf({17, 0x2B, 0x0E, 0x01, 0x00, 0xB1, 0xB4}));
  EXPECT_EQ(CountLines(Log, "Найден прибор MODBUS с адресом 17"), 1);
  EXPECT_EQ(CountLines(Log, "Тип 99 прибора MODBUS с адресом 17 не известен: запрос идентификации"),
            1);
  EXPECT_EQ(CountLines(Log, "VendorName \"Wexa\", ProductCode \"WM-3\""), 1);

  const auto search = [&](const std::vector<TBytes>& Replies) {
    Log.Clear();
    for (const TBytes& r : Replies) Reply(r);
    Info = {};
    Searcher.Search(17, Info);
    EXPECT_EQ(Info.SerialNumber, 0x5678);
    EXPECT_EQ(Info.VendorName, "");
    EXPECT_EQ(Info.ProductCode, "");
  };
  search({unknown, BytesOf({17, 0xAB, 0x01})});  // no such function
  EXPECT_EQ(Info.DeviceType, 99);
  EXPECT_EQ(CountLines(Log, "Ошибка чтения идентификации устройства MODBUS с адресом 17"), 1);
  search({unknown});  // silent: asked RequestRetryCount times
  EXPECT_EQ(CountLines(Log, "Попытка 3 чтения идентификации"), 1);
  const std::size_t writes = Connection->Writes().size();
  search({known});
  EXPECT_EQ(Info.DeviceType, 16);
  EXPECT_EQ(Connection->Writes().size(), writes + 1) << "the maker's type is not asked";
  EXPECT_EQ(CountLines(Log, "идентификации"), 0);
}

TEST_F(ModbusRtuSearcherTest, IdentificationTextsArePrintableAscii) {
  const TDeviceInfo device =
      AnsweringDevice(4, {DeviceIdReplyBody(4, {{0, std::string("\0 AC\x01M\xC3\xA9 \0", 10)},
                                                {1, "PX \"1\" \\ %s"},
                                                {2, "   "},
                                                {0x80, "private"}})});
  EXPECT_EQ(device.VendorName, "AC?M??");
  EXPECT_EQ(device.ProductCode, "PX \"1\" \\ %s");
  EXPECT_EQ(device.MajorMinorRevision, "");
}

TEST_F(ModbusTcpSearcherTest, GatewayExceptionsMeanNoDevice) {
  std::uint16_t id = 0;
  for (const std::uint8_t code : {0x0A, 0x0B}) {
    Reply(BytesOf({3, 0x83, code}), ++id);
    const auto [error, device] = FailedAttempt<EModbusSpecificError>(3);
    EXPECT_EQ(error.ErrorCode, code);
    EXPECT_FALSE(device);
  }
  EXPECT_EQ(Connection->Writes().size(), 2u) << "nobody was asked who it is";
  // Any other code is a device.
  Reply(BytesOf({3, 0x83, 0x02}), ++id);
  Reply(DeviceIdReplyBody(3, AcmeObjects), ++id);
  const auto device = FailedAttempt<EModbusSpecificError>(3).second;
  ASSERT_TRUE(device);
  EXPECT_EQ(device->ProductCode, "PX-1");
  EXPECT_EQ(Connection->Writes().back(),
            BytesOf({0x00, 0x04, 0x00, 0x00, 0x00, 0x05, 0x03, 0x2B, 0x0E, 0x01, 0x00}));
}

TEST_F(ModbusTcpSearcherTest, RepeatsOfOneIdentityAreMarked) {
  std::uint16_t id = 0;
  const auto other = [&](std::uint8_t Unit, const TBytes& IdReply) {
    Reply(BytesOf({Unit, 0x83, 0x02}), ++id);
    Reply(IdReply, ++id);
    const auto device = FailedAttempt<EModbusSpecificError>(Unit).second;
    EXPECT_TRUE(device);
    return device.value_or(TDeviceInfo{});
  };
  const auto maker = [&](std::uint8_t Unit) {
    Reply(RegisterReplyBody(Unit), ++id);
    Searcher.Search(Unit, Info);
    return Info;
  };
  // A device that ignores the unit id answers at 1, 2 and 3 with one identity.
  EXPECT_FALSE(other(1, DeviceIdReplyBody(1, AcmeObjects)).SameAsUnit);
  EXPECT_EQ(other(2, DeviceIdReplyBody(2, AcmeObjects)).SameAsUnit, 1);
  EXPECT_EQ(other(3, DeviceIdReplyBody(3, AcmeObjects)).SameAsUnit, 1);
  // Another revision is another identity.
  EXPECT_FALSE(other(4, DeviceIdReplyBody(4, {{0, "ACME"}, {1, "PX-1"}, {2, "1.03"}})).SameAsUnit);
  // Devices that tell nothing about themselves have nothing to compare.
  EXPECT_FALSE(other(5, BytesOf({5, 0xAB, 0x01})).SameAsUnit);
  EXPECT_FALSE(other(6, BytesOf({6, 0xAB, 0x01})).SameAsUnit);
  // The maker's instruments by type and serial number.
  EXPECT_FALSE(maker(7).SameAsUnit);
  EXPECT_EQ(maker(8).SameAsUnit, 7);
}

TEST(DeviceSearcherLifetime, ClosesTheSharedConnection) {
  auto connection = TScriptedConnection::New("COM3");
  connection->Open();
  {
    TModbusRtuDeviceSearcher searcher(connection);
    EXPECT_FALSE(connection->IsOpen());  // construction closes an open connection
    connection->Open();
    searcher.CloseConnection();
    EXPECT_FALSE(connection->IsOpen());
    connection->Open();
    searcher.CloseConnection();  // once only
    EXPECT_TRUE(connection->IsOpen());
  }
  EXPECT_TRUE(connection->IsOpen());  // closed already by CloseConnection
  {
    TModbusRtuDeviceSearcher searcher(connection);
    connection->Open();
  }
  EXPECT_FALSE(connection->IsOpen());  // the destructor closes what was not closed
}

TEST(DeviceSearcherLifetime, CreateDeviceSearcherTakesTheConnectionFromTheSource) {
  auto serial = TScriptedConnection::New("COM9");
  auto tcp = TScriptedConnection::New("10.1.1.1", TConnectionType::ctTcp);
  std::vector<std::string> reconfigured;
  TSearcherConnectionSource previous =
      SetSearcherConnectionSource({[&](const std::string&, TConnectionType Type,
                                       std::int32_t) -> std::shared_ptr<IDeviceConnection> {
                                     return Type == TConnectionType::ctTcp ? tcp : serial;
                                   },
                                   [&](const std::string& Port, std::int32_t Baud) {
                                     reconfigured.push_back(Port + ":" + std::to_string(Baud));
                                   }});
  serial->Open();
  auto rtu = CreateDeviceSearcher("COM9", 19200, TDeviceProtocol::dpModbusRtu,
                                  TConnectionType::ctSerialPort);
  auto tcpSearcher =
      CreateDeviceSearcher("10.1.1.1", 502, TDeviceProtocol::dpModbusTcp, TConnectionType::ctTcp);
  SetSearcherConnectionSource(previous);

  ASSERT_NE(dynamic_cast<TModbusRtuDeviceSearcher*>(rtu.get()), nullptr);
  ASSERT_NE(dynamic_cast<TModbusTcpDeviceSearcher*>(tcpSearcher.get()), nullptr);
  EXPECT_FALSE(serial->IsOpen());
  EXPECT_EQ(reconfigured, std::vector<std::string>{"COM9:19200"});
  EXPECT_EQ(dynamic_cast<TDeviceSearcher*>(rtu.get())->Connection(), serial);
  EXPECT_EQ(dynamic_cast<TDeviceSearcher*>(tcpSearcher.get())->Connection(), tcp);
}

}  // namespace
}  // namespace probrix
