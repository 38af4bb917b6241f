#pragma once

// The computer's serial ports: their names, the device file a name opens, and what the
// system knows about the USB adapter behind a port.

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace probrix::platform {

// The device file of a port name: a name that begins with "/" or "./" is a path, any other
// opens /dev/NAME.
std::string SerialDevicePathOf(std::string_view Name);

// The form under which two port names are one port name: the name itself where names are
// case-sensitive paths (Linux: /x/port and /x/PORT are two devices), its upper-case form where
// they are not (Windows: COM3 and com3). Two spellings of one device by different paths
// (ttyS0 and /dev/ttyS0, a symlink) are not one name: SerialDeviceKey tells those apart.
std::string SerialPortNameKey(std::string_view Name);

// Whether A and B are one port name, by the rule of SerialPortNameKey.
inline bool SameSerialPortName(std::string_view A, std::string_view B) {
  return SerialPortNameKey(A) == SerialPortNameKey(B);
}

// What a port name stands for: the number of the character device it opens, else the path it
// resolves to (the device may be missing yet), so that two spellings (ttyS0 and /dev/ttyS0, a
// symlink and its target) give the same key.
std::string SerialDeviceKey(std::string_view Name);

// The serial ports of the computer: the tty entries under SysClassTty that stand for a real
// device (a serial8250 port with an unknown UART type does not), then the names of Extra
// (colon-separated). Names that open the same device (ttyS0 and /dev/ttyS0, a symlink and its
// target) make one entry, in the first spelling. Not sorted.
std::vector<std::string> EnumerateSerialPortNames(const std::filesystem::path& SysClassTty,
                                                  const char* Extra);

// What identifies the USB adapter behind a port; all empty for other ports.
struct TSerialPortDescription {
  std::string Manufacturer;
  std::string Product;
  std::string SerialNumber;
  std::string ById;  // its name in the by-id folder, e.g. usb-FTDI_FT232R_USB_UART_A50-if00-port0
  bool Empty() const {
    return Manufacturer.empty() && Product.empty() && SerialNumber.empty() && ById.empty();
  }
};

// Reads the description of port Name from the sysfs tty folder (/sys/class/tty) and the
// by-id folder (/dev/serial/by-id). A name given as a path is looked up by the device it
// leads to.
TSerialPortDescription DescribeSerialPort(std::string_view Name,
                                          const std::filesystem::path& SysClassTty,
                                          const std::filesystem::path& ByIdFolder);

// The computer's serial ports as the system lists them: EnumerateSerialPortNames of
// /sys/class/tty with the names of the environment variable PROBRIX_EXTRA_PORTS.
std::vector<std::string> SystemSerialPortNames();

// DescribeSerialPort of the system's folders.
TSerialPortDescription DescribeSystemSerialPort(std::string_view Name);

// The by-id name of a description as a path the port can be opened by
// (/dev/serial/by-id/usb-FTDI_...); empty when it has none.
std::string SerialPortByIdPath(const TSerialPortDescription& Description);

}  // namespace probrix::platform
