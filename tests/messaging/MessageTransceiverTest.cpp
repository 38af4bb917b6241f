#include <gtest/gtest.h>

#include <atomic>
#include <cctype>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "foundation/appExceptions.h"
#include "foundation/ioExceptions.h"
#include "messaging/ioMessageTransceiver.h"
#include "search/uSearchLog.h"
#include "support/ScriptedConnection.h"
#include "support/TestSupport.h"

namespace probrix {
namespace {

using test::TScriptedConnection;
using namespace std::chrono_literals;

// Reads exactly Length bytes (or until the buffer is full): the first read within the
// start-of-packet budget, the rest within the read budget.
class TFixedLengthReceiver : public TMessageReceiver {
 public:
  std::int32_t Length = 2;
  std::int32_t ReportedExtra = 0;  // makes the receiver misreport its count

  std::int32_t ReadPacket(IDeviceConnection& Connection, std::uint8_t* Buffer,
                          std::int32_t Capacity) override {
    const std::int32_t wanted = std::min(Length, Capacity);
    std::int32_t count = 0;
    Connection.SetReadTimeout(StartOfPacketReadTimeout());
    while (count < wanted) {
      count += Connection.Read(Buffer + count, wanted - count);
      Connection.SetReadTimeout(ReadTimeout());
    }
    return count + ReportedExtra;
  }
};

class TTestTransceiver : public TMessageTransceiver {
 public:
  using TMessageTransceiver::TMessageTransceiver;
  TFixedLengthReceiver& TestReceiver() { return static_cast<TFixedLengthReceiver&>(Receiver()); }

 protected:
  std::unique_ptr<TMessageSender> CreateSender() override {
    return std::make_unique<TMessageSender>();
  }
  std::unique_ptr<TMessageReceiver> CreateReceiver() override {
    return std::make_unique<TFixedLengthReceiver>();
  }
};

// '#' stands for one decimal digit, '*' for one or more.
bool MatchesPattern(std::string_view Text, std::string_view Pattern) {
  std::size_t t = 0;
  for (char p : Pattern) {
    if (p == '#' || p == '*') {
      if (t >= Text.size() || !std::isdigit(static_cast<unsigned char>(Text[t]))) return false;
      ++t;
      if (p == '*')
        while (t < Text.size() && std::isdigit(static_cast<unsigned char>(Text[t]))) ++t;
    } else {
      if (t >= Text.size() || Text[t] != p) return false;
      ++t;
    }
  }
  return t == Text.size();
}

// The log lines without their "hh:nn:ss.zzz " stamps.
std::vector<std::string> Texts(const TSearchLog& Log) {
  std::vector<std::string> out;
  for (const std::string& line : Log.Lines()) {
    EXPECT_TRUE(MatchesPattern(line.substr(0, 13), "##:##:##.### ")) << line;
    out.push_back(line.substr(13));
  }
  return out;
}

std::string ThreadIdText() { return IntToHex(CurrentThreadIdForLog(), 8); }

class MessageTransceiverTest : public ::testing::Test {
 protected:
  std::shared_ptr<TScriptedConnection> Connection = TScriptedConnection::New("COM3");
  std::unique_ptr<TTestTransceiver> Transceiver = std::make_unique<TTestTransceiver>(Connection);
  TSearchLog Log;
  const std::string Cs = "PortName=COM3;BaudRate=9600;DtrEnable=1";

