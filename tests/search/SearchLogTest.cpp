#include <gtest/gtest.h>

#include "foundation/appExceptions.h"
#include "search/uSearchLog.h"

namespace probrix {
namespace {

TEST(SearchLog, LinesCarryTheirTimeStamp) {
  TSearchLog log;
  log.Add("abc", EncodeDateTime(2026, 12, 7, 17, 30, 45, 219));
  log.AddFmt("Попытка %d из %d", {1, 3}, EncodeDateTime(2026, 12, 7, 9, 5, 3, 7));
  ASSERT_EQ(log.Lines().size(), 2u);
  EXPECT_EQ(log.Lines()[0], "17:30:45.219 abc");
  EXPECT_EQ(log.Lines()[1], "09:05:03.007 Попытка 1 из 3");
  EXPECT_EQ(log.Text(), "17:30:45.219 abc\r\n09:05:03.007 Попытка 1 из 3\r\n");
  log.Clear();
  EXPECT_EQ(log.Text(), "");
}

TEST(SearchLog, FailingFormatAddsNothing) {
  TSearchLog log;
  log.Add("first", TDateTime(1.5));
  try {
    log.AddFmt("%d", {"text"}, TDateTime(1.5));
    FAIL() << "no exception";
  } catch (const ELogStringFormatError& e) {
    EXPECT_EQ(e.Message, "Ошибка форматирования лог-строки (\"%d\")");
    ASSERT_NE(e.InnerException(), nullptr);
    EXPECT_STREQ(e.InnerException()->ClassName(), "EConvertError");
  }
  EXPECT_EQ(log.Lines().size(), 1u);
}

}  // namespace
}  // namespace probrix
