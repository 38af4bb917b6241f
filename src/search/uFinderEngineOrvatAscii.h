#pragma once

// The OrvatASCII searcher: a device in continuous-transmission mode is listened to, never asked.
// One complete line is awaited and the device address is read from its first character.

#include <cstdint>
#include <memory>

#include "search/uFinderEngineSearchers.h"

namespace probrix {

class TOrvatAsciiDeviceSearcher : public TDeviceSearcher {
 public:
  using TDeviceSearcher::TDeviceSearcher;

 protected:
  // A TOrvatAsciiTransceiver.
  std::unique_ptr<TMessageTransceiver> CreateTransceiver(
      std::shared_ptr<IDeviceConnection> Connection) override;
  // Address is not used: whatever device transmits on the connection is reported. No retries.
  void SearchAt(std::uint8_t Address, TDeviceInfo& Info) override;
};

}  // namespace probrix
