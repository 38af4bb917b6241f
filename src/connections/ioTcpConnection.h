#pragma once

// The device connection over a TCP stream to a host and port. It translates the socket's
// exceptions into the connection exceptions, with messages that start with
// "[<ConnectionString>]". Created by the connection factory, one per endpoint.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "connections/ioDeviceConnection.h"
#include "connections/netIpSocket.h"

namespace probrix {

class TTcpConnection : public TDeviceConnection {
 public:
  // Stores the endpoint; no socket exists and the network is not touched.
  TTcpConnection(std::string TcpAddr, std::uint16_t TcpPort);
  ~TTcpConnection() override;

  std::string ConnectionString() const override;  // TcpAddr=...;TcpPort=...
  std::int32_t BytesToRead() override;            // 0 while closed
  // While open, the values in force on the socket; else the stored ones. Set: applied to the
  // open socket (a failure propagates and keeps the stored value), then stored.
  std::int32_t ReadTimeout() override;
  void SetReadTimeout(std::int32_t Value) override;
  std::int32_t WriteTimeout() override;
  void SetWriteTimeout(std::int32_t Value) override;
  std::int32_t InfiniteTimeout() const override { return 0; }
  TConnectionType ConnectionType() const override { return TConnectionType::ctTcp; }
  bool IsOpen() override;
  // Every Open uses a new socket and a new name resolution; the stored timeouts are not
  // applied here (the messaging layer sets them before each write and read).
  void Open() override;
  void Close() override;
  void CloseQuietly() override;
  void Write(const std::uint8_t* Data, std::int32_t Count) override;
  std::int32_t Read(std::uint8_t* Buffer, std::int32_t Count) override;
  std::int32_t ReadOrTimeOut(std::uint8_t* Buffer, std::int32_t Count, bool Whole,
                             std::unique_ptr<Exception>& TimedOut) override;
  std::int32_t ReadAvailable(std::uint8_t* Buffer, std::int32_t Count) override;
  // A server that greets (or hands over what an earlier client left) does so as soon as it
  // accepts; its bytes arrive about one round trip after the connect.
  std::int32_t GreetingTimeout() const override { return GreetingWaitMs; }
  // Same address (without regard to case) and port.
  bool Matches(std::string_view ConnectionString) const override;
  void ApplyConnectionString(std::string_view ConnectionString) override;

  static constexpr std::int32_t GreetingWaitMs = 50;

  const std::string& TcpAddr() const { return TcpAddr_; }
  std::uint16_t TcpPort() const { return TcpPort_; }

 protected:
  std::string GetDefaultUniqueName() const override;   // "host[port]"
  std::string GetDefaultDisplayName() const override;  // "host:port"

 private:
  // Read (waiting up to ReadTimeout) or ReadAvailable (not waiting), with one translation of
  // the socket's failures; a wait in vain returns 0 with its EReadTimeoutError in TimedOut.
  std::int32_t Receive(std::uint8_t* Buffer, std::int32_t Count, bool AtOnce,
                       std::unique_ptr<Exception>& TimedOut);
  // Up to Count of the bytes received ahead of the reader.
  std::int32_t TakePending(std::uint8_t* Buffer, std::int32_t Count);

  // A wait takes what has arrived, up to this many bytes; a read hands over what it asks for
  // and keeps the rest for the next read. Emptied when the connection opens or closes.
  static constexpr std::int32_t PendingSize = 8192;
  std::vector<std::uint8_t> Pending_;
  std::int32_t PendingBegin_ = 0;
  std::int32_t PendingEnd_ = 0;

  std::unique_ptr<TIpSocket> Socket_;
  std::int32_t ReadTimeout_ = 0;
  std::int32_t WriteTimeout_ = 0;
  const std::string TcpAddr_;
  const std::uint16_t TcpPort_;
  // Every message and traffic line names it; the address and port never change.
  const std::string ConnectionString_;
};

}  // namespace probrix
