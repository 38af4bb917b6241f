// The serial half of the connection factory. The connection itself is made by
// CreateSerialPortConnection, which the serial port connection module defines.

#include <mutex>

#include "connections/ioConnectionFactory.h"
#include "connections/ioConnectionFactoryState.h"
#include "foundation/ioExceptions.h"
#include "platform/platSerialPorts.h"

namespace probrix {

std::shared_ptr<IDeviceConnection> GetSerialPortConnection(const std::string& PortName,
                                                           std::uint32_t BaudRate, bool DtrEnable) {
  auto& state = factory_detail::State();
  std::lock_guard guard(state.SerialLock);
  // One connection per port name, by the system's rule for names (Linux paths keep their case).
  for (const auto& entry : state.SerialPool) {
    if (!platform::SameSerialPortName(entry.PortName, PortName)) continue;
    if (auto connection = entry.Connection.lock()) return connection;
  }
  auto connection = CreateSerialPortConnection(PortName, DtrEnable, BaudRate);
  if (!connection) {
    throw EConnectionError::CreateFmt("GetSerialPortConnection: no connection created for \"%s\"",
                                      {PortName});
  }
  TSerialPortConnectionStringBuilder parsed;
  parsed.SetConnectionString(connection->ConnectionString());
  state.AddConnection(connection);
  state.SerialPool.push_back({connection, parsed.PortName});
  return connection;
}

}  // namespace probrix
