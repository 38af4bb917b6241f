// The address-list grammar as the window uses it when a search starts.

#include <gtest/gtest.h>

#include <vector>

#include "foundation/appExceptions.h"
#include "search/uSearchParams.h"

namespace probrix {
namespace {

using Bytes = std::vector<std::uint8_t>;

TEST(AddressList, ItemsRangesAndSeparators) {
  EXPECT_EQ(ParseAddressList("1, 5-7,3"), (Bytes{1, 5, 6, 7, 3}));
  EXPECT_EQ(ParseAddressList("1 2"), (Bytes{1, 2}));
  EXPECT_EQ(ParseAddressList(""), Bytes{});
  EXPECT_EQ(ParseAddressList("7-5"), Bytes{});
  EXPECT_EQ(ParseAddressList("5--7"), (Bytes{5, 6, 7}));
  EXPECT_EQ(ParseAddressList("5---7"), (Bytes{5, 6, 7}));
  EXPECT_EQ(ParseAddressList("2,2"), (Bytes{2, 2}));
}

TEST(AddressList, ValuesPastTheLastAddressAreRefusedNotWrapped) {
  EXPECT_THROW(ParseAddressList("300"), EMathInvalidArgument);
  EXPECT_THROW(ParseAddressList("250-260"), EMathInvalidArgument);
  EXPECT_EQ(ParseAddressList("250-255"), (Bytes{250, 251, 252, 253, 254, 255}));
}

TEST(AddressList, BadItemsFailWithTheItemAndTheList) {
  try {
    ParseAddressList("3, 1-x");
    FAIL() << "no error";
  } catch (const EMathInvalidArgument& e) {
    EXPECT_STREQ(e.ClassName(), "EInvalidArgument");
    EXPECT_EQ(e.Message, "Задан ошибочный адрес или диапазон (1-x) в списке адресов (3, 1-x)");
  }
  EXPECT_THROW(ParseAddressList("-5"), EMathInvalidArgument);
  EXPECT_THROW(ParseAddressList("a"), EMathInvalidArgument);
}

}  // namespace
}  // namespace probrix
