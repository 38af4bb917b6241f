#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <string>
#include <vector>

#include "foundation/ioExceptions.h"
#include "messaging/ioOrvatbusCoreTypes.h"
#include "messaging/ioOrvatbusTransceiver.h"
#include "search/uSearchLog.h"
#include "support/ScriptedConnection.h"

namespace probrix {
namespace {

using namespace std::chrono_literals;
using test::TScriptedConnection;

const TBytes IdentifyRequest = BytesOf({0xFF, 0x25, 0x20, 0x49, 0xB3, 0x03});
// A reply frame from device 5 to master 0 ("crc1").
// 16 bytes packed: nothing in it needs escaping.
const TBytes IdentifyReply = OrvatbusUtils::Pack(
    BytesOf({0x20, 0x25, 0x49, 0x00, 0x01, 0x07, 0x00, 0x02, 0x01, 0x05, 0x30, 0x39, 0x00}),
    OrvatbusUtils::CrcKindFunction(TChecksumKind::ckCrc1));

// The log lines without their time stamps.
std::vector<std::string> Texts(const TSearchLog& Log) {
  std::vector<std::string> texts;
  for (const std::string& line : Log.Lines()) texts.push_back(line.substr(13));
  return texts;
}

std::vector<std::string> WithPrefix(const TSearchLog& Log, const std::string& Prefix) {
  std::vector<std::string> found;
  for (const std::string& text : Texts(Log))
    if (text.rfind(Prefix, 0) == 0) found.push_back(text);
  return found;
}

int NumberAfter(const std::string& Text, const std::string& Key) {
  const std::size_t at = Text.find(Key);
  EXPECT_NE(at, std::string::npos) << Key << " in " << Text;
  return at == std::string::npos ? -1 : std::stoi(Text.substr(at + Key.size()));
}

class OrvatbusReceiver : public ::testing::Test {
 protected:
  OrvatbusReceiver() : Connection(TScriptedConnection::New("COM7")), Transceiver(Connection) {
    Transceiver.SetLog(&Log);
    Transceiver.SetStartOfPacketReadTimeout(60);
    Transceiver.SetReadTimeout(60);
  }

