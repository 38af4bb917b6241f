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
  std::ifstream In(File, std::ios::binary);
  std::string Text(MaxLength, '\0');
  In.read(Text.data(), static_cast<std::streamsize>(MaxLength));
  Text.resize(static_cast<std::size_t>(In.gcount()));
  if (const auto Eol = Text.find('\n'); Eol != std::string::npos) Text.resize(Eol);
  for (char& C : Text)
    if (static_cast<unsigned char>(C) < 0x20 || C == 0x7F) C = ' ';
  const auto First = Text.find_first_not_of(' ');
  if (First == std::string::npos) return {};
  return Text.substr(First, Text.find_last_not_of(' ') - First + 1);
}

// The tty name of a port: a plain name itself, for a path (or a name with a folder in it) the
// device file it leads to, so that a name never reaches outside the tty folder.
std::string TtyNameOf(std::string_view Name) {
  if (Name.find('/') == std::string_view::npos) return std::string(Name);
  const std::string Path = SerialDevicePathOf(Name);
  std::error_code Ec;
  const fs::path Real = fs::canonical(Path, Ec);
  return (Ec ? fs::path(Path) : Real).filename().string();
}

}  // namespace

std::string SerialDevicePathOf(std::string_view Name) {
  if (Name.starts_with("/") || Name.starts_with("./")) return std::string(Name);
  return "/dev/" + std::string(Name);
}

std::string SerialPortNameKey(std::string_view Name) { return std::string(Name); }

std::string SerialDeviceKey(std::string_view Name) {
  const std::string Path = SerialDevicePathOf(Name);
  struct stat St {};
  if (::stat(Path.c_str(), &St) == 0 && S_ISCHR(St.st_mode))
    return "char:" + std::to_string(St.st_rdev);
  std::error_code Ec;
  const fs::path Real = fs::weakly_canonical(Path, Ec);
  return Ec ? Path : Real.string();
}

std::vector<std::string> EnumerateSerialPortNames(const fs::path& SysClassTty, const char* Extra) {
  std::vector<std::string> Names;
  std::vector<std::string> Keys;
  auto AddName = [&](const std::string& Name) {
    if (Name.empty()) return;
    std::string Key = SerialDeviceKey(Name);
    if (std::find(Keys.begin(), Keys.end(), Key) != Keys.end()) return;
    Keys.push_back(std::move(Key));
    Names.push_back(Name);
  };
  std::error_code Ec;
  for (fs::directory_iterator It(SysClassTty, Ec), EndIt; !Ec && It != EndIt; It.increment(Ec)) {
    const fs::path Entry = It->path();
    std::error_code E2;
    // Virtual terminals and pseudo terminals have no device behind them.
    if (!fs::exists(Entry / "device", E2)) continue;
    const fs::path Driver = fs::read_symlink(Entry / "device" / "driver", E2);
    if (!E2 && Driver.filename() == "serial8250") {
      // The 8250 driver registers every legacy port; type 0 means no UART answered.
      const std::string Type = ReadAttribute(Entry / "type");
      if (Type.empty() || Type == "0") continue;
    }
    AddName(Entry.filename().string());
  }
  if (Extra != nullptr) {
    std::string List(Extra);
    std::size_t Start = 0;
    while (Start <= List.size()) {
      std::size_t Stop = List.find(':', Start);
      if (Stop == std::string::npos) Stop = List.size();
      AddName(List.substr(Start, Stop - Start));
      Start = Stop + 1;
    }
  }
  return Names;
}

TSerialPortDescription DescribeSerialPort(std::string_view Name, const fs::path& SysClassTty,
                                          const fs::path& ByIdFolder) {
  TSerialPortDescription D;
  const std::string Tty = TtyNameOf(Name);
  if (Tty.empty() || Tty == "." || Tty == "..") return D;

  // The tty's device is the interface of a USB adapter (or a port below it); the USB device
  // with its strings is the nearest folder above that has a vendor id.
  std::error_code Ec;
  fs::path Dir = fs::canonical(SysClassTty / Tty / "device", Ec);
  for (int Level = 0; !Ec && Level < 4 && Dir.has_relative_path(); ++Level) {
    if (fs::exists(Dir / "idVendor", Ec)) {
      D.Manufacturer = ReadAttribute(Dir / "manufacturer");
      D.Product = ReadAttribute(Dir / "product");
      D.SerialNumber = ReadAttribute(Dir / "serial");
      break;
    }
    Dir = Dir.parent_path();
  }

  // udev's stable names link to ../../ttyUSB0; the first in name order is kept.
  std::vector<std::string> Links;
  for (fs::directory_iterator It(ByIdFolder, Ec), End; !Ec && It != End; It.increment(Ec)) {
    std::error_code E2;
    const fs::path Target = fs::read_symlink(It->path(), E2);
    if (!E2 && Target.filename() == Tty) Links.push_back(It->path().filename().string());
  }
  if (!Links.empty()) D.ById = *std::min_element(Links.begin(), Links.end());
  return D;
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
