#pragma once

// The connection factory's module state, shared by its two source files (the serial half
// lives apart so that it is linked only where serial connections are asked for).

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "connections/ioDeviceConnection.h"

namespace probrix {

class TTcpConnection;

namespace factory_detail {

struct TSerialPoolEntry {
  // No reference: the all-connections list keeps the connection alive.
  std::weak_ptr<IDeviceConnection> Connection;
  // The name the connection stored (it trims blanks), read once at creation.
  std::string PortName;
};

struct TConnectionFactoryState {
  TConnectionFactoryState() = default;
  ~TConnectionFactoryState();
  TConnectionFactoryState(const TConnectionFactoryState&) = delete;
  TConnectionFactoryState& operator=(const TConnectionFactoryState&) = delete;

  // Appends under the list's own lock.
  void AddConnection(std::shared_ptr<IDeviceConnection> Connection);
  void Shutdown();

  // Created in this order: all-connections list, serial pool, TCP pool.
  std::recursive_mutex AllLock;
  std::vector<std::shared_ptr<IDeviceConnection>> All;
  std::recursive_mutex SerialLock;
  std::vector<TSerialPoolEntry> SerialPool;
  std::recursive_mutex TcpLock;
  std::vector<std::weak_ptr<TTcpConnection>> TcpPool;
};

TConnectionFactoryState& State();

}  // namespace factory_detail
}  // namespace probrix