  std::shared_ptr<TScriptedConnection> Connection;
  TOrvatbusTransceiver Transceiver;
  TSearchLog Log;
};

TEST_F(OrvatbusReceiver, WholeFrameInOneChunk) {
  Connection->AddChunk(IdentifyReply);
  EXPECT_EQ(Transceiver.Exchange(IdentifyRequest), IdentifyReply);
  EXPECT_EQ(Connection->WrittenBytes(), IdentifyRequest);

  const std::vector<std::string> texts = Texts(Log);
  const std::vector<std::string> prefixes = {"--q>",
                                             "---> Connection opened [",
                                             "---> (size=6)",
                                             "<--- Запрошена операция чтения данных",
                                             "<trd",
                                             "<rd-",
                                             "<chk isStopByteReceived=1 (StopByte=0xFF)",
                                             "<raw (size=16)",
                                             "<chk ETXPosition=15 (TotalBytesRead=16,",
                                             "<--- (size=16)",
                                             "<a-- (size=16)"};
  ASSERT_EQ(texts.size(), prefixes.size());
  for (std::size_t i = 0; i < prefixes.size(); ++i)
    EXPECT_EQ(texts[i].rfind(prefixes[i], 0), 0u) << texts[i];
  EXPECT_NE(texts[8].find("StartIndex=SOHPosition=0, StopIndex=TotalBytesRead-1=15)"),
            std::string::npos);
  EXPECT_EQ(NumberAfter(texts[9], "WaitStartOfPacketTime="),
            NumberAfter(texts[9], "WaitEndOfPacketTime="));
  EXPECT_NE(texts[9].find("[ThreadID: 0x"), std::string::npos);
}

TEST_F(OrvatbusReceiver, FrameInTwoChunksWaitsForTheEnd) {
  Connection->AddChunk(IdentifyReply.substr(0, 4));
  Connection->AddChunk(IdentifyReply.substr(4), 5ms);
  EXPECT_EQ(Transceiver.Exchange(IdentifyRequest), IdentifyReply);

  EXPECT_EQ(WithPrefix(Log, "<trd").size(), 2u);
  const auto stopChecks = WithPrefix(Log, "<chk isStopByteReceived=");
  ASSERT_EQ(stopChecks.size(), 2u);
  EXPECT_EQ(stopChecks[0], "<chk isStopByteReceived=1 (StopByte=0xFF)");
  EXPECT_EQ(stopChecks[1], "<chk isStopByteReceived=1 (StopByte=0x03)");
  const auto etxChecks = WithPrefix(Log, "<chk ETXPosition=");
  ASSERT_EQ(etxChecks.size(), 2u);
  EXPECT_EQ(etxChecks[0].rfind("<chk ETXPosition=-1 (TotalBytesRead=4,", 0), 0u);
  EXPECT_EQ(etxChecks[1].rfind("<chk ETXPosition=15 (TotalBytesRead=16,", 0), 0u);
  const auto done = WithPrefix(Log, "<--- (size=16)");
  ASSERT_EQ(done.size(), 1u);
  EXPECT_GE(NumberAfter(done[0], "WaitEndOfPacketTime="),
            NumberAfter(done[0], "WaitStartOfPacketTime="));
}

TEST_F(OrvatbusReceiver, NoiseBeforeTheStartIsDroppedAndTheEndFoundInTheSameChunk) {
  // Line noise at bus turnaround: the whole frame still arrives in the first chunk.
  Connection->AddChunk(BytesOf({0x00, 0x55}) + IdentifyReply + BytesOf({0x41}));
  EXPECT_EQ(Transceiver.Exchange(IdentifyRequest), IdentifyReply);
  EXPECT_EQ(WithPrefix(Log, "<trd").size(), 1u);  // no wait for an end of packet
  const auto etxChecks = WithPrefix(Log, "<chk ETXPosition=");
  ASSERT_EQ(etxChecks.size(), 1u);
  EXPECT_EQ(etxChecks[0].rfind("<chk ETXPosition=17 (TotalBytesRead=19,", 0), 0u);
  EXPECT_NE(etxChecks[0].find("StartIndex=SOHPosition=2, StopIndex=TotalBytesRead-1=18)"),
            std::string::npos);
}

TEST_F(OrvatbusReceiver, LaterStartBeforeTheEndBeginsTheFrame) {
  Connection->AddChunk(BytesOf({0xFF, 0x20, 0x25}));
  Connection->AddChunk(IdentifyReply, 2ms);
  EXPECT_EQ(Transceiver.Exchange(IdentifyRequest), IdentifyReply);
}

// The line's echo of the request is passed over and logged, however it arrives, and the reply
// is read on from the bytes after it; an echo alone is no reply.
TEST_F(OrvatbusReceiver, EchoOfTheRequestIsNeverTheReply) {
  const std::vector<std::vector<TBytes>> cases = {
      {IdentifyRequest, IdentifyReply},
      {IdentifyRequest + IdentifyReply},
      {IdentifyRequest.substr(0, 3), IdentifyRequest.substr(3) + IdentifyReply},
      {IdentifyRequest + IdentifyReply.substr(0, 5), IdentifyReply.substr(5)},
      {IdentifyRequest},
  };
  for (const auto& chunks : cases) {
    Log.Clear();
    for (std::size_t i = 0; i < chunks.size(); ++i)
      Connection->AddChunk(chunks[i], i > 0 ? 5ms : 0ms);
    if (chunks.size() == 1 && chunks[0] == IdentifyRequest) {
      EXPECT_THROW(Transceiver.Exchange(IdentifyRequest), EReadSOHTimeoutError);
    } else {
      EXPECT_EQ(Transceiver.Exchange(IdentifyRequest), IdentifyReply) << chunks.size();
    }
    EXPECT_EQ(WithPrefix(Log, "<skp (size=6) FF 25 20 49 B3 03  (эхо запроса пропущено)").size(),
              1u)
        << chunks.size();
  }
}

TEST_F(OrvatbusReceiver, SilenceIsAStartOfPacketTimeout) {
  Transceiver.SetStartOfPacketReadTimeout(30);
  try {
    Transceiver.Exchange(IdentifyRequest);
    FAIL() << "no exception";
  } catch (const EReadSOHTimeoutError& e) {
    EXPECT_EQ(e.Message,
              "[PortName=COM7;BaudRate=9600;DtrEnable=1] Не получен символ начала "
              "пакета (SOH)");
    ASSERT_NE(e.InnerException(), nullptr);
    EXPECT_STREQ(e.InnerException()->ClassName(), "EReadMessageTimeoutError");
  }
  EXPECT_EQ(WithPrefix(Log, "<err Не удалось выполнить чтение данных: ").size(), 1u);
  EXPECT_EQ(Connection->ReadTimeoutHistory().front(), 30);
}

TEST_F(OrvatbusReceiver, MissingEndIsAnEndOfPacketTimeout) {
  Transceiver.SetReadTimeout(30);
  Connection->AddChunk(IdentifyReply.substr(0, 7));
  try {
    Transceiver.Exchange(IdentifyRequest);
    FAIL() << "no exception";
  } catch (const EReadETXTimeoutError& e) {
    EXPECT_NE(e.Message.find("Не получен символ конца пакета (ETX)"), std::string::npos);
    ASSERT_NE(e.InnerException(), nullptr);
    EXPECT_STREQ(e.InnerException()->ClassName(), "EReadMessageTimeoutError");
  }
}

TEST_F(OrvatbusReceiver, ReadFailuresAreTranslated) {
  Connection->AddReadFailure(EConnectionIOError::Create("[COM7] device gone"));
  EXPECT_THROW(Transceiver.Exchange(IdentifyRequest), EConnectionIOError);
  EXPECT_FALSE(Connection->IsOpen());  // closed so that the next exchange reopens it

  Connection->AddReadFailure(EArgumentError::Create("odd"));
  try {
    Transceiver.Exchange(IdentifyRequest);
    FAIL() << "no exception";
  } catch (const EUnexpectedReceiveError& e) {
    EXPECT_EQ(e.Message,
              "[PortName=COM7;BaudRate=9600;DtrEnable=1] Непредвиденная ошибка при "
              "попытке чтения данных.");
    ASSERT_NE(e.InnerException(), nullptr);
    EXPECT_STREQ(e.InnerException()->ClassName(), "EArgumentError");
  }
}

TEST_F(OrvatbusReceiver, InfiniteTimeoutIsPassedOnUnchanged) {
  Transceiver.SetStartOfPacketReadTimeout(-1);
  Transceiver.SetReadTimeout(-1);
  Connection->AddChunk(IdentifyReply.substr(0, 5));
  Connection->AddChunk(IdentifyReply.substr(5), 3ms);
  EXPECT_EQ(Transceiver.Exchange(IdentifyRequest), IdentifyReply);
  for (const std::int32_t timeout : Connection->ReadTimeoutHistory()) EXPECT_EQ(timeout, -1);
  EXPECT_EQ(Connection->ReadTimeoutHistory().size(), 2u);
}

// Reads with a small capacity into an array with guard bytes behind it.
class OrvatbusReceiverBounds : public ::testing::Test {
 protected:
  static constexpr std::int32_t ReadCapacity = 16;

