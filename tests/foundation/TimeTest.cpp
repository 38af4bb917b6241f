#include <gtest/gtest.h>

#include <thread>

#include "foundation/appDateTime.h"
#include "foundation/utilityStopwatch.h"
#include "foundation/utilitySystemTime.h"

namespace probrix {
namespace {

void BusyWaitMs(int Ms) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(Ms);
  while (std::chrono::steady_clock::now() < end) std::this_thread::yield();
}

TEST(Stopwatch, AccumulatesOverStartStopCycles) {
  TStopwatch sw;
  EXPECT_EQ(sw.ElapsedTicks(), 0);
  EXPECT_EQ(sw.ElapsedMilliseconds(), 0);
  EXPECT_FALSE(sw.IsRunning());

  sw.Start();
  BusyWaitMs(10);
  sw.Start();  // a second start does not restart the interval
  BusyWaitMs(5);
  sw.Stop();
  const std::int64_t first = sw.ElapsedTicks();
  EXPECT_GE(first, 15 * TStopwatch::Frequency / 1000);

  BusyWaitMs(10);  // stopped: nothing accumulates
  EXPECT_EQ(sw.ElapsedTicks(), first);

  sw.Start();
  BusyWaitMs(20);
  const std::int64_t running = sw.ElapsedTicks();
  EXPECT_TRUE(sw.IsRunning());
  EXPECT_GE(running, first + 20 * TStopwatch::Frequency / 1000);
  EXPECT_GE(sw.ElapsedTicks(), running);  // grows while running
  sw.Stop();
  EXPECT_GE(sw.ElapsedMilliseconds(), 35);

  sw.Reset();
  EXPECT_EQ(sw.ElapsedTicks(), 0);
  EXPECT_FALSE(sw.IsRunning());
  sw.Restart();
  EXPECT_TRUE(sw.IsRunning());
}

TEST(DateTime, EncodeDecodeAndFormats) {
  const TDateTime t = EncodeDateTime(2026, 12, 7, 9, 5, 3, 7);
  EXPECT_EQ(FormatDateTime("hh:nn:ss.zzz", t), "09:05:03.007");
  EXPECT_EQ(FormatDateTime("HH:NN:SS.ZZZ ", t), "09:05:03.007 ");
  EXPECT_EQ(FormatDateTime("hh:nn:ss:zzz ", t), "09:05:03:007 ");
  EXPECT_EQ(FormatDateTime("hhnnss_zzz", t), "090503_007");
  EXPECT_EQ(FormatDateTime("YYYY_MM_DD", t), "2026_12_07");
  EXPECT_EQ(FormatDateTime("yyyy-mm-dd 'at' hh", t), "2026-12-07 at 09");

  EXPECT_DOUBLE_EQ(EncodeDateTime(1899, 12, 30, 0, 0, 0, 0).Value, 0.0);
  EXPECT_DOUBLE_EQ(EncodeDateTime(1900, 1, 1, 12, 0, 0, 0).Value, 2.5);
  const TDateTimeParts p = DecodeDateTime(EncodeDateTime(2024, 2, 29, 23, 59, 59, 999));
  EXPECT_EQ(p.Year, 2024);
  EXPECT_EQ(p.Month, 2);
  EXPECT_EQ(p.Day, 29);
  EXPECT_EQ(p.Hour, 23);
  EXPECT_EQ(p.Minute, 59);
  EXPECT_EQ(p.Second, 59);
  EXPECT_EQ(p.MilliSecond, 999);
  // A millisecond later is the next day.
  const TDateTime next(EncodeDateTime(2024, 2, 29, 23, 59, 59, 999).Value + 1 / MSecsPerDay);
  EXPECT_EQ(FormatDateTime("YYYY_MM_DD hh:nn:ss.zzz", next), "2024_03_01 00:00:00.000");
}

TEST(SystemTime, IsSharedAndNeverDecreases) {
  TSystemTime& clock = SystemTime();
  EXPECT_EQ(&clock, &SystemTime());
  TDateTime previous = clock.Now();
  for (int i = 0; i < 1000; ++i) {
    const TDateTime now = clock.Now();
    EXPECT_GE(now.Value, previous.Value);
    previous = now;
  }
  // The clock follows the wall clock it started from (within a generous margin).
  EXPECT_NEAR(clock.Now().Value, NowDateTime().Value, 5.0 / 86400.0);
}

}  // namespace
}  // namespace probrix
