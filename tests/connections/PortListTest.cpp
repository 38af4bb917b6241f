#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "connections/uSerialPort.h"
#include "platform/platSerialDevice.h"
#include "support/TestSupport.h"

namespace probrix {
namespace {

namespace fs = std::filesystem;

std::vector<std::string> Sorted(std::vector<std::string> Names) {
  std::stable_sort(Names.begin(), Names.end(), [](const std::string& A, const std::string& B) {
    return ComparePortNames(A, B) < 0;
  });
  return Names;
}

TEST(PortListTest, ComNamesOrderByNumberOthersNaturally) {
  EXPECT_EQ(Sorted({"COM10", "USBSER", "COM2", "COM1"}),
            (std::vector<std::string>{"COM1", "COM2", "COM10", "USBSER"}));
  EXPECT_EQ(Sorted({"ttyUSB10", "ttyS1", "ttyUSB2", "ttyACM0"}),
            (std::vector<std::string>{"ttyACM0", "ttyS1", "ttyUSB2", "ttyUSB10"}));

  EXPECT_LT(ComparePortNames("COM2", "COM10"), 0);
  EXPECT_GT(ComparePortNames("COM10", "COM9"), 0);
  EXPECT_EQ(ComparePortNames("COM1", "COM01"), 0);
  EXPECT_EQ(ComparePortNames("COMA", "COMB"), 0);  // both read as 0
  EXPECT_LT(ComparePortNames("COMA", "COM1"), 0);
  // Other names: case does not count, digit runs compare as numbers.
  EXPECT_EQ(ComparePortNames("ttyusb2", "TTYUSB2"), 0);
  EXPECT_LT(ComparePortNames("ttyUSB2", "ttyUSB10"), 0);
  EXPECT_LT(ComparePortNames("ttyUSB", "ttyUSB0"), 0);
  EXPECT_LT(ComparePortNames("dev1x9", "dev1x10"), 0);
  EXPECT_LT(ComparePortNames("ttyUSB007", "ttyUSB10"), 0);
  EXPECT_GT(ComparePortNames("ttyS99999999999999999999", "ttyS100"), 0);
}

TEST(PortListTest, SortingMixedNamesStaysWithinTheList) {
  std::vector<std::string> Names = {"COMB", "coma1", "COMA", "COM1", "COM1A", "com5", "COM",
                                    "",     "x",     "COM0", "9",    "COM10", "comb2"};
  const auto Result = Sorted(Names);
  EXPECT_EQ(Result.size(), Names.size());
  EXPECT_TRUE(std::is_permutation(Result.begin(), Result.end(), Names.begin()));
}

void Touch(const fs::path& P, const std::string& Text = "") {
  fs::create_directories(P.parent_path());
  std::ofstream(P) << Text;
}

TEST(PortListTest, SysfsEntriesWithRealDevicesAndExtraNames) {
  test::TTempDir Sys;
  const auto Root = Sys.Path() / "tty";
  const auto Drivers = Sys.Path() / "drivers";
  fs::create_directories(Drivers / "serial8250");
  fs::create_directories(Drivers / "ftdi_sio");
  fs::create_directories(Root / "tty0");  // a virtual console: no device
  fs::create_directories(Root / "ttyS0" / "device");
  fs::create_directory_symlink(Drivers / "serial8250", Root / "ttyS0" / "device" / "driver");
  Touch(Root / "ttyS0" / "type", "0\n");  // no UART behind it
  fs::create_directories(Root / "ttyS1" / "device");
  fs::create_directory_symlink(Drivers / "serial8250", Root / "ttyS1" / "device" / "driver");
  Touch(Root / "ttyS1" / "type", "4\n");
  fs::create_directories(Root / "ttyUSB10" / "device");
  fs::create_directory_symlink(Drivers / "ftdi_sio", Root / "ttyUSB10" / "device" / "driver");
  fs::create_directories(Root / "ttyUSB2" / "device");

  auto Names = EnumerateSerialPortNames(Root, "/tmp/vport0::ttyUSB2:pts5");
  std::sort(Names.begin(), Names.end());
  EXPECT_EQ(Names,
            (std::vector<std::string>{"/tmp/vport0", "pts5", "ttyS1", "ttyUSB10", "ttyUSB2"}));

  EXPECT_TRUE(EnumerateSerialPortNames(Sys.Path() / "missing", nullptr).empty());
  EXPECT_EQ(EnumerateSerialPortNames(Sys.Path() / "missing", "a:b"),
            (std::vector<std::string>{"a", "b"}));
}

TEST(PortListTest, GetPortNamesAddsExtraPortsAndSorts) {
  ::setenv("PROBRIX_EXTRA_PORTS", "ttyProbrixV10:ttyProbrixV2", 1);
  std::vector<std::string> List = {"stale"};
  TSerialPort::GetPortNames(List);
  ::unsetenv("PROBRIX_EXTRA_PORTS");

  EXPECT_EQ(std::count(List.begin(), List.end(), "stale"), 0);
  const auto V2 = std::find(List.begin(), List.end(), "ttyProbrixV2");
  const auto V10 = std::find(List.begin(), List.end(), "ttyProbrixV10");
  ASSERT_NE(V2, List.end());
  ASSERT_NE(V10, List.end());
  EXPECT_LT(V2, V10);
  for (std::size_t I = 1; I < List.size(); ++I)
    EXPECT_LE(ComparePortNames(List[I - 1], List[I]), 0) << List[I - 1] << " " << List[I];
}

}  // namespace
}  // namespace probrix
