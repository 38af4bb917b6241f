#include <gtest/gtest.h>

#include <thread>

#include "foundation/ioExceptions.h"
#include "support/ScriptedConnection.h"

// The protocol receivers' tests rely on these rules of the scripted connection.

namespace probrix {
namespace {

using test::TScriptedConnection;
using namespace std::chrono_literals;

TEST(ScriptedConnectionTest, ChunksArePartlyDeliveredAndDelaysCarryOverTimedOutReads) {
  auto c = TScriptedConnection::New();
  c->Open();
  c->AddChunk(BytesOf({1, 2, 3}));
  c->AddChunk(BytesOf({4}), 80ms);
  std::uint8_t buf[8];
  c->SetReadTimeout(30);
  EXPECT_EQ(c->Read(buf, 2), 2);
  EXPECT_EQ(c->Read(buf, 8), 1);  // the rest of the first chunk, at once
  EXPECT_EQ(buf[0], 3);
  // 80 ms delay against 30 ms reads: two timeouts use up 60 ms, the third read gets the byte.
  EXPECT_THROW(c->Read(buf, 8), EReadTimeoutError);
  EXPECT_THROW(c->Read(buf, 8), EReadTimeoutError);
  EXPECT_EQ(c->Read(buf, 8), 1);
  EXPECT_EQ(buf[0], 4);
  EXPECT_EQ(c->ReadCountHistory(), (std::vector<std::int32_t>{2, 8, 8, 8, 8}));
}

TEST(ScriptedConnectionTest, FailuresAndClosedState) {
  auto c = TScriptedConnection::New("h", TConnectionType::ctTcp);
  EXPECT_EQ(c->InfiniteTimeout(), 0);
  EXPECT_EQ(c->ConnectionString(), "TcpAddr=h;TcpPort=502");
  std::uint8_t buf[4];
  EXPECT_THROW(c->Read(buf, 4), EConnectionIOError);
  EXPECT_THROW(c->Write(buf, 4), EConnectionIOError);

  c->FailNextOpen(EConnectionOpenError::Create("x"));
  EXPECT_THROW(c->Open(), EConnectionOpenError);
  EXPECT_FALSE(c->IsOpen());
  c->Open();
  c->AddReadFailure(EConnectionIOError::Create("gone"));
  try {
    c->Read(buf, 4);
    FAIL() << "no exception";
  } catch (const EConnectionIOError& e) {
    EXPECT_EQ(e.Message, "gone");
  }
  c->Close();
  c->Close();
  EXPECT_EQ(c->CloseCount(), 1);
  EXPECT_EQ(c->Events(), (std::vector<std::string>{"read-failed", "write-failed", "open-failed",
                                                   "open", "read-failed", "close"}));
}

TEST(ScriptedConnectionTest, InfiniteTimeoutWaitsForAChunkAddedLater) {
  auto c = TScriptedConnection::New();
  c->Open();
  c->SetReadTimeout(c->InfiniteTimeout());
  std::thread feeder([&] {
    std::this_thread::sleep_for(10ms);
    c->AddChunk(BytesOf({9}));
  });
  std::uint8_t buf[1];
  EXPECT_EQ(c->Read(buf, 1), 1);
  EXPECT_EQ(buf[0], 9);
  feeder.join();
}

}  // namespace
}  // namespace probrix
