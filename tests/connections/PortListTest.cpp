#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "SerialTestPty.h"
#include "connections/uSerialPort.h"
#include "platform/platSerialPorts.h"
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

TEST(PortListTest, ClientPortsFollowTheLocalOnes) {
  std::vector<std::string> names = {"\\\\tsclient\\COM3", "COM10", "\\\\tsclient\\COM1", "COM2"};
  SortPortNames(names);
  EXPECT_EQ(names, (std::vector<std::string>{"COM2", "COM10", "\\\\tsclient\\COM1",
                                             "\\\\tsclient\\COM3"}));
}

TEST(PortListTest, SortingMixedNamesStaysWithinTheList) {
  std::vector<std::string> names = {"COMB", "coma1", "COMA", "COM1", "COM1A", "com5", "COM",
                                    "",     "x",     "COM0", "9",    "COM10", "comb2"};
  const auto result = Sorted(names);
  EXPECT_EQ(result.size(), names.size());
  EXPECT_TRUE(std::is_permutation(result.begin(), result.end(), names.begin()));
}

void Touch(const fs::path& P, const std::string& Text = "") {
  fs::create_directories(P.parent_path());
  std::ofstream(P) << Text;
}

TEST(PortListTest, SysfsEntriesWithRealDevicesAndExtraNames) {
  test::TTempDir sys;
  const auto root = sys.Path() / "tty";
  const auto drivers = sys.Path() / "drivers";
  fs::create_directories(drivers / "serial8250");
  fs::create_directories(drivers / "ftdi_sio");
  fs::create_directories(root / "tty0");  // a virtual console: no device
  fs::create_directories(root / "ttyS0" / "device");
  fs::create_directory_symlink(drivers / "serial8250", root / "ttyS0" / "device" / "driver");
  Touch(root / "ttyS0" / "type", "0\n");  // no UART behind it
  fs::create_directories(root / "ttyS1" / "device");
  fs::create_directory_symlink(drivers / "serial8250", root / "ttyS1" / "device" / "driver");
  Touch(root / "ttyS1" / "type", "4\n");
  fs::create_directories(root / "ttyUSB10" / "device");
  fs::create_directory_symlink(drivers / "ftdi_sio", root / "ttyUSB10" / "device" / "driver");
  fs::create_directories(root / "ttyUSB2" / "device");

  auto names = platform::EnumerateSerialPortNames(root, "/tmp/vport0::ttyUSB2:pts5");
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names,
            (std::vector<std::string>{"/tmp/vport0", "pts5", "ttyS1", "ttyUSB10", "ttyUSB2"}));

  EXPECT_TRUE(platform::EnumerateSerialPortNames(sys.Path() / "missing", nullptr).empty());
  EXPECT_EQ(platform::EnumerateSerialPortNames(sys.Path() / "missing", "a:b"),
            (std::vector<std::string>{"a", "b"}));
}

TEST(PortListTest, NamesOfOneDeviceMakeOneRowInTheFirstSpelling) {
  test::TTestPty pty;
  test::TTempDir dir;
  const fs::path link = dir.Path() / "vport";
  fs::create_symlink(pty.SlavePath(), link);
  const std::string shortPath = pty.SlavePath().substr(std::string("/dev/").size());  // pts/N
  const std::string extra = link.string() + ":" + pty.SlavePath() + ":" + shortPath +
                            ":ttyProbrixGone:/dev/ttyProbrixGone:/dev/../dev/ttyProbrixGone";
  EXPECT_EQ(platform::EnumerateSerialPortNames(dir.Path() / "missing", extra.c_str()),
            (std::vector<std::string>{link.string(), "ttyProbrixGone"}));
}