  void SetUp() override { Transceiver->SetLog(&Log); }
};

TEST_F(MessageTransceiverTest, ExchangeOnClosedConnectionWritesTheLinesInOrder) {
  Connection->AddChunk(BytesOf({0xAA, 0xBB}));
  const TBytes response = Transceiver->Exchange(BytesOf({0x01, 0x02, 0xFF}));

  EXPECT_EQ(response, BytesOf({0xAA, 0xBB}));
  EXPECT_EQ(Connection->Writes(), std::vector<TBytes>{BytesOf({0x01, 0x02, 0xFF})});
  EXPECT_EQ(Connection->OpenCount(), 1);
  EXPECT_TRUE(Connection->IsOpen());  // stays open between exchanges
  EXPECT_EQ(Connection->WriteTimeoutHistory(), std::vector<std::int32_t>{500});
  EXPECT_EQ(Connection->ReadTimeoutHistory().front(), 200);

  const auto lines = Texts(Log);
  ASSERT_EQ(lines.size(), 5u) << Log.Text();
  const std::string tid = ThreadIdText();
  EXPECT_EQ(lines[0], "--q> (size=3) 01 02 FF  (packed message) [ThreadID: 0x" + tid + "]");
  EXPECT_EQ(lines[1], "---> Connection opened [" + Cs + "]");
  EXPECT_TRUE(MatchesPattern(
      lines[2], "---> (size=3) 01 02 FF  (ExecutionTime=* ms) [ThreadID: 0x" + tid + "]"))
      << lines[2];
  EXPECT_EQ(lines[3], "<--- Запрошена операция чтения данных");
  EXPECT_EQ(lines[4], "<a-- (size=2) AA BB  (packed message)");
}

TEST_F(MessageTransceiverTest, ReceiveOpensTheConnectionWithItsOwnLine) {
  Connection->AddChunk(BytesOf({0x10, 0x20}));
  EXPECT_EQ(Transceiver->Receive(), BytesOf({0x10, 0x20}));
  const auto lines = Texts(Log);
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0], "<--- Запрошена операция чтения данных");
  EXPECT_EQ(lines[1], "--->  [" + Cs + "] Connection opened");
  EXPECT_EQ(lines[2], "<a-- (size=2) 10 20  (packed message)");
}

TEST_F(MessageTransceiverTest, EmptyMessageOpensAndSendsNothing) {
  Transceiver->Send(TBytes());
  EXPECT_EQ(Connection->OpenCount(), 0);
  EXPECT_TRUE(Connection->Writes().empty());
  const auto lines = Texts(Log);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0], "--q> (size=0)  (packed message) [ThreadID: 0x" + ThreadIdText() + "]");
}

TEST_F(MessageTransceiverTest, WriteTimeoutIsWrappedWithItsInnerException) {
  Connection->FailNextWrite(
      EWriteTimeoutError::CreateFmt("[%s] write timed out (%d ms). ", {Cs, 500}));
  try {
    Transceiver->Send(BytesOf({0x05}));
    FAIL() << "no exception";
  } catch (const EWriteMessageTimeoutError& e) {
    EXPECT_EQ(e.Message, "[" + Cs +
                             "] Отправка сообщения не была завершена до истечения таймаута "
                             "ожидания записи (500 ms).");
    ASSERT_NE(e.InnerException(), nullptr);
    EXPECT_STREQ(e.InnerException()->ClassName(), "EWriteTimeoutError");
    const std::string last = Texts(Log).back();
    EXPECT_EQ(last, "<err Не удалось выполнить отправку данных: " + e.GetFullDescription());
    EXPECT_NE(last.find("(InnerException: [EWriteTimeoutError] [" + Cs + "] write timed out"),
              std::string::npos)
        << last;
  }
  // A timeout is not an I/O failure: the connection stays open.
  EXPECT_TRUE(Connection->IsOpen());
  EXPECT_EQ(Connection->CloseCount(), 0);
}

TEST_F(MessageTransceiverTest, WriteFailuresOtherThanTimeouts) {
  Connection->FailNextWrite(EConnectionIOError::Create("[x] io"));
  try {
    Transceiver->Send(BytesOf({0x05}));
    FAIL() << "no exception";
  } catch (const EConnectionIOError& e) {
    EXPECT_STREQ(e.ClassName(), "EConnectionIOError");
    EXPECT_EQ(e.Message, "[" + Cs + "] Отправка сообщения не выполнена из-за ошибки вввод-вывода.");
    ASSERT_NE(e.InnerException(), nullptr);
    EXPECT_EQ(e.InnerException()->Message, "[x] io");
  }
  EXPECT_FALSE(Connection->IsOpen());  // closed after an I/O failure
  EXPECT_EQ(Connection->CloseCount(), 1);

  Connection->FailNextWrite(EInvalidOperation::Create("odd"));
  try {
    Transceiver->Send(BytesOf({0x06}));
    FAIL() << "no exception";
  } catch (const EUnexpectedSendError& e) {
    EXPECT_EQ(e.Message, "[" + Cs + "] Непредвиденная ошибка при отправке сообщения");
    ASSERT_NE(e.InnerException(), nullptr);
    EXPECT_STREQ(e.InnerException()->ClassName(), "EInvalidOperation");
  }
  EXPECT_EQ(Connection->OpenCount(), 2);
  EXPECT_EQ(Connection->CloseCount(), 2);
}

