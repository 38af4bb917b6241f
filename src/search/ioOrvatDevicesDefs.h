#pragma once

// Device type names and firmware version texts for the results grid.

#include <array>
#include <cstdint>
#include <string>

namespace probrix {

constexpr int DeviceKindCount = 14;

// Indexed by DeviceKind; kind 0 is any code not known.
extern const std::array<const char*, DeviceKindCount> DeviceNames;

// 0..13; type code 6 is told apart by its firmware version.
std::uint8_t DeviceKind(std::uint8_t TypeCode, std::uint16_t Version);
std::string DeviceTypeName(std::uint8_t TypeCode, std::uint16_t Version);
// "major.minor": two bytes for the codes 8, 81, 83, 85, 86, else major * 100 + minor.
std::string FirmwareVersionText(std::uint8_t TypeCode, std::uint16_t Version);

}  // namespace probrix
