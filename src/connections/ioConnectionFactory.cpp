#include "connections/ioConnectionFactory.h"

#include <mutex>
#include <vector>

#include "connections/ioConnectionFactoryState.h"
#include "connections/ioTcpConnection.h"

namespace probrix {

namespace factory_detail {

TConnectionFactoryState::~TConnectionFactoryState() { Shutdown(); }

void TConnectionFactoryState::AddConnection(std::shared_ptr<IDeviceConnection> Connection) {
  std::lock_guard guard(AllLock);
  All.push_back(std::move(Connection));
}

void TConnectionFactoryState::Shutdown() {
  // The pool locks are held throughout (in the order Get*Connection takes them, pool before
  // list) so that nobody finds a pool entry whose connection is being destroyed.
  std::lock_guard serialGuard(SerialLock);
  std::lock_guard tcpGuard(TcpLock);
  std::vector<std::shared_ptr<IDeviceConnection>> released;
  {
    std::lock_guard allGuard(AllLock);
    released.swap(All);
  }
  // Dropping the factory's references destroys (and so closes) every connection that nobody
  // else holds; the list's lock is not held while connections go.
  released.clear();
  SerialPool.clear();
  TcpPool.clear();
}

TConnectionFactoryState& State() {
  static TConnectionFactoryState Instance;
  return Instance;
}

}  // namespace factory_detail

using factory_detail::State;

std::shared_ptr<TTcpConnection> GetTcpConnection(const std::string& TcpAddr,
                                                 std::uint16_t TcpPort) {
  auto& state = State();
  std::lock_guard guard(state.TcpLock);
  for (const auto& entry : state.TcpPool) {
    auto connection = entry.lock();
    if (connection && connection->TcpPort() == TcpPort &&
        SameTextAscii(connection->TcpAddr(), TcpAddr))
      return connection;
  }
  auto connection = std::make_shared<TTcpConnection>(TcpAddr, TcpPort);
  state.AddConnection(connection);
  state.TcpPool.push_back(connection);
  return connection;
}

std::shared_ptr<IDeviceConnection> FindConnection(std::string_view ConnectionString) {
  auto& state = State();
  std::lock_guard guard(state.AllLock);
  for (const auto& connection : state.All) {
    if (connection->Matches(ConnectionString)) return connection;
  }
  return nullptr;
}

void ReconfigureConnection(std::string_view ConnectionString) {
  const auto connection = FindConnection(ConnectionString);
  if (!connection) return;
  TDeviceConnectionLock guard(*connection);
  connection->ApplyConnectionString(ConnectionString);
}

void ReconfigureSerialPortConnection(const std::string& PortName, std::uint32_t BaudRate,
                                     bool DtrEnable) {
  ReconfigureConnection(MakeSerialPortConnectionString(PortName, BaudRate, DtrEnable));
}

std::string MakeSerialPortConnectionString(const std::string& PortName, std::uint32_t BaudRate,
                                           bool DtrEnable) {
  TSerialPortConnectionStringBuilder builder(PortName, DtrEnable, BaudRate);
  return builder.GetConnectionString();
}

void ShutdownConnectionFactory() { State().Shutdown(); }

}  // namespace probrix