TEST_F(MessageTransceiverTest, ReadIoFailureClosesAndTheNextExchangeReopens) {
  Connection->AddReadFailure(EConnectionIOError::Create("[" + Cs + "] broken"));
  EXPECT_THROW(Transceiver->Exchange(BytesOf({0x01})), EConnectionIOError);
  EXPECT_FALSE(Connection->IsOpen());
  EXPECT_EQ(Connection->CloseCount(), 1);
  auto lines = Texts(Log);
  EXPECT_EQ(lines.back(),
            "<err Не удалось выполнить чтение данных: [EConnectionIOError] [" + Cs + "] broken");

  Log.Clear();
  Connection->AddChunk(BytesOf({0x0A, 0x0B}));
  EXPECT_EQ(Transceiver->Exchange(BytesOf({0x01})), BytesOf({0x0A, 0x0B}));
  EXPECT_EQ(Connection->OpenCount(), 2);
  lines = Texts(Log);
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines[1], "---> Connection opened [" + Cs + "]");
}

TEST_F(MessageTransceiverTest, ReadTimeoutPassesUnchangedAndKeepsTheConnectionOpen) {
  Transceiver->SetStartOfPacketReadTimeout(20);
  Connection->AddChunk(BytesOf({0x01, 0x02}), 500ms);
  EXPECT_THROW(Transceiver->Exchange(BytesOf({0x01})), EReadTimeoutError);
  EXPECT_TRUE(Connection->IsOpen());
  EXPECT_EQ(
      Texts(Log).back().rfind("<err Не удалось выполнить чтение данных: [EReadTimeoutError]", 0),
      0u);
}

TEST_F(MessageTransceiverTest, OpenFailureIsLoggedAndPassedUnchanged) {
  Connection->FailNextOpen(EConnectionOpenError::Create("[" + Cs + "] cannot open"));
  try {
    Transceiver->Exchange(BytesOf({0x01}));
    FAIL() << "no exception";
  } catch (const EConnectionOpenError& e) {
    EXPECT_STREQ(e.ClassName(), "EConnectionOpenError");
    EXPECT_EQ(e.InnerException(), nullptr);
  }
  const auto lines = Texts(Log);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[1], "<err Не удалось выполнить отправку данных: [EConnectionOpenError] [" + Cs +
                          "] cannot open");
  // The lock was released: another thread can take it.
  std::thread other([&] { TDeviceConnectionLock guard(*Connection); });
  other.join();
}

TEST_F(MessageTransceiverTest, TimeoutsAreCopiedAtEveryOperation) {
  Connection->AddChunk(BytesOf({0x01, 0x02}));
  Connection->AddChunk(BytesOf({0x03}));
  Connection->AddChunk(BytesOf({0x04}));
  Transceiver->Exchange(BytesOf({0x09}));
  Transceiver->SetStartOfPacketReadTimeout(70);
  Transceiver->SetReadTimeout(80);
  Transceiver->SetWriteTimeout(90);
  Transceiver->Exchange(BytesOf({0x09}));
  EXPECT_EQ(Connection->WriteTimeoutHistory(), (std::vector<std::int32_t>{500, 90}));
  EXPECT_EQ(Connection->ReadTimeoutHistory(), (std::vector<std::int32_t>{200, 600, 70, 80, 80}));
}

TEST_F(MessageTransceiverTest, AutoCloseClosesAfterEachOperationWithoutLosingTheResponse) {
  Transceiver->SetAutoClose(true);
  Connection->AddChunk(BytesOf({0x31, 0x32}));
  EXPECT_EQ(Transceiver->Exchange(BytesOf({0x01})), BytesOf({0x31, 0x32}));
  EXPECT_FALSE(Connection->IsOpen());
  EXPECT_EQ(Connection->OpenCount(), 1);  // not closed between request and response
  EXPECT_EQ(Connection->CloseCount(), 1);

  Connection->FailNextWrite(EWriteTimeoutError::Create("t"));
  EXPECT_THROW(Transceiver->Send(BytesOf({0x01})), EWriteMessageTimeoutError);
  EXPECT_FALSE(Connection->IsOpen());
  EXPECT_EQ(Connection->CloseCount(), 2);
}

