#pragma once

// The device simulator: serial ports on pseudo terminals and TCP servers on 127.0.0.1, each
// carrying simulated devices. Every port or server runs one thread of its own; all methods are
// thread-safe. Stop() (or the destructor) ends every thread and closes every descriptor.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "devsim/devsimDevice.h"

namespace probrix::devsim {

struct TSerialPortConfig {
  // Name of the symlink in the simulator's folder; empty: "ttySIM<n>".
  std::string Name;
  // Deliver bytes at the line's current rate and format (10 bits per byte at 8N1, 11 at 8O1
  // or 8N2), as a real line would.
  bool WireTiming = false;
  // Line speed the port starts with (the program that opens it usually sets its own).
  std::uint32_t InitialBaud = 9600;
  // The character format ("8O1") of the devices on the port that name none of their own:
  // they answer only while the line carries it. Empty: any format.
  std::string LineFormat;
  // Bytes that nobody reads are lost, as on a real line while the port is closed: a program
  // that opens the port meets the transmission wherever it happens to be, mostly mid-line.
  bool Lossy = false;
  // The line hears itself, as many RS-485 adapters do: every byte the program writes comes
  // back to it before any device's reply.
  bool Echo = false;
  // This many bytes of line noise wait in the port before a program first opens it (what an
  // earlier session left, a device's power-on chatter).
  std::size_t QueuedBytes = 0;
};

struct TTcpServerConfig {
  std::uint16_t Port = 0;        // 0: any free port
  bool AcceptThenClose = false;  // every connection is closed right after it is accepted
  // > 0: the server is a Modbus TCP gateway that answers a request for a unit none of its
  // devices answers with this exception (0x0B: the target device failed to respond).
  int GatewayException = 0;
  // Every byte a client sends comes back to it at once (a bridge that echoes; with no devices,
  // a plain echo server).
  bool Echo = false;
  // Sent to every client as soon as its connection is accepted, before anything else.
  std::string Greeting;
};

class TEndpoint;

class TSimulator {
 public:
  // LinkFolder holds the symlinks of the serial ports; it is created when missing. Empty: a
  // fresh folder under the temporary directory, removed again by Stop().
  explicit TSimulator(std::filesystem::path LinkFolder = {});
  ~TSimulator();
  TSimulator(const TSimulator&) = delete;
  TSimulator& operator=(const TSimulator&) = delete;

  const std::filesystem::path& LinkFolder() const { return LinkFolder_; }

  // A new pseudo terminal, running at once. Returns the symlink's absolute path, which is the
  // port name to open. Throws std::runtime_error when the system refuses.
  std::string AddSerialPort(const TSerialPortConfig& Config = {});
  // A new TCP server on 127.0.0.1, listening at once. Returns its port.
  std::uint16_t AddTcpServer(const TTcpServerConfig& Config = {});

  // Puts a device on a port (by the path AddSerialPort returned) or a server (by its port).
  // Returns the device's id. Throws std::invalid_argument for an unknown port or server.
  int AddDevice(const std::string& PortPath, const TDeviceConfig& Device);
  int AddDevice(std::uint16_t TcpPort, const TDeviceConfig& Device);
  // Replaces a device's configuration; the next request is answered with the new one.
  void SetDevice(int DeviceId, const TDeviceConfig& Device);
  // Requests addressed to the device so far (answered or not).
  std::size_t RequestCount(int DeviceId) const;

  // What the port or server received so far (its last 64 KiB), and clearing it.
  TBytes Received(const std::string& PortPath) const;
  TBytes Received(std::uint16_t TcpPort) const;
  void ClearReceived(const std::string& PortPath);
  void ClearReceived(std::uint16_t TcpPort);
  // Connections a server accepted so far.
  std::size_t AcceptCount(std::uint16_t TcpPort) const;
  // The most requests the port or server had in progress at once so far, over all its
  // connections: a request is in progress from its arrival until the last byte of its reply
  // has gone out (a silent device's requests are never in progress). Two programs, or two
  // connections, that use one device at the same time show as more than one.
  std::size_t PeakRequestsInProgress(const std::string& PortPath) const;
  std::size_t PeakRequestsInProgress(std::uint16_t TcpPort) const;

  // The port's pseudo terminal goes away now, as an unplugged adapter: the other side sees the
  // line hang up and the symlink is removed. A server stops listening and drops its clients.
  void Vanish(const std::string& PortPath);
  void Vanish(std::uint16_t TcpPort);
  // Whether the port or server is still there (false after Vanish or a vanishing device).
  bool Alive(const std::string& PortPath) const;
  bool Alive(std::uint16_t TcpPort) const;

  // Stops every port and server, joins their threads, closes their descriptors and removes
  // the symlinks (and the folder when the simulator made it). Safe to call twice.
  void Stop();

 private:
  TEndpoint& Find(const std::string& PortPath) const;
  TEndpoint& Find(std::uint16_t TcpPort) const;
  TEndpoint& FindDevice(int DeviceId) const;

  std::filesystem::path LinkFolder_;
  bool OwnsFolder_ = false;
  mutable std::mutex Mutex_;
  std::vector<std::unique_ptr<TEndpoint>> Endpoints_;
  std::map<int, TEndpoint*> DeviceOwners_;
  int NextDeviceId_ = 1;
  int NextPortNumber_ = 0;
  bool Stopped_ = false;
};

}  // namespace probrix::devsim
