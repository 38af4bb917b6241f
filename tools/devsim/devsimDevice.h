#pragma once

// What a simulated device is (its configuration) and how it answers (reply builders and the
// request parser that one device runs on one byte stream).

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "devsim/devsimCodecs.h"

namespace probrix::devsim {

enum class TDeviceKind : std::uint8_t {
  dkOrvatbus,
  dkModbus,     // RTU framing on a serial port, MBAP framing on a TCP server
  dkModbusRtu,  // RTU framing on either transport
  dkModbusTcp,  // MBAP framing on either transport
  dkOrvatAscii  // transmits lines on its own, ignores what it receives
};

enum class TOrvatbusError : std::uint8_t {
  oeNone,
  oeBusy,           // error flag with code 6
  oeBadParams,      // error flag with code 2
  oeUnknownCommand  // command byte 0xFE
};

// How a reply (or an OrvatASCII line) leaves the device. All times in milliseconds.
struct TBehaviour {
  bool Silent = false;           // receives, counts, never answers
  int DelayMs = 0;               // before the reply (OrvatASCII: before the first line)
  std::size_t NoiseBytes = 0;    // noise without SOH sent before the reply
  int Chunks = 1;                // the reply split into this many pieces ...
  int ChunkGapMs = 0;            // ... with this pause between them
  int DripMs = -1;               // >= 0: one byte at a time with this pause between bytes
  bool BadCrc = false;           // Orvatbus and Modbus RTU: a checksum that does not match
  bool CloseMidReply = false;    // half the reply, then the connection closes (serial: vanish)
  bool VanishMidReply = false;   // half the reply, then the whole port or server goes away
  std::size_t GarbageBytes = 0;  // > 0: a burst of this many garbage bytes instead of a reply
  int MbapLengthField = -1;      // >= 0: this value in the MBAP length field of replies
};

// Whether Text is a line format the simulator takes: 8 data bits, parity N, E or O, one or two
// stop bits ("8N1", "8E1", "8O1", "8N2", "8E2", "8O2").
bool IsLineFormat(std::string_view Text);

struct TDeviceConfig {
  TDeviceKind Kind = TDeviceKind::dkOrvatbus;
  // Orvatbus bus address, Modbus slave address / unit identifier, OrvatASCII address character.
  int Address = 1;
  // Only answer when the serial line runs at this rate (0: at any rate). Ignored on TCP.
  std::uint32_t Baud = 0;
  // Only answer while the serial line carries this character format, "8N1" ... "8O2" (empty:
  // the port's format, if it has one, else any). Ignored on TCP. A pseudo terminal shows odd
  // parity and two stop bits but not parity itself, so an even-parity device also answers a
  // line set to no parity (8E1 at 8N1).
  std::string LineFormat;

  // Identification (Orvatbus reply items; Modbus registers 1000..1009).
  std::uint8_t DeviceType = 0;
  std::uint16_t FirmwareVersion = 0;
  std::uint32_t SerialNumber = 0;  // Orvatbus sends the low 16 bits; Modbus registers 1007-1008
  std::uint16_t ExtraWord1 = 0;    // Orvatbus item 1; Modbus register 1002
  std::uint16_t ExtraWord2 = 0;    // Orvatbus item 3; Modbus register 1004
  std::uint8_t ExtraByte = 0;      // Orvatbus item 6
  bool SourceFlag = false;         // Orvatbus: bit 7 of the source address in replies

  // Orvatbus.
  TChecksum Checksum = TChecksum::ckCrc1;  // accepted requests and replies
  int ReplyChecksum = -1;                  // >= 0: replies use this kind instead (0 crc1, 1 crc8)
  TOrvatbusError Error = TOrvatbusError::oeNone;

  // Orvatbus and Modbus: >= 0 claims this address in replies instead of its own.
  int ReplyAddress = -1;
  // Modbus RTU framing: >= 0 sends, right before each reply, a frame with a good CRC of this
  // function from another device (ForeignAddress, by default the device's address + 1).
  int ForeignFunction = -1;
  int ForeignAddress = -1;

