#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <string>
#include <vector>

#include "foundation/ioExceptions.h"
#include "messaging/ioOrvatAsciiCoreTypes.h"
#include "messaging/ioOrvatAsciiTransceiver.h"
#include "search/uSearchLog.h"
#include "support/ScriptedConnection.h"

namespace probrix {
namespace {

using namespace std::chrono_literals;
using test::TScriptedConnection;

TBytes Text(const std::string& S) { return TBytes(S.begin(), S.end()); }

std::vector<std::string> WithPrefix(const TSearchLog& Log, const std::string& Prefix) {
  std::vector<std::string> found;
  for (const std::string& line : Log.Lines())
    if (line.compare(13, Prefix.size(), Prefix) == 0) found.push_back(line.substr(13));
  return found;
}

class OrvatAsciiReceiver : public ::testing::Test {
 protected:
  OrvatAsciiReceiver() : Connection(TScriptedConnection::New("COM3")), Transceiver(Connection) {
    Transceiver.SetLog(&Log);
    Transceiver.SetReadTimeout(60);
  }

  const TOrvatAsciiReceiver& Receiver() {
    return dynamic_cast<const TOrvatAsciiReceiver&>(Transceiver.Receiver());
  }

  std::shared_ptr<TScriptedConnection> Connection;
  TOrvatAsciiTransceiver Transceiver;
  TSearchLog Log;
};

TEST(OrvatAsciiTransceiver, ListensWithLongDefaultTimeouts) {
  TOrvatAsciiTransceiver transceiver(TScriptedConnection::New());
  EXPECT_EQ(transceiver.ReadTimeout(), 5000);
  EXPECT_EQ(transceiver.StartOfPacketReadTimeout(), 5000);
  EXPECT_EQ(transceiver.WriteTimeout(), 500);
  TOrvatAsciiReceiver receiver;
  EXPECT_EQ(receiver.ReadTimeout(), 5000);
  EXPECT_EQ(receiver.StartOfPacketReadTimeout(), 5000);
}

TEST_F(OrvatAsciiReceiver, OneLineInOneChunk) {
  Connection->AddChunk(Text("1234567890ABC\r\n"));
  const TBytes message = Transceiver.Receive();
  EXPECT_EQ(message, Text("1234567890ABC\r\n"));
  const TBytes body = OrvatAsciiUtils::LastLine(message);
  EXPECT_EQ(body.size(), 13u);
  EXPECT_EQ(OrvatAsciiUtils::DecodeAddress(body[0]), 49);
  EXPECT_TRUE(Connection->Writes().empty());  // a listener sends nothing

  ASSERT_EQ(WithPrefix(Log, "<raw (size=15) 31 32 33").size(), 1u);
  EXPECT_EQ(WithPrefix(Log, "<acc (size=15) ").size(), 1u);
  EXPECT_EQ(WithPrefix(Log, "<a-- (size=15) ").size(), 1u);
  for (const std::int32_t count : Connection->ReadCountHistory()) EXPECT_EQ(count, 257);
  EXPECT_EQ(Connection->ReadTimeoutHistory().size(), 1u);
  EXPECT_LE(Connection->ReadTimeoutHistory().front(), 60);
}

TEST_F(OrvatAsciiReceiver, PartialLineWaitsInTheAccumulatorForTheNextReceive) {
  Connection->AddChunk(Text("AAAAAAAAAAAA1\r\nBBBBBBBBBBBB2\r\nCCCCC"));
  EXPECT_EQ(Transceiver.Receive(), Text("AAAAAAAAAAAA1\r\nBBBBBBBBBBBB2\r\n"));
  EXPECT_EQ(Receiver().Accumulator(), Text("CCCCC"));

  Connection->AddChunk(Text("CCCCCCC3\r\nDD"));
  EXPECT_EQ(Transceiver.Receive(), Text("CCCCCCCCCCCC3\r\n"));
  EXPECT_EQ(Receiver().Accumulator(), Text("DD"));
}

TEST_F(OrvatAsciiReceiver, EmptyLinesAreSkippedAndReadingGoesOn) {
  Connection->AddChunk(Text("\r\n"));
  Connection->AddChunk(Text("\r\n\r"), 2ms);
  Connection->AddChunk(Text("\nA234567890ABC\r\n"), 2ms);
  EXPECT_EQ(Transceiver.Receive(), Text("A234567890ABC\r\n"));
  EXPECT_EQ(WithPrefix(Log, "<raw").size(), 3u);
}

TEST_F(OrvatAsciiReceiver, SilenceIsAReadTimeoutNamingTheLineEnd) {
  Transceiver.SetReadTimeout(30);
  try {
    Transceiver.Receive();
    FAIL() << "no exception";
  } catch (const EReadTimeoutError& e) {
    EXPECT_STREQ(e.ClassName(), "EReadTimeoutError");
    EXPECT_EQ(e.Message,
              "[PortName=COM3;BaudRate=9600;DtrEnable=1] Не получены символы конца "
              "сообщения (CRLF=0x0D0A)");
    const auto* inner = dynamic_cast<const ExceptionEx*>(e.InnerException());
    ASSERT_NE(inner, nullptr);
    EXPECT_STREQ(inner->ClassName(), "EReadTimeoutError");
    // Either the single read timed out (its cause is the connection's) or the time ran out
    // between reads.
    EXPECT_TRUE(inner->Message.find("Истек таймаут ожидания чтения данных") != std::string::npos ||
                inner->Message.find("Время ожидания конца сообщения") != std::string::npos)
        << inner->Message;
  }
}

TEST_F(OrvatAsciiReceiver, TimeRunsOutWhileCharactersTrickleIn) {
  Transceiver.SetReadTimeout(40);
  for (int i = 0; i < 40; ++i) Connection->AddChunk(Text("x"), 5ms);
  EXPECT_THROW(Transceiver.Receive(), EReadTimeoutError);
  // Characters received so far stay for the next receive.
  EXPECT_FALSE(Receiver().Accumulator().empty());
}

TEST_F(OrvatAsciiReceiver, ReadFailuresAreTranslated) {
  Connection->AddReadFailure(EConnectionIOError::Create("[COM3] gone"));
  try {
    Transceiver.Receive();
    FAIL() << "no exception";
  } catch (const EConnectionIOError& e) {
    EXPECT_STREQ(e.ClassName(), "EConnectionIOError");
    EXPECT_EQ(e.Message, "[PortName=COM3;BaudRate=9600;DtrEnable=1] Ошибка приема сообщения.");
  }
  EXPECT_FALSE(Connection->IsOpen());

  Connection->AddReadFailure(EArgumentError::Create("odd"));
  EXPECT_THROW(Transceiver.Receive(), EUnexpectedReceiveError);
}

// Reads with a small capacity into an array with guard bytes behind it.
class OrvatAsciiReceiverBounds : public ::testing::Test {
 protected:
  static constexpr std::int32_t ReadCapacity = 40;

