#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <thread>

#include "foundation/ioExceptions.h"
#include "messaging/ioModbusCoreTypes.h"
#include "messaging/ioModbusTransceiver.h"
#include "messaging/updStrUtils.h"
#include "search/uSearchLog.h"
#include "support/ScriptedConnection.h"
#include "support/TestSupport.h"

namespace probrix {
namespace {

using namespace std::chrono_literals;
using test::TScriptedConnection;

// A read-holding-registers response of ByteCount data bytes, with its CRC.
TBytes RtuReadResponse(std::uint8_t ByteCount) {
  TBytes body = BytesOf({0x01, 0x03, ByteCount});
  for (int i = 0; i < ByteCount; ++i) body.push_back(static_cast<std::uint8_t>(i));
  return ModbusUtils::BuildRtuFrame(body);
}

// The integer that follows Key in Text; fails the test when Key is missing.
int NumberAfter(const std::string& Text, const std::string& Key) {
  const auto at = Text.find(Key);
  EXPECT_NE(at, std::string::npos) << Key << " in " << Text;
  return at == std::string::npos ? 0 : std::stoi(Text.substr(at + Key.size()));
}

std::vector<std::string> LinesWith(const TSearchLog& Log, const std::string& Part) {
  std::vector<std::string> result;
  for (const auto& line : Log.Lines())
    if (line.find(Part) != std::string::npos) result.push_back(line);
  return result;
}

class ModbusTransceiverTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Transceiver.SetLog(&Log);
    Transceiver.SetStartOfPacketReadTimeout(60);
    Transceiver.SetReadTimeout(60);
  }

  std::shared_ptr<TScriptedConnection> Connection = TScriptedConnection::New("COM7");
  TModbusRtuTransceiver Transceiver{Connection};
  TSearchLog Log;
};

TEST_F(ModbusTransceiverTest, ResponseInSeveralChunks) {
  const TBytes response = RtuReadResponse(20);
  ASSERT_EQ(response.size(), 25u);
  Connection->AddChunk(response.substr(0, 3));
  Connection->AddChunk(response.substr(3, 10), 5ms);
  Connection->AddChunk(response.substr(13), 5ms);

  const TBytes request = ModbusUtils::BuildRtuFrame(BytesOf({0x01, 0x03, 0x03, 0xE8, 0x00, 0x0A}));
  EXPECT_EQ(Transceiver.Exchange(request), response);
  EXPECT_EQ(Connection->WrittenBytes(), request);

  const auto counts = Connection->ReadCountHistory();
  ASSERT_EQ(counts.size(), 3u);
  EXPECT_EQ(counts[0], 3);
  EXPECT_EQ(counts[1], 22);
  EXPECT_EQ(counts[2], 12);

  EXPECT_EQ(LinesWith(Log, "<raw (size=").size(), 3u);
  const auto packet = LinesWith(Log, "<--- (size=25) ");
  ASSERT_EQ(packet.size(), 1u);
  EXPECT_GE(NumberAfter(packet[0], "WaitEndOfPacketTime="),
            NumberAfter(packet[0], "(WaitHeaderTime="));
  EXPECT_EQ(LinesWith(Log, "<a-- (size=25) ").size(), 1u);
}

TEST_F(ModbusTransceiverTest, ExceptionResponseIsFiveBytesAndLaterBytesStay) {
  const TBytes response = ModbusUtils::BuildRtuFrame(BytesOf({0x01, 0x83, 0x02}));
  Connection->AddChunk(response + BytesOf({0xAA, 0xBB}));
  EXPECT_EQ(Transceiver.Receive(), response);
  EXPECT_EQ(Connection->PendingSteps(), 1u);  // the two extra bytes wait for the next read
}