// A sysfs tree as the kernel lays it out for a USB serial adapter (ttyUSB0), a USB modem
// class device (ttyACM0) and a built-in port (ttyS0), with udev's by-id links.
class PortDescriptionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const fs::path usb = Root.Path() / "devices/pci0000:00/0000:00:14.0/usb1";
    Touch(usb / "1-2/idVendor", "0403\n");
    Touch(usb / "1-2/manufacturer", "FTDI\n");
    Touch(usb / "1-2/product", "FT232R USB UART\n");
    Touch(usb / "1-2/serial", "A50285BI\n");
    fs::create_directories(usb / "1-2/1-2:1.0/ttyUSB0");
    Touch(usb / "1-3/idVendor", "2341\n");
    Touch(usb / "1-3/product", "Arduino\x01 Uno  \n");  // a control character from the device
    Touch(usb / "1-3/serial", "\n");
    fs::create_directories(usb / "1-3/1-3:1.0");
    fs::create_directories(Root.Path() / "devices/platform/serial8250");
    Link("ttyUSB0", "../../../devices/pci0000:00/0000:00:14.0/usb1/1-2/1-2:1.0/ttyUSB0");
    Link("ttyACM0", "../../../devices/pci0000:00/0000:00:14.0/usb1/1-3/1-3:1.0");
    Link("ttyS0", "../../../devices/platform/serial8250");
    fs::create_directories(ById);
    fs::create_symlink("../../ttyUSB0", ById / "usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0");
    fs::create_symlink("../../ttyS9", ById / "pci-other-port");
  }
  void Link(const std::string& Tty, const std::string& Device) {
    fs::create_directories(Tty_ / Tty);
    fs::create_directory_symlink(Device, Tty_ / Tty / "device");
  }
  TSerialPortDescription Describe(const std::string& Name) const {
    return platform::DescribeSerialPort(Name, Tty_, ById);
  }

  test::TTempDir Root;
  fs::path Tty_ = Root.Path() / "class/tty";
  fs::path ById = Root.Path() / "by-id";
};

TEST_F(PortDescriptionTest, UsbAdaptersAreDescribedOtherPortsNot) {
  const auto ftdi = Describe("ttyUSB0");
  EXPECT_EQ(ftdi.Manufacturer, "FTDI");
  EXPECT_EQ(ftdi.Product, "FT232R USB UART");
  EXPECT_EQ(ftdi.SerialNumber, "A50285BI");
  EXPECT_EQ(ftdi.ById, "usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0");
  EXPECT_EQ(PortDescriptionText(ftdi),
            "FTDI FT232R USB UART, серийный номер A50285BI, "
            "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0");
  // A path to the device is described like its name.
  EXPECT_EQ(Describe("/dev/ttyUSB0").SerialNumber, "A50285BI");

  const auto acm = Describe("ttyACM0");
  EXPECT_EQ(acm.Manufacturer, "");
  EXPECT_EQ(acm.Product, "Arduino  Uno");
  EXPECT_EQ(acm.SerialNumber, "");
  EXPECT_EQ(acm.ById, "");
  EXPECT_EQ(PortDescriptionText(acm), "Arduino  Uno");

  for (const std::string plain : {"ttyS0", "ttyProbrixNone", "/tmp/vport0", ""}) {
    EXPECT_TRUE(Describe(plain).Empty()) << plain;
    EXPECT_EQ(PortDescriptionText(Describe(plain)), "") << plain;
  }
}

TEST(PortListTest, DescriptionTextNamesTheMakerOnce) {
  TSerialPortDescription d;
  d.Manufacturer = "Silicon Labs";
  d.Product = "Silicon Labs CP2102 USB to UART Bridge";
  EXPECT_EQ(PortDescriptionText(d), "Silicon Labs CP2102 USB to UART Bridge");
  d.Product.clear();
  d.SerialNumber = "0001";
  EXPECT_EQ(PortDescriptionText(d), "Silicon Labs, серийный номер 0001");
}

TEST(PortListTest, GetPortNamesAddsExtraPortsAndSorts) {
  ::setenv("PROBRIX_EXTRA_PORTS", "ttyProbrixV10:ttyProbrixV2", 1);
  std::vector<std::string> list = {"stale"};
  TSerialPort::GetPortNames(list);
  ::unsetenv("PROBRIX_EXTRA_PORTS");

  EXPECT_EQ(std::count(list.begin(), list.end(), "stale"), 0);
  const auto v2 = std::find(list.begin(), list.end(), "ttyProbrixV2");
  const auto v10 = std::find(list.begin(), list.end(), "ttyProbrixV10");
  ASSERT_NE(v2, list.end());
  ASSERT_NE(v10, list.end());
  EXPECT_LT(v2, v10);
  for (std::size_t i = 1; i < list.size(); ++i)
    EXPECT_LE(ComparePortNames(list[i - 1], list[i]), 0) << list[i - 1] << " " << list[i];
}

}  // namespace
}  // namespace probrix
