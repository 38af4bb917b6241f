#pragma once

// Orvatbus framing: start byte, checksum, end byte and escaping around an unpacked body, and the
// address and command encoding of the three header bytes.

#include <cstdint>
#include <string>

#include "foundation/appTypes.h"

namespace probrix {

// The two checksums of Orvatbus frames.
enum class TChecksumKind : std::uint8_t { ckCrc1 = 0, ckCrc8 = 1 };

// A frame checksum over (bytes, count).
using TOrvatbusCrcFunction = std::uint8_t (*)(const std::uint8_t* Data, int Count);

class OrvatbusUtils {
 public:
  OrvatbusUtils() = delete;

  static constexpr std::uint8_t SOH = 0xFF;
  static constexpr std::uint8_t ETX = 0x03;
  static constexpr std::uint8_t EscapeByte = 0x10;
  // SOH, three header bytes, checksum and ETX.
  static constexpr int MinFrameLength = 6;
  static constexpr int CrcKindCount = 2;

  // XOR of all bytes ("crc1").
  static std::uint8_t CalcCrc1(const std::uint8_t* Data, int Count);
  // CRC-8/MAXIM (Dallas 1-Wire), table-driven ("crc8").
  static std::uint8_t CalcCrc8(const std::uint8_t* Data, int Count);

  // "crc1" and "crc8" with their functions; any other value throws EArgumentError.
  static std::string CrcKindName(TChecksumKind Kind);
  static TOrvatbusCrcFunction CrcKindFunction(TChecksumKind Kind);

  // SOH, body, checksum of SOH and body, ETX (unescaped).
  static TBytes AddFrame(const TBytes& Body, TOrvatbusCrcFunction CrcFunction);
  static TBytes Escape(const TBytes& Frame);
  static TBytes Unescape(const TBytes& PackedFrame);
  static TBytes Pack(const TBytes& Body, TOrvatbusCrcFunction CrcFunction);
  static TBytes Unpack(const TBytes& PackedFrame, TOrvatbusCrcFunction CrcFunction);
  // Checks an unescaped frame and returns its body (header and data).
  static TBytes CheckFrame(const TBytes& Frame, TOrvatbusCrcFunction CrcFunction);

  static std::uint8_t EncodeAddress(std::uint8_t Address, bool Flag = false);
  static std::uint8_t DecodeAddress(std::uint8_t Byte, bool& Flag);
  static std::uint8_t DecodeAddress(std::uint8_t Byte);
  static std::uint8_t DecodeCommand(std::uint8_t Byte, bool& Flag);
  static std::uint8_t DecodeCommand(std::uint8_t Byte);
};

}  // namespace probrix