TEST_F(ModbusTransceiverTest, DeviceIdentificationReplyIsReadAsItsObjectsAnnounceIt) {
  TBytes body = BytesOf({0x01, 0x2B, 0x0E, 0x01, 0x01, 0x00, 0x00, 0x02, 0x00, 0x04});
  for (const char c : std::string("ACME")) body.push_back(static_cast<std::uint8_t>(c));
  body += BytesOf({0x01, 0x04});
  for (const char c : std::string("PX-1")) body.push_back(static_cast<std::uint8_t>(c));
  const TBytes response = ModbusUtils::BuildRtuFrame(body);
  ASSERT_EQ(response.size(), 22u);
  Connection->AddChunk(response + BytesOf({0xEE}));
  EXPECT_EQ(Transceiver.Receive(), response);
  // Header, the fixed part, the first object and the second one's header, the rest.
  EXPECT_EQ(Connection->ReadCountHistory(), (std::vector<std::int32_t>{3, 7, 8, 4}));
  EXPECT_EQ(LinesWith(Log, "<--- (size=22) ").size(), 1u);
  EXPECT_EQ(Connection->PendingSteps(), 1u);  // the byte after it waits for the next read

  std::uint8_t after = 0;
  Connection->Read(&after, 1);

  // A reply that stops inside its object list is a missing remainder.
  Connection->AddChunk(response.substr(0, 12));
  EXPECT_EQ(test::Caught<EReadMessageTimeoutError>([&] { Transceiver.Receive(); }).Message,
            "Не получен oстаток (8 байт) MODBUS пакета. ");
}

TEST_F(ModbusTransceiverTest, UnknownFunctionCodeStopsAfterTheHeader) {
  Connection->AddChunk(BytesOf({0x01, 0x07, 0x00}));
  Connection->AddChunk(BytesOf({0x11, 0x22}));
  EXPECT_THROW(Transceiver.Receive(), EUnknownCommandCode);
  EXPECT_EQ(Connection->ReadCount(), 1);
  EXPECT_EQ(LinesWith(Log, "<err Не удалось выполнить чтение данных:").size(), 1u);
}

TEST_F(ModbusTransceiverTest, MissingHeaderAndMissingRemainder) {
  try {
    Transceiver.Receive();
    FAIL() << "no exception";
  } catch (const EReadMessageTimeoutError& e) {
    EXPECT_EQ(e.Message, "Не получен заголовок (3 байт) MODBUS пакета. ");
    ASSERT_NE(e.InnerException(), nullptr);
    EXPECT_TRUE(e.InnerException()->Is<EReadTimeoutError>());
  }

  Connection->AddChunk(BytesOf({0x01, 0x03, 0x14}));
  Connection->AddChunk(BytesOf({0x00, 0x01}));
  try {
    Transceiver.Receive();
    FAIL() << "no exception";
  } catch (const EReadMessageTimeoutError& e) {
    EXPECT_EQ(e.Message, "Не получен oстаток (22 байт) MODBUS пакета. ");
    ASSERT_NE(e.InnerException(), nullptr);
    EXPECT_TRUE(e.InnerException()->Is<EReadTimeoutError>());
  }
}

// An exchange that may take a silent device's timeout as a value gets the very error, and
// the traffic log the very line, that the exchange which throws it gives; a reply that comes is
// the reply.
TEST_F(ModbusTransceiverTest, ASilentDevicesTimeoutComesBackAsTheErrorExchangeThrows) {
  const TBytes request = ModbusUtils::BuildRtuFrame(BytesOf({0x01, 0x03, 0x03, 0xE8, 0x00, 0x0A}));
  std::unique_ptr<Exception> timedOut;
  EXPECT_TRUE(Transceiver.ExchangeOrTimeOut(request, timedOut).empty());
  ASSERT_NE(timedOut, nullptr);
  const auto thrown =
      test::Caught<EReadMessageTimeoutError>([&] { Transceiver.Exchange(request); });
  EXPECT_STREQ(timedOut->ClassName(), "EReadMessageTimeoutError");
  EXPECT_EQ(DescribeException(timedOut.get()), DescribeException(&thrown));
  const auto errors = LinesWith(Log, "<err ");
  ASSERT_EQ(errors.size(), 2u);
  const auto tail = [](const std::string& Line) { return Line.substr(Line.find("<err ")); };
  EXPECT_EQ(tail(errors[0]), tail(errors[1]));

  timedOut.reset();
  const TBytes reply = RtuReadResponse(20);
  Connection->AddChunk(reply);
  EXPECT_EQ(Transceiver.ExchangeOrTimeOut(request, timedOut), reply);
  EXPECT_EQ(timedOut, nullptr);
}

