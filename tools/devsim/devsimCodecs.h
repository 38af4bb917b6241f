#pragma once

// Wire encoders of the simulated devices. They are written from the wire formats alone and share
// no code with the product's codecs, so a frame that both sides agree on is real evidence.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace probrix::devsim {

using TBytes = std::basic_string<std::uint8_t>;

// Orvatbus checksum kinds: "crc1" (XOR) and "crc8" (CRC-8/MAXIM).
enum class TChecksum : std::uint8_t { ckCrc1 = 0, ckCrc8 = 1 };

constexpr std::uint8_t OrvatbusSoh = 0xFF;
constexpr std::uint8_t OrvatbusEtx = 0x03;
constexpr std::uint8_t OrvatbusEscape = 0x10;
constexpr int OrvatbusBroadcastAddress = 95;
constexpr std::uint8_t OrvatbusIdentify = 0x49;
constexpr std::uint8_t OrvatbusUnknownCommand = 0xFE;

const char* ChecksumName(TChecksum Kind);

std::uint8_t OrvatbusCrc1(const std::uint8_t* Data, std::size_t Count);
// Computed bit by bit (reflected polynomial 0x8C), not from a table.
std::uint8_t OrvatbusCrc8(const std::uint8_t* Data, std::size_t Count);
std::uint8_t OrvatbusChecksum(TChecksum Kind, const std::uint8_t* Data, std::size_t Count);

std::uint8_t OrvatbusEncodeAddress(int Address, bool Flag = false);
int OrvatbusDecodeAddress(std::uint8_t Byte);

// SOH, escaped body and checksum, ETX. CorruptChecksum sends a wrong checksum (still escaped).
TBytes OrvatbusPack(const TBytes& Body, TChecksum Kind, bool CorruptChecksum = false);
// The body of a packed frame (SOH ... ETX), or nothing when the frame is malformed or its
// checksum does not match Kind.
std::optional<TBytes> OrvatbusUnpack(const TBytes& Packed, TChecksum Kind);

// CRC-16/MODBUS, computed bit by bit (reflected polynomial 0xA001, initial 0xFFFF).
std::uint16_t ModbusCrc16(const std::uint8_t* Data, std::size_t Count);
// Body followed by its CRC, low byte first. CorruptCrc sends a CRC that does not match.
TBytes ModbusRtuFrame(const TBytes& Body, bool CorruptCrc = false);
// MBAP header (transaction, protocol 0, length) and the body. LengthField >= 0 replaces the
// length that the header would carry.
TBytes ModbusTcpFrame(const TBytes& Body, std::uint16_t TransactionId, int LengthField = -1);

// One OrvatASCII line: the address character, Text cut or padded with blanks to 12 characters,
// then CR LF (15 bytes in all).
TBytes OrvatAsciiLine(std::uint8_t AddressChar, const std::string& Text);

// Bytes that contain none of SOH, ETX, the escape byte, CR and LF, so no receiver finds a frame
// or a line end in them. Deterministic for a given Seed.
TBytes GarbageBytes(std::size_t Count, std::uint32_t Seed = 1);
// Line noise without SOH: what a receiver has to skip before a frame starts.
TBytes NoiseBytes(std::size_t Count, std::uint32_t Seed = 7);

}  // namespace probrix::devsim