TEST_F(MessageTransceiverTest, NoConnectionGivesArgumentNullErrorBeforeAnyLine) {
  struct TCounter : IConnectionLogListener {
    void OnLogLine(IDeviceConnection*, std::uint8_t, std::string_view, TDateTime) override {
      ++Lines;
    }
    std::atomic<int> Lines{0};
  } counter;
  ConnectionLogger().AddListener(&counter);
  TTestTransceiver none(nullptr);
  none.SetLog(&Log);
  try {
    none.Exchange(BytesOf({0x01}));
    FAIL() << "no exception";
  } catch (const EArgumentNullError& e) {
    EXPECT_EQ(e.Message,
              "[TMessageTransceiver] Не задано значение свойства \"Connection\" (Connection=null)");
  }
  EXPECT_THROW(none.Send(BytesOf({0x01})), EArgumentNullError);
  EXPECT_THROW(none.Receive(), EArgumentNullError);
  try {
    TMessageSender sender;
    sender.SendPacked(nullptr, BytesOf({0x01}));
    FAIL() << "no exception";
  } catch (const EArgumentNullError& e) {
    EXPECT_EQ(e.Message,
              "[TDeviceMessenger] Не задано значение свойства \"Connection\" (Connection=null)");
  }
  TFixedLengthReceiver receiver;
  EXPECT_THROW(receiver.ReceivePacked(nullptr), EArgumentNullError);
  ConnectionLogger().RemoveListener(&counter);
  EXPECT_EQ(counter.Lines.load(), 0);
  EXPECT_TRUE(Log.Lines().empty());
}

TEST_F(MessageTransceiverTest, LinesOfAnotherConnectionNeverReachThisLog) {
  auto otherConnection = TScriptedConnection::New("COM3");  // same name, another object
  TTestTransceiver other(otherConnection);
  TSearchLog otherLog;
  other.SetLog(&otherLog);

  otherConnection->AddChunk(BytesOf({0x01, 0x02}));
  other.Exchange(BytesOf({0x07}));
  otherConnection->WriteLog(1, "direct line");
  EXPECT_TRUE(Log.Lines().empty());
  EXPECT_EQ(otherLog.Lines().size(), 6u);

  // A transceiver keeps only its own connection's lines, and only while it has a log.
  EXPECT_TRUE(Transceiver->KeepsLinesOf(Connection.get()));
  EXPECT_FALSE(Transceiver->KeepsLinesOf(otherConnection.get()));
  EXPECT_FALSE(Transceiver->KeepsLinesOf(nullptr));

  // Without a log the exchange works and its lines are neither kept nor made.
  Transceiver->SetLog(nullptr);
  EXPECT_FALSE(Transceiver->KeepsLinesOf(Connection.get()));
  EXPECT_FALSE(ConnectionLogger().IsKept(Connection.get()));
  EXPECT_TRUE(ConnectionLogger().IsKept(otherConnection.get()));
  Connection->AddChunk(BytesOf({0x03, 0x04}));
  EXPECT_EQ(Transceiver->Exchange(BytesOf({0x08})), BytesOf({0x03, 0x04}));
  // A failed read, too, passes on unchanged without its "<err" line.
  Transceiver->SetStartOfPacketReadTimeout(20);
  EXPECT_THROW(Transceiver->Exchange(BytesOf({0x09})), EReadTimeoutError);
  EXPECT_TRUE(Log.Lines().empty());
  EXPECT_EQ(otherLog.Lines().size(), 6u);
}

TEST_F(MessageTransceiverTest, DestroyedTransceiverNoLongerListens) {
  const std::size_t before = ConnectionLogger().ListenerCount();
  {
    TTestTransceiver temporary(Connection);
    EXPECT_EQ(ConnectionLogger().ListenerCount(), before + 1);
  }
  EXPECT_EQ(ConnectionLogger().ListenerCount(), before);
  EXPECT_FALSE(Connection->IsOpen());
}