TEST_F(ModbusTransceiverTest, WhatWaitsBeforeARequestIsDiscardedAndLogged) {
  const TBytes request = ModbusUtils::BuildRtuFrame(BytesOf({0x01, 0x03, 0x03, 0xE8, 0x00, 0x0A}));
  const TBytes response = RtuReadResponse(4);
  Connection->AddChunk(response);
  ASSERT_EQ(Transceiver.Exchange(request), response);  // opens the connection
  const std::size_t before = Log.Lines().size();

  // A late reply of the last device waits in the connection when the next request goes out.
  Connection->AddWaiting(BytesOf({0x11, 0x03, 0x14}));
  Connection->AddChunk(response, 2ms);
  EXPECT_EQ(Transceiver.Exchange(request), response);
  const std::vector<std::string> lines = Log.Lines();
  ASSERT_GT(lines.size(), before + 1);
  EXPECT_EQ(lines[before].substr(13),
            "<del (size=3) 11 03 14  (данные, полученные до отправки запроса, отброшены)");
  EXPECT_EQ(lines[before + 1].substr(13, 4), "--q>");
  EXPECT_EQ(LinesWith(Log, "<del").size(), 1u);  // nothing waited before the first request

  // Bytes queued before the port opens (an earlier session, power-on chatter) go the same way,
  // right after the open.
  Connection->Close();
  Connection->AddWaiting(BytesOf({0x00, 0x55, 0xAA}));
  Connection->AddChunk(response, 2ms);
  const std::size_t reopened = Log.Lines().size();
  EXPECT_EQ(Transceiver.Exchange(request), response);
  const std::vector<std::string> after = Log.Lines();
  ASSERT_GT(after.size(), reopened + 3);
  EXPECT_EQ(after[reopened + 1].substr(13, 22), "---> Connection opened");
  EXPECT_EQ(after[reopened + 2].substr(13),
            "<del (size=3) 00 55 AA  (данные, полученные до отправки запроса, отброшены)");
  EXPECT_EQ(after[reopened + 3].substr(13, 11), "---> (size=");
}

TEST_F(ModbusTransceiverTest, ReplyOfAnotherDeviceIsSetAsideUntilTheAddressedOneAnswers) {
  const TBytes request = ModbusUtils::BuildRtuFrame(BytesOf({0x06, 0x03, 0x03, 0xE8, 0x00, 0x0A}));
  const TBytes from5 = ModbusUtils::BuildRtuFrame(BytesOf({0x05, 0x03, 0x02, 0x00, 0x01}));
  const TBytes from6 = ModbusUtils::BuildRtuFrame(BytesOf({0x06, 0x03, 0x02, 0x00, 0x02}));

  // A late reply of device 5 comes first: passed over, device 6's reply is the one returned.
  Connection->AddChunk(from5);
  Connection->AddChunk(from6, 5ms);
  EXPECT_EQ(Transceiver.Exchange(request), from6);
  const auto skipped = LinesWith(Log, "<skp (size=7) 05 03 02 00 01 ");
  ASSERT_EQ(skipped.size(), 1u);
  EXPECT_NE(skipped[0].find("адресом 5 пропущен, ожидается ответ прибора с адресом 6"),
            std::string::npos)
      << skipped[0];

  // Only device 5 answers: its reply comes back once the start-of-packet budget is spent (one
  // more header read timed out), for the searcher to reject as another device's.
  Connection->AddChunk(from5);
  const int reads = Connection->ReadCount();
  EXPECT_EQ(Transceiver.Exchange(request), from5);
  EXPECT_EQ(Connection->ReadCount(), reads + 3);
  EXPECT_EQ(Connection->Events().back(), "read-failed");

  // Another device's frame of any function is passed over, also one whose length the reply
  // rule does not know (it ends at its good CRC, the reply right behind it in the same chunk,
  // or at the line's silence).
  const TBytes foreign[] = {
      ModbusUtils::BuildRtuFrame(BytesOf({0x09, 0x11, 0x03, 0x2A, 0xFF, 0x01})),
      ModbusUtils::BuildRtuFrame(BytesOf({0x09, 0x17, 0x02, 0x00, 0x07})),
      ModbusUtils::BuildRtuFrame(BytesOf({0x09, 0x41, 0x05, 0x06, 0x07, 0x08, 0x09})),
      ModbusUtils::BuildRtuFrame(BytesOf({0x09, 0x2B, 0x0D, 0x01})),
      ModbusUtils::BuildRtuFrame(BytesOf({0x09, 0x83, 0x02})),
  };
  for (const TBytes& frame : foreign) {
    for (const bool together : {true, false}) {
      if (together) {
        Connection->AddChunk(frame + from6);
      } else {
        Connection->AddChunk(frame);
        Connection->AddChunk(from6, 30ms);
      }
      EXPECT_EQ(Transceiver.Exchange(request), from6) << HexDump(frame.data(), 3) << together;
      EXPECT_EQ(LinesWith(Log, "<skp (size=" + std::to_string(frame.size()) + ") " +
                                   HexDump(frame.data(), static_cast<int>(frame.size())) +
                                   " (ответ другого прибора с адресом 9")
                    .size(),
                together ? 1u : 2u);
    }
    // Alone, it is what came: returned for the searcher to reject as another device's.
    Connection->AddChunk(frame);
    EXPECT_EQ(Transceiver.Exchange(request), frame);
  }
  // One that never carries a good CRC ends where the line falls silent; broken, it is the
  // searcher's to reject.
  const TBytes broken41 = BytesOf({0x09, 0x41, 0x01, 0x02, 0x03});
  Connection->AddChunk(broken41);
  EXPECT_EQ(Transceiver.Exchange(request), broken41);

  // A frame that fails its CRC is returned at once (the searcher retries it), and a plain
  // receive, without a request, takes any frame.
  TBytes broken = from5;
  broken.back() ^= 0xFF;
  Connection->AddChunk(broken);
  EXPECT_EQ(Transceiver.Exchange(request), broken);
  Connection->AddChunk(from5);
  EXPECT_EQ(Transceiver.Receive(), from5);
}

