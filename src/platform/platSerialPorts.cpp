#include "platform/platSerialPorts.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <system_error>

namespace probrix::platform {

namespace fs = std::filesystem;

namespace {

// The first line of a sysfs attribute, at most MaxLength bytes, control characters (which a
// device may put into its strings) turned into blanks, surrounding blanks removed.
std::string ReadAttribute(const fs::path& File, std::size_t MaxLength = 256) {
  std::ifstream in(File, std::ios::binary);
  std::string text(MaxLength, '\0');
  in.read(text.data(), static_cast<std::streamsize>(MaxLength));
  text.resize(static_cast<std::size_t>(in.gcount()));
  if (const auto eol = text.find('\n'); eol != std::string::npos) text.resize(eol);
  for (char& c : text)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = ' ';
  const auto first = text.find_first_not_of(' ');
  if (first == std::string::npos) return {};
  return text.substr(first, text.find_last_not_of(' ') - first + 1);
}

// The tty name of a port: a plain name itself, for a path (or a name with a folder in it) the
// device file it leads to, so that a name never reaches outside the tty folder.
std::string TtyNameOf(std::string_view Name) {
  if (Name.find('/') == std::string_view::npos) return std::string(Name);
  const std::string path = SerialDevicePathOf(Name);
  std::error_code ec;
  const fs::path real = fs::canonical(path, ec);
  return (ec ? fs::path(path) : real).filename().string();
}

}  // namespace

std::string SerialDevicePathOf(std::string_view Name) {
  if (Name.starts_with("/") || Name.starts_with("./")) return std::string(Name);
  return "/dev/" + std::string(Name);
}

std::string SerialPortNameKey(std::string_view Name) { return std::string(Name); }

std::string SerialDeviceKey(std::string_view Name) {
  const std::string path = SerialDevicePathOf(Name);
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0 && S_ISCHR(st.st_mode))
    return "char:" + std::to_string(st.st_rdev);
  std::error_code ec;
  const fs::path real = fs::weakly_canonical(path, ec);
  return ec ? path : real.string();
}

std::vector<std::string> EnumerateSerialPortNames(const fs::path& SysClassTty, const char* Extra) {
  std::vector<std::string> names;
  std::vector<std::string> keys;
  auto addName = [&](const std::string& Name) {
    if (Name.empty()) return;
    std::string key = SerialDeviceKey(Name);
    if (std::find(keys.begin(), keys.end(), key) != keys.end()) return;
    keys.push_back(std::move(key));
    names.push_back(Name);
  };
  std::error_code ec;
  for (fs::directory_iterator it(SysClassTty, ec), endIt; !ec && it != endIt; it.increment(ec)) {
    const fs::path entry = it->path();
    std::error_code e2;
    // Virtual terminals and pseudo terminals have no device behind them.
    if (!fs::exists(entry / "device", e2)) continue;
    const fs::path driver = fs::read_symlink(entry / "device" / "driver", e2);
    if (!e2 && driver.filename() == "serial8250") {
      // The 8250 driver registers every legacy port; type 0 means no UART answered.
      const std::string type = ReadAttribute(entry / "type");
      if (type.empty() || type == "0") continue;
    }
    addName(entry.filename().string());
  }
  if (Extra != nullptr) {
    std::string list(Extra);
    std::size_t start = 0;
    while (start <= list.size()) {
      std::size_t stop = list.find(':', start);
      if (stop == std::string::npos) stop = list.size();
      addName(list.substr(start, stop - start));
      start = stop + 1;
    }
  }
  return names;
}

TSerialPortDescription DescribeSerialPort(std::string_view Name, const fs::path& SysClassTty,
                                          const fs::path& ByIdFolder) {
  TSerialPortDescription d;
  const std::string tty = TtyNameOf(Name);
  if (tty.empty() || tty == "." || tty == "..") return d;

  // The tty's device is the interface of a USB adapter (or a port below it); the USB device
  // with its strings is the nearest folder above that has a vendor id.
  std::error_code ec;
  fs::path dir = fs::canonical(SysClassTty / tty / "device", ec);
  for (int level = 0; !ec && level < 4 && dir.has_relative_path(); ++level) {
    if (fs::exists(dir / "idVendor", ec)) {
      d.Manufacturer = ReadAttribute(dir / "manufacturer");
      d.Product = ReadAttribute(dir / "product");
      d.SerialNumber = ReadAttribute(dir / "serial");
      break;
    }
    dir = dir.parent_path();
  }

  // udev's stable names link to ../../ttyUSB0; the first in name order is kept.
  std::vector<std::string> links;
  for (fs::directory_iterator it(ByIdFolder, ec), end; !ec && it != end; it.increment(ec)) {
    std::error_code e2;
    const fs::path target = fs::read_symlink(it->path(), e2);
    if (!e2 && target.filename() == tty) links.push_back(it->path().filename().string());
  }
  if (!links.empty()) d.ById = *std::min_element(links.begin(), links.end());
  return d;
}

namespace {

constexpr const char* SystemTtyFolder = "/sys/class/tty";
// udev's stable names of USB serial adapters.
constexpr const char* SystemByIdFolder = "/dev/serial/by-id";

}  // namespace

std::vector<std::string> SystemSerialPortNames() {
  return EnumerateSerialPortNames(SystemTtyFolder, std::getenv("PROBRIX_EXTRA_PORTS"));
}

TSerialPortDescription DescribeSystemSerialPort(std::string_view Name) {
  return DescribeSerialPort(Name, SystemTtyFolder, SystemByIdFolder);
}

std::string SerialPortByIdPath(const TSerialPortDescription& Description) {
  return Description.ById.empty() ? std::string() : SystemByIdFolder + ("/" + Description.ById);
}

}  // namespace probrix::platform