  // Modbus.
  int ExceptionCode = 0;    // > 0: every request gets this exception reply
  int ReplyFunction = -1;   // >= 0: this function code in normal replies
  int ReplyRegisters = -1;  // >= 0: this many registers in replies, whatever was asked
  // A device of another maker: registers 1000..1009 do not exist (exception 2).
  bool OtherMaker = false;
  // Answers every unit id (address) but the RTU broadcast 0, replying as that unit: a device
  // that ignores the unit id, or a gateway that answers for a whole bus.
  bool AnyUnit = false;
  // Read Device Identification objects by id (0 VendorName, 1 ProductCode,
  // 2 MajorMinorRevision, ...); none: function 0x2B gets exception 1, as an unknown function.
  std::map<int, std::string> IdObjects;
  int IdObjectsPerReply = 0;  // > 0: at most this many objects per reply ("more follows")

  // OrvatASCII.
  std::string Text = "+0023.45 kPa";  // the 12 characters after the address character
  int IntervalMs = 100;               // from the start of one line to the next; 0: back to back
                                      // (the next line as soon as the last has left the line)
  int StartOffset = 0;                // the first line starts at this byte (mid-line start)

  TBehaviour Behaviour;
};

// Modbus holding registers 1000..1009 of a device.
std::vector<std::uint16_t> ModbusRegisters(const TDeviceConfig& Config);

// The packed reply of an Orvatbus device to an unpacked request body, or empty when the device
// does not answer it (another address, a body without a header).
TBytes OrvatbusReply(const TDeviceConfig& Config, const TBytes& RequestBody);

// The reply body (address, function, data) of a Modbus device to a request body, or empty
// when it does not answer (another address, broadcast address 0, a body that is too short).
// Function 3 reads registers 1000..1009; function 0x2B with MEI type 0x0E reads the device
// identification objects (read codes 1 basic, 2 regular, 3 extended by stream, 4 one object).
TBytes ModbusReplyBody(const TDeviceConfig& Config, const TBytes& RequestBody);

// Whether a Modbus device answers requests for this unit id (address).
bool AnswersUnit(const TDeviceConfig& Config, int Unit);

// The RTU frame of another device that Config sends before each reply (ForeignFunction), or
// empty: an exception reply (code 1) for a function with bit 7 set, a reply with a byte count
// and four data bytes for 1 to 4, 0x0C, 0x11 (report server id), 0x14, 0x15 and 0x17, and five
// data bytes for any other function.
TBytes ForeignRtuFrame(const TDeviceConfig& Config);

// One simulated device listening on one byte stream: collects what arrives, cuts requests out
// of it and produces complete reply frames (before any fault behaviour is applied).
class TDeviceListener {
 public:
  static constexpr std::size_t MaxPending = 1024;

  // Bytes arrived. Replies produced go to Replies; Requests counts requests addressed to this
  // device (also when it stays silent).
  void Feed(const TDeviceConfig& Config, bool Serial, const std::uint8_t* Data, std::size_t Count,
            std::vector<TBytes>& Replies, std::size_t& Requests);
  // The line was quiet for a while: a Modbus RTU frame ends here; stale partial input goes.
  void Gap(const TDeviceConfig& Config, bool Serial, std::vector<TBytes>& Replies,
           std::size_t& Requests);
  std::size_t Pending() const { return Buffer_.size(); }

 private:
  void FeedOrvatbus(const TDeviceConfig& Config, std::vector<TBytes>& Replies,
                    std::size_t& Requests);
  void FeedRtu(const TDeviceConfig& Config, std::vector<TBytes>& Replies, std::size_t& Requests);
  void FeedMbap(const TDeviceConfig& Config, std::vector<TBytes>& Replies, std::size_t& Requests);
  bool AnswerRtu(const TDeviceConfig& Config, const TBytes& Body, std::vector<TBytes>& Replies,
                 std::size_t& Requests);

  TBytes Buffer_;
};

// Whether this kind uses MBAP framing on the given transport.
bool UsesMbap(TDeviceKind Kind, bool Serial);

}  // namespace probrix::devsim