// The line's echo of the request (an adapter that hears itself, a bridge that echoes) is passed
// over and logged, and the reply is read on within the same budget; an echo alone is no reply.
TEST(ModbusReceiver, EchoOfTheRequestIsNeverTheReply) {
  const TBytes rtuRead = ModbusUtils::BuildRtuFrame(BytesOf({0x01, 0x03, 0x03, 0xE8, 0x00, 0x0A}));
  // Shorter than any reply to it: the echo is told by its bytes, not by a reply's length.
  const TBytes rtuId = ModbusUtils::BuildRtuFrame(ModbusUtils::BuildReadDeviceIdRequest(1, 1, 0));
  const TBytes rtuIdReply = ModbusUtils::BuildRtuFrame(
      BytesOf({0x01, 0x2B, 0x0E, 0x01, 0x01, 0x00, 0x00, 0x01, 0x00, 0x02, 'A', 'B'}));
  const TBytes tcpRead =
      ModbusUtils::BuildTcpFrame(BytesOf({0x01, 0x03, 0x03, 0xE8, 0x00, 0x0A}), 1);
  const TBytes tcpReply = ModbusUtils::BuildTcpFrame(BytesOf({0x01, 0x03, 0x02, 0x12, 0x34}), 1);
  const struct {
    bool Tcp;
    TBytes Request;
    std::vector<TBytes> Chunks;  // 5 ms apart
    TBytes Reply;                // empty: no reply, the wait ends as for silence
  } cases[] = {
      {false, rtuRead, {rtuRead, RtuReadResponse(4)}, RtuReadResponse(4)},
      {false, rtuRead, {rtuRead + RtuReadResponse(4)}, RtuReadResponse(4)},
      {false, rtuId, {rtuId + rtuIdReply}, rtuIdReply},
      {false, rtuId, {rtuId.substr(0, 4), rtuId.substr(4) + rtuIdReply}, rtuIdReply},
      {false, rtuRead, {rtuRead}, {}},
      {true, tcpRead, {tcpRead, tcpReply}, tcpReply},
      {true, tcpRead, {tcpRead + tcpReply}, tcpReply},
      {true, tcpRead, {tcpRead}, {}},
  };
  for (const auto& c : cases) {
    const auto connection = TScriptedConnection::New(
        "ECHO", c.Tcp ? TConnectionType::ctTcp : TConnectionType::ctSerialPort);
    std::unique_ptr<TMessageTransceiver> transceiver;
    if (c.Tcp) {
      transceiver = std::make_unique<TModbusTcpTransceiver>(connection);
    } else {
      transceiver = std::make_unique<TModbusRtuTransceiver>(connection);
    }
    TSearchLog log;
    transceiver->SetLog(&log);
    transceiver->SetStartOfPacketReadTimeout(60);
    transceiver->SetReadTimeout(60);
    for (std::size_t i = 0; i < c.Chunks.size(); ++i)
      connection->AddChunk(c.Chunks[i], i > 0 ? 5ms : 0ms);
    const std::string what = HexDump(c.Request.data(), static_cast<int>(c.Request.size()));
    if (c.Reply.empty()) {
      EXPECT_THROW(transceiver->Exchange(c.Request), EReadMessageTimeoutError) << what;
    } else {
      EXPECT_EQ(transceiver->Exchange(c.Request), c.Reply) << what;
    }
    EXPECT_EQ(LinesWith(log, "<skp (size=" + std::to_string(c.Request.size()) + ") " + what +
                                 " (эхо запроса пропущено)")
                  .size(),
              1u)
        << what;
  }
}