  OrvatAsciiReceiverBounds() : Connection(TScriptedConnection::New("COM4")) {
    Connection->Open();
    Receiver.SetReadTimeout(200);
    Storage.fill(0xEE);
  }

  bool GuardIntact() const {
    for (std::size_t i = ReadCapacity; i < Storage.size(); ++i)
      if (Storage[i] != 0xEE) return false;
    return true;
  }

  TBytes Read() {
    const std::int32_t n = Receiver.ReadPacket(*Connection, Storage.data(), ReadCapacity);
    EXPECT_GE(n, 0);
    EXPECT_LE(n, ReadCapacity);
    return TBytes(Storage.data(), static_cast<std::size_t>(n));
  }

  std::shared_ptr<TScriptedConnection> Connection;
  TOrvatAsciiReceiver Receiver;
  std::array<std::uint8_t, ReadCapacity + 300> Storage{};
};

TEST_F(OrvatAsciiReceiverBounds, FloodWithoutLineEndNeverOverrunsTheBuffer) {
  for (int i = 0; i < 20; ++i) Connection->AddChunk(TBytes(257, 'x'));
  Connection->AddChunk(Text("xx\r\nB234567890ABC\r\n"));
  EXPECT_EQ(Read(), Text("B234567890ABC\r\n"));
  EXPECT_TRUE(GuardIntact());
  EXPECT_TRUE(Receiver.Accumulator().empty());
}

TEST_F(OrvatAsciiReceiverBounds, AccumulatorStaysBoundedDuringAFlood) {
  for (int i = 0; i < 50; ++i) Connection->AddChunk(TBytes(257, 'x'));
  Receiver.SetReadTimeout(30);
  EXPECT_THROW(Read(), EReadTimeoutError);
  EXPECT_LE(Receiver.Accumulator().size(), static_cast<std::size_t>(ReadCapacity));
  EXPECT_TRUE(GuardIntact());
}

TEST_F(OrvatAsciiReceiverBounds, ManyLinesKeepTheNewestThatFit) {
  Connection->AddChunk(Text("1111111111111\r\n2222222222222\r\n3333333333333\r\n44"));
  EXPECT_EQ(Read(), Text("2222222222222\r\n3333333333333\r\n"));
  EXPECT_TRUE(GuardIntact());
  EXPECT_EQ(Receiver.Accumulator(), Text("44"));
}

TEST_F(OrvatAsciiReceiverBounds, SingleLineLongerThanTheBufferIsACorruptFrame) {
  Connection->AddChunk(TBytes(60, 'y') + Text("\r\nZZ"));
  EXPECT_THROW(Read(), ECorruptMessageFrame);
  EXPECT_TRUE(GuardIntact());
  // The next complete line is received normally.
  Connection->AddChunk(Text("34567890ABC\r\n"));
  EXPECT_EQ(Read(), Text("ZZ34567890ABC\r\n"));
}

TEST(OrvatAsciiLineEnds, FindLastCrLfAndExtractMessage) {
  EXPECT_EQ(TOrvatAsciiReceiver::FindLastCrLf(Text("")), 0);
  EXPECT_EQ(TOrvatAsciiReceiver::FindLastCrLf(Text("\r")), 0);
  EXPECT_EQ(TOrvatAsciiReceiver::FindLastCrLf(Text("\r\n")), 1);
  EXPECT_EQ(TOrvatAsciiReceiver::FindLastCrLf(Text("ab\r\ncd\r\nef")), 7);
  EXPECT_EQ(TOrvatAsciiReceiver::FindLastCrLf(Text("ab\n\rcd")), 0);

  TBytes accumulator = Text("\n\r\nab\r\ncd");
  EXPECT_EQ(TOrvatAsciiReceiver::ExtractMessage(accumulator), Text("ab\r\n"));
  EXPECT_EQ(accumulator, Text("cd"));
  EXPECT_EQ(TOrvatAsciiReceiver::ExtractMessage(accumulator), Text(""));
  EXPECT_EQ(accumulator, Text("cd"));
}

}  // namespace
}  // namespace probrix
