#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "foundation/ioExceptions.h"
#include "search/uFinderEngineOrvatAscii.h"
#include "search/uSearchLog.h"
#include "support/ScriptedConnection.h"

namespace probrix {
namespace {

using namespace std::chrono_literals;
using test::TScriptedConnection;

TBytes Text(const std::string& S) { return TBytes(S.begin(), S.end()); }

std::vector<std::string> Texts(const TSearchLog& Log) {
  std::vector<std::string> texts;
  for (const std::string& line : Log.Lines()) texts.push_back(line.substr(13));
  return texts;
}

class OrvatAsciiSearcher : public ::testing::Test {
 protected:
  OrvatAsciiSearcher() : Connection(TScriptedConnection::New("COM6")), Searcher(Connection) {
    Searcher.SetLog(&Log);
    Searcher.SetReadTimeout(60);
    Searcher.SetStartOfPacketReadTimeout(10);
    Searcher.SetRequestRetryCount(3);
  }

  std::shared_ptr<TScriptedConnection> Connection;
  TOrvatAsciiDeviceSearcher Searcher;
  TSearchLog Log;
};

TEST_F(OrvatAsciiSearcher, FindsTheTransmittingDeviceByItsFirstCharacter) {
  Connection->AddChunk(Text("A234567890ABC\r\n"));
  TDeviceInfo info;
  info.DeviceType = 9;
  Searcher.Search(95, info);
  TDeviceInfo expected;
  expected.Address = 65;
  EXPECT_EQ(info, expected);  // only the address is filled
  EXPECT_TRUE(Connection->Writes().empty());

  const std::vector<std::string> texts = Texts(Log);
  ASSERT_GE(texts.size(), 3u);
  EXPECT_EQ(texts.front(), "Попытка поиска прибора по протоколу OrvatASCII...");
  EXPECT_EQ(texts[texts.size() - 2],
            "<a-- (size=13) 41 32 33 34 35 36 37 38 39 30 41 42 43  (last ascii message body)");
  EXPECT_EQ(texts.back(), "Найден прибор по протоколу OrvatASCII с адресом 65");
  EXPECT_EQ(Connection->ReadTimeoutHistory().front(), 60);  // the searcher's read timeout
}

TEST_F(OrvatAsciiSearcher, HighBitOfTheAddressCharacterIsIgnoredAndTheLastLineCounts) {
  TBytes lines = Text("B234567890ABC\r\n");
  lines += TBytes{0xC1};
  lines += Text("234567890ABC\r\n");
  Connection->AddChunk(lines);
  TDeviceInfo info;
  Searcher.Search(0, info);
  EXPECT_EQ(info.Address, 65);
}

TEST_F(OrvatAsciiSearcher, ListeningFromMidLineSkipsOnlyTheFirstShortLine) {
  // Listening began during a transmission: the first line heard is the tail of one under way.
  Connection->AddChunk(Text("890ABC\r\n"));
  Connection->AddChunk(Text("C234567890ABC\r\n"), 1ms);
  TDeviceInfo info;
  Searcher.Search(0, info);
  EXPECT_EQ(info.Address, 'C');
  int skipped = 0;
  for (const std::string& text : Texts(Log))
    if (text.rfind("<skp (size=8) 38 39 30 41 42 43 0D 0A ", 0) == 0) ++skipped;
  EXPECT_EQ(skipped, 1);

  // A second short line of the same listen is not such a tail: the attempt fails with it, once.
  Connection->AddChunk(Text("890ABC\r\n"));
  Connection->AddChunk(Text("12345\r\n"), 1ms);
  Connection->AddChunk(Text("D234567890ABC\r\n"), 1ms);
  try {
    Searcher.Search(0, info);
    FAIL() << "found a device";
  } catch (const ECorruptMessageFrame& e) {
    EXPECT_EQ(e.Message,
              "Тело сообщения ORVATBUS ASCII не содержит достаточного количества байт. Кол-во "
              "байт в теле сообщения: 5 (ожидаемая длина тела сообщения: 13 байт)");
  }
  EXPECT_EQ(Connection->PendingSteps(), 1u);  // no second attempt
  EXPECT_EQ(Texts(Log).back().rfind("Ошибка поиска прибора прибора по протоколу OrvatASCII: ", 0),
            0u);
}

TEST_F(OrvatAsciiSearcher, SilenceIsOneReadTimeout) {
  Searcher.SetReadTimeout(30);
  TDeviceInfo info;
  EXPECT_THROW(Searcher.Search(0, info), EReadTimeoutError);
  int attempts = 0;
  for (const std::string& text : Texts(Log))
    if (text == "Попытка поиска прибора по протоколу OrvatASCII...") ++attempts;
  EXPECT_EQ(attempts, 1);
  EXPECT_NE(Texts(Log).back().find("Не получены символы конца сообщения (CRLF=0x0D0A)"),
            std::string::npos);
}

}  // namespace
}  // namespace probrix