  OrvatbusReceiverBounds() : Connection(TScriptedConnection::New("COM8")) {
    Connection->Open();
    Receiver.SetStartOfPacketReadTimeout(60);
    Receiver.SetReadTimeout(60);
    Storage.fill(0xEE);
  }

  bool GuardIntact() const {
    for (std::size_t i = ReadCapacity; i < Storage.size(); ++i)
      if (Storage[i] != 0xEE) return false;
    return true;
  }

  std::shared_ptr<TScriptedConnection> Connection;
  TOrvatbusReceiver Receiver;
  std::array<std::uint8_t, ReadCapacity + 64> Storage{};
};

TEST_F(OrvatbusReceiverBounds, BufferFullWithoutStartIsACorruptFrame) {
  Connection->AddChunk(TBytes(40, 0x55));
  EXPECT_THROW(Receiver.ReadPacket(*Connection, Storage.data(), ReadCapacity),
               ECorruptMessageFrame);
  EXPECT_TRUE(GuardIntact());
  for (const std::int32_t count : Connection->ReadCountHistory()) EXPECT_LE(count, ReadCapacity);
}

TEST_F(OrvatbusReceiverBounds, BufferFullWithoutEndIsACorruptFrame) {
  // The start arrives with the buffer still short of full, the rest never brings an end.
  Connection->AddChunk(BytesOf({0x55, 0xFF, 0x20}));
  Connection->AddChunk(TBytes(40, 0x41), 2ms);
  EXPECT_THROW(Receiver.ReadPacket(*Connection, Storage.data(), ReadCapacity),
               ECorruptMessageFrame);
  EXPECT_TRUE(GuardIntact());

  // The start arrives in the very chunk that fills the buffer.
  Connection->AddChunk(TBytes(10, 0x41) + BytesOf({0xFF}) + TBytes(10, 0x41));
  EXPECT_THROW(Receiver.ReadPacket(*Connection, Storage.data(), ReadCapacity),
               ECorruptMessageFrame);
  EXPECT_TRUE(GuardIntact());
  for (const std::int32_t count : Connection->ReadCountHistory()) {
    EXPECT_GT(count, 0);
    EXPECT_LE(count, ReadCapacity);
  }
}

TEST_F(OrvatbusReceiverBounds, FrameThatExactlyFillsTheBuffer) {
  const TBytes frame =
      BytesOf({0xFF, 0x20, 0x25, 0x49, 1, 2, 4, 5, 6, 7, 8, 9, 11, 12}) + BytesOf({0x00, 0x03});
  ASSERT_EQ(frame.size(), static_cast<std::size_t>(ReadCapacity));
  Connection->AddChunk(frame.substr(0, 9));
  Connection->AddChunk(frame.substr(9));
  ASSERT_EQ(Receiver.ReadPacket(*Connection, Storage.data(), ReadCapacity), ReadCapacity);
  EXPECT_EQ(TBytes(Storage.data(), ReadCapacity), frame);
  EXPECT_TRUE(GuardIntact());
}

TEST(OrvatbusByteSearch, RangesAndEmptyRanges) {
  const TBytes data = BytesOf({0xFF, 0x03, 0xFF, 0x03});
  EXPECT_EQ(TOrvatbusReceiver::IndexOfByte(0x03, data.data(), 0, 3), 1);
  EXPECT_EQ(TOrvatbusReceiver::IndexOfByte(0x03, data.data(), 2, 3), 3);
  EXPECT_EQ(TOrvatbusReceiver::IndexOfByte(0x03, data.data(), 2, 1), -1);
  EXPECT_EQ(TOrvatbusReceiver::LastIndexOfByte(0xFF, data.data(), 0, 3), 2);
  EXPECT_EQ(TOrvatbusReceiver::LastIndexOfByte(0xFF, data.data(), 0, 1), 0);
  EXPECT_EQ(TOrvatbusReceiver::LastIndexOfByte(0xFF, data.data(), 0, -1), -1);
  EXPECT_TRUE(TOrvatbusReceiver::ContainsByte(0x03, data.data(), 2));
  EXPECT_FALSE(TOrvatbusReceiver::ContainsByte(0x03, data.data(), 1));
  EXPECT_FALSE(TOrvatbusReceiver::ContainsByte(0x03, data.data(), 0));
}

}  // namespace
}  // namespace probrix
