#pragma once

// Text descriptions of simulated ports, servers and devices (command line and files), the demo
// set, and starting a described set on a simulator.

#include <cstdint>
#include <istream>
#include <string>
#include <vector>

#include "devsim/devsimSimulator.h"

namespace probrix::devsim {

// "<kind>[,key=value|flag]..." — kinds: orvatbus, modbus, modbus-rtu, modbus-tcp, ascii.
// Throws std::invalid_argument with a readable message on any mistake.
TDeviceConfig ParseDevice(const std::string& Text);
// "[name=NAME][,timing][,baud=N][,lossy][,echo][,queued=N]"
TSerialPortConfig ParsePort(const std::string& Text);
// "[port=N][,accept-close][,gateway[=CODE]][,echo][,greeting=TEXT]"
TTcpServerConfig ParseTcp(const std::string& Text);

struct TEndpointPlan {
  bool Serial = true;
  TSerialPortConfig Port;
  TTcpServerConfig Tcp;
  std::vector<TDeviceConfig> Devices;
};

using TLayout = std::vector<TEndpointPlan>;

// Lines "port DESC", "tcp DESC", "device DESC" (a device belongs to the port or server above
// it); blank lines and lines starting with '#' are skipped.
TLayout ParseLayout(std::istream& In);

// Two serial ports and one TCP server with devices of every protocol (see README.md).
TLayout DemoLayout(std::uint16_t TcpPort = 0);

struct TStartedEndpoint {
  bool Serial = true;
  std::string Path;        // serial: the port's path
  std::uint16_t Port = 0;  // TCP: the server's port
};

// Creates the described ports, servers and devices on Sim, in order.
std::vector<TStartedEndpoint> StartLayout(TSimulator& Sim, const TLayout& Layout);

// "port <path>" and "tcp 127.0.0.1:<port>" lines, one per endpoint, each ended by LF.
std::string DescribeEndpoints(const std::vector<TStartedEndpoint>& Endpoints);

// A one-line human description of a device ("orvatbus address 2 crc8 type 6 ...").
std::string DescribeDevice(const TDeviceConfig& Device);

}  // namespace probrix::devsim
