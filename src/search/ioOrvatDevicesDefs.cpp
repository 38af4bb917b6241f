#include "search/ioOrvatDevicesDefs.h"

#include "foundation/appSysUtils.h"

namespace probrix {

const std::array<const char*, DeviceKindCount> DeviceNames = {
    "Неопределен", "R2213", "R2213NK5", "R221L", "R221L9", "R221Y", "R4748",
    "R4352",       "R7391", "R3364",    "R3375", "R3386",  "R3397", "R3329"};

namespace {

std::uint8_t KindOfCode6(std::uint16_t Version) {
  if (Version > 490) return 1;
  switch (Version % 10) {
    case 0:
      return 1;
    case 1:
      return Version == 421 ? 4 : 3;
    case 2:
      return 5;
    default:
      return 0;
  }
}

bool HasTwoByteVersion(std::uint8_t TypeCode) {
  return TypeCode == 8 || TypeCode == 81 || TypeCode == 83 || TypeCode == 85 || TypeCode == 86;
}

}  // namespace

std::uint8_t DeviceKind(std::uint8_t TypeCode, std::uint16_t Version) {
  switch (TypeCode) {
    case 6:
      return KindOfCode6(Version);
    case 8:
      return 9;
    case 16:
      return 6;
    case 62:
      return 2;
    case 81:
      return 13;
    case 83:
      return 11;
    case 85:
      return 10;
    case 86:
      return 12;
    case 106:
      return 7;
    case 206:
      return 8;
    default:
      return 0;
  }
}

std::string DeviceTypeName(std::uint8_t TypeCode, std::uint16_t Version) {
  return DeviceNames[DeviceKind(TypeCode, Version)];
}

std::string FirmwareVersionText(std::uint8_t TypeCode, std::uint16_t Version) {
  unsigned major = 0;
  unsigned minor = 0;
  if (HasTwoByteVersion(TypeCode)) {
    major = Version >> 8;
    minor = Version & 0xFF;
  } else {
    major = Version / 100u;
    minor = Version % 100u;
  }
  return Format("%d.%d", {major, minor});
}

}  // namespace probrix
