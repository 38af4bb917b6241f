#pragma once

// The connection factory: module state that owns every device connection of the process and
// hands out one connection per serial port name and one per TCP endpoint, created on first
// request and shared by every later caller. Pooled connections live until shutdown.
//
// State: the all-connections list (holds a reference to each connection, in order of
// creation), the serial pool and the TCP pool (plain pointers), each with its own re-entrant
// lock. At shutdown the all-connections list is released first (a connection nobody else
// holds is destroyed, which closes it), then the pools.

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "connections/ioDeviceConnection.h"

namespace probrix {

class TTcpConnection;

// Returns the pooled connection whose port name equals PortName without regard to case (the
// argument is compared as given with the name the connection stored), or creates one with
// BaudRate and DtrEnable. An existing connection keeps its settings; a failing creation adds
// nothing.
std::shared_ptr<IDeviceConnection> GetSerialPortConnection(const std::string& PortName,
                                                           std::uint32_t BaudRate, bool DtrEnable);

// Returns the pooled connection with that address (without regard to case) and port, or a
// new one. Never touches the network.
std::shared_ptr<TTcpConnection> GetTcpConnection(const std::string& TcpAddr, std::uint16_t TcpPort);

// The first connection, in order of creation, whose Matches(ConnectionString) holds; none
// gives an empty pointer.
std::shared_ptr<IDeviceConnection> FindConnection(std::string_view ConnectionString);

// Applies ConnectionString to the pooled connection it denotes, under that connection's lock;
// does nothing when there is none.
void ReconfigureConnection(std::string_view ConnectionString);
void ReconfigureSerialPortConnection(const std::string& PortName, std::uint32_t BaudRate,
                                     bool DtrEnable);

// e.g. PortName=COM2;BaudRate=115200;DtrEnable=1
std::string MakeSerialPortConnectionString(const std::string& PortName, std::uint32_t BaudRate,
                                           bool DtrEnable);

// Releases the all-connections list, then empties the pools; runs by itself when the process
// ends. The factory can be used again afterwards (a fresh, empty state).
void ShutdownConnectionFactory();

// Creation of a serial port connection, defined by the serial port connection module
// (ioSerialPortConnection.cpp) as std::make_shared<TSerialPortConnection>(PortName, DtrEnable,
// BaudRate). May throw (a baud rate of 0, ...); the factory then adds nothing.
std::shared_ptr<IDeviceConnection> CreateSerialPortConnection(const std::string& PortName,
                                                              bool DtrEnable,
                                                              std::uint32_t BaudRate);

}  // namespace probrix