// The lock is held across the whole exchange: a second thread's exchange on the same
// connection writes its request only after the first response has been read.
TEST_F(MessageTransceiverTest, SecondThreadsExchangeWaitsForTheFirst) {
  TTestTransceiver second(Connection);
  Connection->AddChunk(BytesOf({0xA1, 0xA2}), 60ms);
  Connection->AddChunk(BytesOf({0xB1, 0xB2}));
  Transceiver->SetStartOfPacketReadTimeout(5000);
  second.SetStartOfPacketReadTimeout(5000);

  TBytes firstResponse, secondResponse;
  std::thread first([&] { firstResponse = Transceiver->Exchange(BytesOf({0x01})); });
  ASSERT_TRUE(test::WaitFor([&] { return Connection->Writes().size() == 1; }));
  std::thread other([&] { secondResponse = second.Exchange(BytesOf({0x02})); });
  first.join();
  other.join();

  EXPECT_EQ(firstResponse, BytesOf({0xA1, 0xA2}));
  EXPECT_EQ(secondResponse, BytesOf({0xB1, 0xB2}));
  EXPECT_EQ(Connection->Events(), (std::vector<std::string>{"open", "write:01 ", "read:A1 A2 ",
                                                            "write:02 ", "read:B1 B2 "}));
}

TEST(MessageReceiverTest, NeverReadsMoreThanTheBuffer) {
  auto connection = TScriptedConnection::New();
  connection->Open();
  connection->AddChunk(TBytes(10000, 0x5A));
  TFixedLengthReceiver receiver;
  receiver.Length = 20000;
  const TBytes packet = receiver.ReceivePacked(connection.get());
  EXPECT_EQ(packet.size(), static_cast<std::size_t>(TDeviceMessenger::BufferSize));
  EXPECT_EQ(connection->ReadCountHistory().front(), TDeviceMessenger::BufferSize);

  // A receiver that reports more than its buffer holds is refused, not dumped past the end.
  receiver.Length = 4;
  receiver.ReportedExtra = 1;
  std::uint8_t small[4];
  EXPECT_THROW(receiver.ReceivePacked(connection.get(), small, 4), EUnexpectedReceiveError);
}

TEST(MessageReceiverTest, NothingReadGivesAnEmptyMessage) {
  auto connection = TScriptedConnection::New();
  connection->Open();
  TFixedLengthReceiver receiver;
  receiver.Length = 0;
  EXPECT_TRUE(receiver.ReceivePacked(connection.get()).empty());
}

TEST(DeviceMessengerTest, ConnectionOrTimeoutErrors) {
  TFixedLengthReceiver m;
  EXPECT_TRUE(m.IsConnectionOrTimeoutError(EConnectionOpenError::Create("")));
  EXPECT_TRUE(m.IsConnectionOrTimeoutError(EConnectionIOError::Create("")));
  EXPECT_TRUE(m.IsConnectionOrTimeoutError(EUnexpectedReceiveError::Create("")));
  EXPECT_TRUE(m.IsConnectionOrTimeoutError(ETimeoutError::Create("")));
  EXPECT_TRUE(m.IsConnectionOrTimeoutError(EReadSOHTimeoutError::Create("")));
  EXPECT_TRUE(m.IsConnectionOrTimeoutError(EWriteMessageTimeoutError::Create("")));
  EXPECT_FALSE(m.IsConnectionOrTimeoutError(EConnectionCloseError::Create("")));
  EXPECT_FALSE(m.IsConnectionOrTimeoutError(EConnectionError::Create("")));
  EXPECT_FALSE(m.IsConnectionOrTimeoutError(ECorruptMessageFrame::Create("")));
  EXPECT_FALSE(m.IsConnectionOrTimeoutError(ETimeoutSocketError::Create("")));
  EXPECT_FALSE(m.IsConnectionOrTimeoutError(ETimeoutException::Create("")));
  EXPECT_FALSE(m.IsConnectionOrTimeoutError(std::runtime_error("x")));
}

}  // namespace
}  // namespace probrix
