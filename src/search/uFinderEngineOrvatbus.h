#pragma once

// The Orvatbus searcher: sends the identification command 0x49 and decodes the reply. A device
// uses one of two frame checksums; "crc1" is tried first and "crc8" only when nothing answered.

#include <cstdint>
#include <memory>
#include <string>

#include "foundation/appTypes.h"
#include "search/uFinderEngineSearchers.h"

namespace probrix {

class TOrvatbusDeviceSearcher : public TDeviceSearcher {
 public:
  using TDeviceSearcher::TDeviceSearcher;

  // The address that means any device (single-device mode); the reply's own address is reported.
  static constexpr std::uint8_t BroadcastAddress = 95;
  static constexpr std::uint8_t IdentifyCommand = 0x49;
  // Our own address on the bus, except when probing address 0.
  static constexpr std::uint8_t MasterAddress = 0;
  static constexpr std::uint8_t AlternateMasterAddress = 85;
  // The command byte of a device that does not know the command it was sent.
  static constexpr std::uint8_t UnknownCommandReply = 0xFE;
  static constexpr std::uint8_t BusyErrorCode = 6;

  // Destination, source, command: 3 bytes.
  static TBytes BuildRequestBody(std::uint8_t Address);

 protected:
  // A TOrvatbusTransceiver.
  std::unique_ptr<TMessageTransceiver> CreateTransceiver(
      std::shared_ptr<IDeviceConnection> Connection) override;
  void SearchAt(std::uint8_t Address, TDeviceInfo& Info) override;

  // The attempt loop with one checksum kind (0 = "crc1", 1 = "crc8").
  void Identify(std::uint8_t Address, TChecksumKind ChecksumKind, TDeviceInfo& Info);
  // Unpacks and decodes one reply to a request for Address.
  TDeviceInfo ParseResponse(const TBytes& Reply, std::uint8_t Address, TChecksumKind ChecksumKind);
};

}  // namespace probrix