// Each read returns only after the whole budget is gone.
class TLateConnection : public TScriptedConnection {
 public:
  using TScriptedConnection::TScriptedConnection;
  std::int32_t Read(std::uint8_t* Buffer, std::int32_t Count) override {
    std::this_thread::sleep_for(std::chrono::milliseconds(ReadTimeout() + 5));
    return TScriptedConnection::Read(Buffer, Count);
  }
};

TEST(ModbusReceiver, ReadExactOwnTimeoutWhenTimeRunsOutBetweenReads) {
  auto connection = std::make_shared<TLateConnection>("COM8");
  TModbusRtuTransceiver transceiver(connection);
  transceiver.SetStartOfPacketReadTimeout(20);
  connection->AddChunk(BytesOf({0x01}));
  connection->AddChunk(BytesOf({0x03, 0x14}));
  try {
    transceiver.Receive();
    FAIL() << "no exception";
  } catch (const EReadMessageTimeoutError& e) {
    EXPECT_EQ(e.Message, "Не получен заголовок (3 байт) MODBUS пакета. ");
    const Exception* inner = e.InnerException();
    ASSERT_NE(inner, nullptr);
    EXPECT_STREQ(inner->ClassName(), "EReadTimeoutError");
    const std::string& text = inner->Message;
    EXPECT_EQ(text.rfind("Время ожидания чтения 3 байт данных истекло. Прочитано 1 байт "
                         "(ReadTimeout=20 msec, elapsedTimeout=",
                         0),
              0u)
        << text;
    const int elapsed = NumberAfter(text, "elapsedTimeout=");
    const int remaining = NumberAfter(text, "remainingTimeout=");
    EXPECT_GE(elapsed, 20);
    EXPECT_EQ(remaining, 20 - elapsed);
    EXPECT_LE(remaining, 0);
  }
  EXPECT_EQ(connection->ReadCount(), 1);
}

TEST_F(ModbusTransceiverTest, InfiniteTimeoutIsPassedOnUnchanged) {
  Transceiver.SetStartOfPacketReadTimeout(Connection->InfiniteTimeout());
  Transceiver.SetReadTimeout(Connection->InfiniteTimeout());
  const TBytes response = RtuReadResponse(4);
  Connection->AddChunk(response.substr(0, 2));
  Connection->AddChunk(response.substr(2, 3), 2ms);
  Connection->AddChunk(response.substr(5), 2ms);
  EXPECT_EQ(Transceiver.Receive(), response);
  const auto timeouts = Connection->ReadTimeoutHistory();
  ASSERT_EQ(timeouts.size(), 4u);
  for (const auto t : timeouts) EXPECT_EQ(t, -1);
}

class ModbusTcpTransceiverTest : public ::testing::Test {
 protected:
  std::shared_ptr<TScriptedConnection> Connection =
      TScriptedConnection::New("10.0.0.5", TConnectionType::ctTcp);
  TModbusTcpTransceiver Transceiver{Connection};
};

