#include <gtest/gtest.h>

#include "search/ioOrvatDevicesDefs.h"

namespace probrix {
namespace {

TEST(DeviceDefs, TypeCodeSixDependsOnVersion) {
  EXPECT_EQ(DeviceTypeName(6, 490), "R2213");
  EXPECT_EQ(DeviceTypeName(6, 491), "R2213");
  EXPECT_EQ(DeviceTypeName(6, 421), "R221L9");
  EXPECT_EQ(DeviceTypeName(6, 411), "R221L");
  EXPECT_EQ(DeviceTypeName(6, 412), "R221Y");
  EXPECT_EQ(DeviceTypeName(6, 413), "Неопределен");
  EXPECT_EQ(DeviceTypeName(6, 419), "Неопределен");
  EXPECT_EQ(DeviceKind(6, 65535), 1);
  EXPECT_EQ(FirmwareVersionText(6, 65535), "655.35");
}

TEST(DeviceDefs, FixedCodes) {
  EXPECT_EQ(DeviceTypeName(62, 0), "R2213NK5");
  EXPECT_EQ(DeviceTypeName(62, 65535), "R2213NK5");
  EXPECT_EQ(DeviceTypeName(0, 100), "Неопределен");
  EXPECT_EQ(DeviceTypeName(255, 100), "Неопределен");
  EXPECT_EQ(DeviceTypeName(8, 0), "R3364");
  EXPECT_EQ(DeviceTypeName(16, 0), "R4748");
  EXPECT_EQ(DeviceTypeName(81, 0), "R3329");
  EXPECT_EQ(DeviceTypeName(83, 0), "R3386");
  EXPECT_EQ(DeviceTypeName(85, 0), "R3375");
  EXPECT_EQ(DeviceTypeName(86, 0), "R3397");
  EXPECT_EQ(DeviceTypeName(106, 0), "R4352");
  EXPECT_EQ(DeviceTypeName(206, 0), "R7391");
}

TEST(DeviceDefs, FirmwareVersionTexts) {
  EXPECT_EQ(FirmwareVersionText(16, 215), "2.15");
  EXPECT_EQ(FirmwareVersionText(16, 305), "3.5");
  EXPECT_EQ(FirmwareVersionText(16, 1010), "10.10");
  EXPECT_EQ(FirmwareVersionText(16, 7), "0.7");
  EXPECT_EQ(FirmwareVersionText(8, 0x0203), "2.3");
  EXPECT_EQ(FirmwareVersionText(81, 0x0A0F), "10.15");
  EXPECT_EQ(FirmwareVersionText(86, 0xFFFF), "255.255");
}

}  // namespace
}  // namespace probrix
