#pragma once

// Modbus RTU and Modbus TCP framing: building request frames, checking and stripping response
// frames, exception responses, and the length of an RTU response from its first bytes.

#include <cstdint>

#include "foundation/appTypes.h"

namespace probrix {

struct TModbusFunctionCode {
  std::uint8_t Code = 0;     // the low seven bits
  bool IsException = false;  // bit 7
};

class ModbusUtils {
 public:
  ModbusUtils() = delete;

  static constexpr int MinBodyLength = 3;  // address, function code and one more byte
  static constexpr int MinRtuFrameLength = 5;
  static constexpr int MinTcpFrameLength = 9;
  static constexpr int TcpHeaderLength = 6;  // MBAP header without the unit identifier
  static constexpr int RtuHeaderLength = 3;

  // CRC-16/MODBUS (reflected 0x8005, initial 0xFFFF, no final XOR).
  static std::uint16_t CalcCrc16(const std::uint8_t* Data, int Count);
  // Body, then the CRC low byte, then its high byte.
  static TBytes BuildRtuFrame(const TBytes& Body);
  // Transaction identifier, protocol identifier 0, body length (all big-endian), then the body.
  static TBytes BuildTcpFrame(const TBytes& Body, std::uint16_t TransactionId);
  static TBytes ParseRtuFrame(const TBytes& Frame);
  static TBytes ParseTcpFrame(const TBytes& Frame, std::uint16_t ExpectedTransactionId);
  // Minimum length, then an exception response raises EModbusSpecificError.
  static void CheckBody(const TBytes& Body);
  // The whole RTU response length from its first three bytes.
  static std::uint16_t GetRtuPacketLength(const std::uint8_t* Header);
  static TModbusFunctionCode DecodeFunctionCode(std::uint8_t Value);
  static bool IsExceptionFunctionCode(std::uint8_t Value) { return (Value & 0x80) != 0; }
  static constexpr std::uint16_t SwapBytes16(std::uint16_t Value) {
    return static_cast<std::uint16_t>((Value >> 8) | (Value << 8));
  }
};

}  // namespace probrix
