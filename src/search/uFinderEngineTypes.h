#pragma once

// Types shared by the search engine and its users: protocols, connection kinds, the
// identification record of a found device, and the event records the window posts to itself.
// Qt-free: the window wraps these records in its own event objects.

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "connections/ioDeviceConnection.h"
#include "messaging/ioOrvatbusCoreTypes.h"
#include "platform/platSocketSweep.h"

namespace probrix {

enum class TDeviceProtocol : std::uint8_t {
  dpOrvatbus = 0,
  dpModbusRtu = 1,
  dpModbusTcp = 2,
  dpOrvatAscii = 3,
};

inline constexpr int DeviceProtocolCount = 4;

// TConnectionType (ctSerialPort = 0, ctTcp = 1) comes with the device connection interface.

// Operator-facing protocol names, indexed by TDeviceProtocol.
inline constexpr std::array<std::string_view, DeviceProtocolCount> DeviceProtocolNames = {
    "Orvatbus", "ModbusRTU", "ModbusTCP", "OrvatASCII"};

constexpr bool IsValidDeviceProtocol(TDeviceProtocol Protocol) {
  return static_cast<int>(Protocol) < DeviceProtocolCount;
}

// The protocol's name; an out-of-range value gives the empty text rather than a read past
// the table.
constexpr std::string_view DeviceProtocolName(TDeviceProtocol Protocol) {
  return IsValidDeviceProtocol(Protocol) ? DeviceProtocolNames[static_cast<int>(Protocol)]
                                         : std::string_view();
}

// Read timeout of an OrvatASCII run: the device transmits on its own and is listened to.
inline constexpr std::int32_t OrvatAsciiReadTimeout = 4160;

// Identification record of a found device; all zero (empty) unless a protocol fills a field.
struct TDeviceInfo {
  std::uint8_t Address = 0;
  std::uint8_t SourceFlag = 0;  // Orvatbus: bit 7 of the responder's address byte
  TChecksumKind ChecksumKind = TChecksumKind::ckCrc1;  // Orvatbus: the checksum that answered
  std::uint16_t ExtraWord1 = 0;
  std::uint8_t DeviceType = 0;
  std::uint16_t ExtraWord2 = 0;
  std::uint16_t FirmwareVersion = 0;
  std::uint16_t SerialNumber = 0;
  std::uint8_t ExtraByte = 0;

  // Modbus: a device that answered, but not as one of the maker's instruments (an exception
  // reply, or a reply the maker's layout refuses). The fields above stay 0 except Address.
  bool OtherMaker = false;
  // Its Read Device Identification objects 0..2 as printable text; empty when not given.
  std::string VendorName;
  std::string ProductCode;
  std::string MajorMinorRevision;
  // The exception code of the reply that revealed it; none when a normal reply did.
  std::optional<std::uint8_t> ModbusException;
  // Modbus TCP: the first unit of the same endpoint that answered with the same identity (the
  // maker's type and serial number, or vendor, product code and revision), when this unit is
  // a repeat of it, as a device that ignores the unit id makes.
  std::optional<std::uint8_t> SameAsUnit;

