#pragma once

// Modbus RTU and Modbus TCP framing: building request frames, checking and stripping response
// frames, exception responses, and the length of an RTU response from its first bytes. Also the
// one request beyond register reads: Read Device Identification (function 0x2B, MEI type 0x0E).

#include <cstdint>
#include <vector>

#include "foundation/appTypes.h"

namespace probrix {

struct TModbusFunctionCode {
  std::uint8_t Code = 0;     // the low seven bits
  bool IsException = false;  // bit 7
};

// One object of a Read Device Identification reply (0 VendorName, 1 ProductCode,
// 2 MajorMinorRevision, ...), its value as the device sent it.
struct TModbusDeviceIdObject {
  std::uint8_t Id = 0;
  TBytes Value;

  friend bool operator==(const TModbusDeviceIdObject&, const TModbusDeviceIdObject&) = default;
};

// A Read Device Identification reply. With MoreFollows the device has further objects of the
// asked category, to be read by a request that starts at NextObjectId.
struct TModbusDeviceIdReply {
  std::uint8_t ReadDeviceIdCode = 0;
  std::uint8_t ConformityLevel = 0;
  bool MoreFollows = false;
  std::uint8_t NextObjectId = 0;
  std::vector<TModbusDeviceIdObject> Objects;
};

class ModbusUtils {
 public:
  ModbusUtils() = delete;

  static constexpr int MinBodyLength = 3;  // address, function code and one more byte
  static constexpr int MinRtuFrameLength = 5;
  static constexpr int MinTcpFrameLength = 9;
  static constexpr int TcpHeaderLength = 6;  // MBAP header without the unit identifier
  static constexpr int RtuHeaderLength = 3;
  static constexpr int MaxRtuFrameLength = 256;

  static constexpr std::uint8_t EncapsulatedInterfaceTransport = 0x2B;
  static constexpr std::uint8_t MeiReadDeviceId = 0x0E;
  static constexpr std::uint8_t ReadDeviceIdBasic = 0x01;  // VendorName, ProductCode, revision
  // Address, 2B, 0E, read code, conformity level, more follows, next object id and the number
  // of objects: the part of a reply body before its object list.
  static constexpr int DeviceIdReplyFixedLength = 8;

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
  // The whole RTU response length from its first three bytes. For a device identification
  // reply three bytes tell only the least it can be (see the overload).
  static std::uint16_t GetRtuPacketLength(const std::uint8_t* Header);
  // The whole RTU response length as far as the Count bytes received tell it: a device
  // identification reply announces its objects one after the other, so while the result is
  // larger than Count, read up to it and ask again. Equals Count once the packet is complete.
  // Needs at least the three header bytes.
  static std::uint16_t GetRtuPacketLength(const std::uint8_t* Data, std::int32_t Count);
  // The body of a Read Device Identification request: address, 2B, 0E, read code, object id.
  static TBytes BuildReadDeviceIdRequest(std::uint8_t Address, std::uint8_t ReadDeviceIdCode,
                                         std::uint8_t ObjectId);
  // Checks and decodes the body of a Read Device Identification reply (address first, as the
  // frame parsers return it; the address itself is the caller's to check). An exception reply
  // raises EModbusSpecificError, another function EUnexpectedCommandCode, another MEI type
  // EUnexpectedMessage, and a reply whose fields or object list do not fit its length
  // ECorruptMessageFrame.
  static TModbusDeviceIdReply ParseReadDeviceIdReply(const TBytes& Body);
  static TModbusFunctionCode DecodeFunctionCode(std::uint8_t Value);
  static bool IsExceptionFunctionCode(std::uint8_t Value) { return (Value & 0x80) != 0; }
  static constexpr std::uint16_t SwapBytes16(std::uint16_t Value) {
    return static_cast<std::uint16_t>((Value >> 8) | (Value << 8));
  }

 private:
  // The device identification case of GetRtuPacketLength.
  static std::uint16_t GetRtuDeviceIdReplyLength(const std::uint8_t* Data, std::int32_t Count);
};

}  // namespace probrix