TEST_F(ModbusTcpTransceiverTest, HeaderThenLengthField) {
  TBytes body = BytesOf({0x01, 0x03, 0x14});
  for (int i = 0; i < 20; ++i) body.push_back(static_cast<std::uint8_t>(0x40 + i));
  const TBytes response = ModbusUtils::BuildTcpFrame(body, 1);
  Connection->AddChunk(response.substr(0, 4));
  Connection->AddChunk(response.substr(4) + BytesOf({0x00, 0x02}), 3ms);
  const TBytes received = Transceiver.Receive();
  EXPECT_EQ(received, response);
  EXPECT_EQ(ModbusUtils::ParseTcpFrame(received, 1), body);
  const auto counts = Connection->ReadCountHistory();
  ASSERT_GE(counts.size(), 3u);
  EXPECT_EQ(counts[0], 6);
  EXPECT_EQ(counts[2], static_cast<std::int32_t>(body.size()));
}

TEST_F(ModbusTcpTransceiverTest, BadLengthFieldFailsBeforeReadingMore) {
  for (const std::uint16_t length :
       {std::uint16_t{0}, std::uint16_t{8187}, std::uint16_t{0xFFFF}}) {
    Connection->AddChunk(BytesOf({0x00, 0x01, 0x00, 0x00, static_cast<std::uint8_t>(length >> 8),
                                  static_cast<std::uint8_t>(length & 0xFF)}));
    Connection->AddChunk(BytesOf({0x01, 0x03, 0x00}));
    const int readsBefore = Connection->ReadCount();
    const int closesBefore = Connection->CloseCount();
    EXPECT_THROW(Transceiver.Receive(), ECorruptMessageFrame) << length;
    EXPECT_EQ(Connection->ReadCount(), readsBefore + 1);
    EXPECT_EQ(Connection->PendingSteps(), 1u);
    // The stream is out of step: closed, so the rest cannot pass for the next reply.
    EXPECT_EQ(Connection->CloseCount(), closesBefore + 1);
    EXPECT_FALSE(Connection->IsOpen());
    Connection->Open();
    TBytes drain(3, 0);  // drop the unread body before the next case
    Connection->Read(drain.data(), 3);
  }
}

TEST_F(ModbusTcpTransceiverTest, LateReplyIsSkippedAndAnIdentifierNeverSentIsReturned) {
  TSearchLog log;
  Transceiver.SetLog(&log);
  Transceiver.SetStartOfPacketReadTimeout(60);
  const auto request = [](std::uint16_t Id) {
    return ModbusUtils::BuildTcpFrame(BytesOf({0x01, 0x03, 0x03, 0xE8, 0x00, 0x0A}), Id);
  };
  const auto reply = [](std::uint16_t Id) {
    return ModbusUtils::BuildTcpFrame(BytesOf({0x01, 0x03, 0x02, 0x12, 0x34}), Id);
  };
  // The first request gets no reply in time; it arrives late, ahead of the second one's.
  EXPECT_THROW(Transceiver.Exchange(request(1)), EReadMessageTimeoutError);
  Connection->AddChunk(reply(1));
  Connection->AddChunk(reply(2), 5ms);
  EXPECT_EQ(Transceiver.Exchange(request(2)), reply(2));
  std::vector<std::string> skipped;
  for (const std::string& line : log.Lines())
    if (line.find("<skp (size=11) 00 01 ") != std::string::npos) skipped.push_back(line);
  ASSERT_EQ(skipped.size(), 1u);
  EXPECT_NE(skipped[0].find("идентификатором транзакции 1 пропущен, ожидается идентификатор 2"),
            std::string::npos)
      << skipped[0];

  // An identifier never sent on this connection is no late reply: returned for the searcher
  // to reject.
  Connection->AddChunk(reply(9));
  EXPECT_EQ(Transceiver.Exchange(request(3)), reply(9));
  // A late reply alone does not count as the reply: the wait ends as for silence.
  Connection->AddChunk(reply(2));
  EXPECT_THROW(Transceiver.Exchange(request(4)), EReadMessageTimeoutError);
}

TEST_F(ModbusTcpTransceiverTest, LargestLengthThatFitsTheBuffer) {
  const std::uint16_t length = 8192 - 6;
  TBytes response = BytesOf({0x00, 0x09, 0x00, 0x00, static_cast<std::uint8_t>(length >> 8),
                             static_cast<std::uint8_t>(length & 0xFF)});
  response += TBytes(length, 0x5A);
  Connection->AddChunk(response);
  EXPECT_EQ(Transceiver.Receive().size(), 8192u);
}

}  // namespace
}  // namespace probrix