  friend bool operator==(const TDeviceInfo&, const TDeviceInfo&) = default;
};

// The sweep of the plan's address ranges, before the search: how far it has come.
struct TSweepProgress {
  std::string RangeText;  // the plan's entry of the address reported last, as written
  std::size_t Done = 0;   // addresses whose outcome is known, of all the ranges
  std::size_t Total = 0;
  std::size_t Accepted = 0;  // of those, the hosts that accepted
};
// An address of a range that accepted no connection: it is not searched.
struct TSweepMiss {
  std::string Host;  // "192.168.1.7"
  std::int32_t Port = 0;
  std::string RangeText;  // the plan's entry it belongs to
  platform::TConnectOutcome Outcome = platform::TConnectOutcome::coRefused;
  std::string SystemText;  // the system's text for a failure that was neither refusal nor silence
};
// Window message numbers that carry the event records (first user message + 1 ...).
inline constexpr int msgUserBase = 1024;
inline constexpr int msgProgressChanged = 1025;  // TProgressChangedEventArgs
inline constexpr int msgDeviceFound = 1026;      // TDeviceFoundEventArgs
inline constexpr int msgSearchError = 1027;      // TSearchErrorEventArgs
inline constexpr int msgSearchFinished = 1034;   // first parameter: Aborted (0 or 1)

// Names one attempt: the connection (port name or TCP host), its baud rate or TCP port, the
// protocol, the connection's kind and the probed address. Every event of an attempt carries it.
struct TSearchAttempt {
  TSearchAttempt() = default;
  // The five fields that name every attempt; the line format, where there is one, is set apart.
  TSearchAttempt(std::string AConnectionName, std::int32_t ABaudRateOrPort,
                 TDeviceProtocol AProtocol, TConnectionType AConnectionType, std::uint8_t AAddress)
      : ConnectionName(std::move(AConnectionName)),
        BaudRateOrPort(ABaudRateOrPort),
        Protocol(AProtocol),
        ConnectionType(AConnectionType),
        Address(AAddress) {}

  std::string ConnectionName;       // port name or TCP host
  std::int32_t BaudRateOrPort = 0;  // baud rate of a COM port, port number of an endpoint
  TDeviceProtocol Protocol = TDeviceProtocol::dpOrvatbus;
  TConnectionType ConnectionType = TConnectionType::ctSerialPort;
  std::uint8_t Address = 0;  // the probed address
  // The line format of a serial connection, where it names the connection: set when the plan
  // tries another format than 8N1 (every serial attempt of that plan then has one); none for
  // TCP and for a plan of 8N1 alone, whose texts stay as they always were.
  std::optional<TLineFormat> LineFormat;

  friend bool operator==(const TSearchAttempt&, const TSearchAttempt&) = default;
};

// Event records: built on the worker thread from the task's events, owned by the message that
// carries them. Their first fields are the attempt's.
struct TSearchTaskEventArgs : TSearchAttempt {
  TSearchTaskEventArgs() = default;
  explicit TSearchTaskEventArgs(TSearchAttempt AAttempt) : TSearchAttempt(std::move(AAttempt)) {}
  virtual ~TSearchTaskEventArgs() = default;
};

struct TProgressChangedEventArgs : TSearchTaskEventArgs {
  using TSearchTaskEventArgs::TSearchTaskEventArgs;
};

struct TDeviceFoundEventArgs : TSearchTaskEventArgs {
  TDeviceFoundEventArgs() = default;
  TDeviceFoundEventArgs(TSearchAttempt AAttempt, const TDeviceInfo& ADeviceInfo,
                        std::string ASearchLogText)
      : TSearchTaskEventArgs(std::move(AAttempt)),
        DeviceInfo(ADeviceInfo),
        SearchLogText(std::move(ASearchLogText)) {}

  TDeviceInfo DeviceInfo;
  std::string SearchLogText;  // the attempt's log, each line followed by CR LF
};

struct TSearchErrorEventArgs : TSearchTaskEventArgs {
  TSearchErrorEventArgs() = default;
  TSearchErrorEventArgs(TSearchAttempt AAttempt, std::string AErrorText, std::string ASearchLogText,
                        std::string AReason = {})
      : TSearchTaskEventArgs(std::move(AAttempt)),
        ErrorText(std::move(AErrorText)),
        SearchLogText(std::move(ASearchLogText)),
        Reason(std::move(AReason)) {}

  std::string ErrorText;  // operator text for the failure
  std::string SearchLogText;
  std::string Reason;  // why, where the operator can act on it (who holds the port); or empty
  // The connection cannot be opened: the rest of it (baud rates, protocols) is skipped.
  bool EndsConnection = false;
};

}  // namespace probrix
