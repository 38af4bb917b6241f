#pragma once

// A thin object wrapper around one blocking stream socket (IPv4, or IPv6 where the host named
// is an IPv6 address), and the small address value objects used to pass endpoints around and
// to print them in messages. Every failure becomes an exception of the ESocketError family
// carrying the platform's error code.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "foundation/ioExceptions.h"
#include "platform/platSockets.h"

namespace probrix {

// Socket address: family (16-bit, host order) followed by the bytes of the family; an IPv4
// address takes the first 16 bytes.
using TSockAddr = platform::TSockAddrBytes;

inline constexpr std::int32_t AddressFamilyIPv4 = 2;
inline constexpr std::int32_t SocketTypeStream = 1;
inline constexpr std::int32_t ProtocolTypeTcp = 6;

class IIPv4Address {
 public:
  virtual ~IIPv4Address() = default;
  // The address in network byte order.
  virtual std::uint32_t Address() const = 0;
  virtual std::int32_t AddressFamily() const = 0;
  // Dotted decimal text.
  virtual std::string ToString() const = 0;
};

class TIPv4Address : public IIPv4Address {
 public:
  explicit TIPv4Address(std::uint32_t AddressNetworkOrder) : Address_(AddressNetworkOrder) {}
  std::uint32_t Address() const override { return Address_; }
  std::int32_t AddressFamily() const override { return AddressFamily_; }
  std::string ToString() const override;

 private:
  std::uint32_t Address_ = 0;
  std::int32_t AddressFamily_ = AddressFamilyIPv4;
};

class ISocketEndPoint {
 public:
  virtual ~ISocketEndPoint() = default;
  virtual std::uint16_t AddressFamily() const = 0;
  virtual TSockAddr SockAddr() const = 0;
  virtual std::string ToString() const = 0;
};

class IIPv4EndPoint : public virtual ISocketEndPoint {
 public:
  virtual std::shared_ptr<IIPv4Address> Address() const = 0;
  // The port in host byte order.
  virtual std::uint16_t Port() const = 0;
};

// Any socket address; prints as the empty text.
class TSocketEndPoint : public virtual ISocketEndPoint {
 public:
  explicit TSocketEndPoint(const TSockAddr& Addr) : SockAddr_(Addr) {}
  std::uint16_t AddressFamily() const override;
  TSockAddr SockAddr() const override { return SockAddr_; }
  std::string ToString() const override { return {}; }

 protected:
  TSocketEndPoint() { SockAddr_.fill(0); }
  TSockAddr SockAddr_{};
};

// An IPv4 address with a port; prints as "192.168.1.20:502".
class TIPv4EndPoint : public TSocketEndPoint, public IIPv4EndPoint {
 public:
  TIPv4EndPoint(const IIPv4Address& AAddress, std::uint16_t APort);
  // From a 16-byte address in the IPv4 layout.
  explicit TIPv4EndPoint(const TSockAddr& Addr) : TSocketEndPoint(Addr) {}
  std::uint16_t AddressFamily() const override { return TSocketEndPoint::AddressFamily(); }
  TSockAddr SockAddr() const override { return SockAddr_; }
  std::string ToString() const override;
  std::shared_ptr<IIPv4Address> Address() const override;
  std::uint16_t Port() const override;
};

// An IPv6 address with a port; prints as "[fe80::1%eth0]:502", the form the endpoint texts
// use.
class TIPv6EndPoint : public TSocketEndPoint {
 public:
  explicit TIPv6EndPoint(const TSockAddr& Addr) : TSocketEndPoint(Addr) {}
  std::string ToString() const override;
};

// A TIPv4EndPoint or TIPv6EndPoint by the family field, else a TSocketEndPoint; a copy of Addr.
std::shared_ptr<ISocketEndPoint> CreateEndPoint(const TSockAddr& Addr);

// One stream socket with one owner, used by one thread at a time. A connect is bounded by
// platform::SocketConnectTimeoutMs.
class TIpSocket {
 public:
  TIpSocket(std::int32_t AddressFamily, std::int32_t SocketType, std::int32_t ProtocolType);
  ~TIpSocket();
  TIpSocket(const TIpSocket&) = delete;
  TIpSocket& operator=(const TIpSocket&) = delete;

  void InitSocket(std::int32_t AddressFamily, std::int32_t SocketType, std::int32_t ProtocolType);

  std::shared_ptr<IIPv4Address> GetHostAddress(const std::string& HostName);
  // Resolves HostName (IPv4 first, else IPv6) and connects; a socket of the other family is
  // made anew for the address found.
  void Connect(const std::string& HostName, std::uint16_t Port);
  void Connect(const IIPv4Address& Address, std::uint16_t Port);
  void Connect(const std::shared_ptr<ISocketEndPoint>& EndPoint);
  // Never fails; may be called again.
  void Close(bool Shutdown);
  bool Connected() const { return Connected_; }

  // Sends all Count bytes within WriteTimeout for the whole buffer (0: no limit) and returns
  // Count. A receive waits at most ReadTimeout and returns 1..Count bytes. A set cancel event
  // of the calling thread (platCancel.h) ends a connect, send or receive with EAbort.
  std::int32_t Send(const void* Data, std::int32_t Count);
  std::int32_t Recieve(void* Buffer, std::int32_t Count);
  // As Recieve, except that a timeout is not thrown: 0 comes back and TimedOut holds the
  // exception Recieve would have thrown, for the caller to put into its own.
  std::int32_t ReceiveOrTimeOut(void* Buffer, std::int32_t Count,
                                std::optional<ETimeoutSocketError>& TimedOut);
  // What has already arrived (at most Count bytes), without waiting; 0 when nothing has.
  std::int32_t ReceiveAvailable(void* Buffer, std::int32_t Count);

  // The values last set: the waits are timed to the millisecond whatever the kernel rounds.
  // The socket's options get the values set before the connect, once; later values only
  // govern the waits.
  std::int32_t ReadTimeout();
  void SetReadTimeout(std::int32_t Value);
  std::int32_t WriteTimeout();
  void SetWriteTimeout(std::int32_t Value);

  std::int32_t AvailableBytes();

  std::shared_ptr<ISocketEndPoint> LocalEndPoint();
  std::shared_ptr<ISocketEndPoint> RemoteEndPoint();
  // For messages: never fail ("Undefined (reason: ...)").
  std::string LocalEndPointText();
  std::string RemoteEndPointText();

  platform::TSocketHandle Handle() const { return Handle_; }

 private:
  // Throws the exception of a failed receive (EAbort when it was cancelled).
  [[noreturn]] void FailReceive(const platform::TOsError& Error);
  ETimeoutSocketError ReceiveTimeout(const platform::TOsError& Error);
  void QueryTimeout(platform::TSocketTimeoutKind Kind);
  void ApplyTimeoutOption(platform::TSocketTimeoutKind Kind, std::int32_t Value);

  platform::TSocketHandle Handle_ = platform::InvalidSocketHandle;
  bool Connected_ = false;
  std::int32_t AddressFamily_ = 0;
  std::int32_t SocketType_ = 0;
  std::int32_t ProtocolType_ = 0;
  std::int32_t ReadTimeout_ = 0;
  std::int32_t WriteTimeout_ = 0;
  std::shared_ptr<ISocketEndPoint> LocalEndPoint_;
  std::shared_ptr<ISocketEndPoint> RemoteEndPoint_;
  // The endpoints' texts, made once per endpoint: every failure message names them.
  std::shared_ptr<ISocketEndPoint> LocalTextOf_, RemoteTextOf_;
  std::string LocalText_, RemoteText_;
};

// The socket of a TCP connection: IPv4, stream, TCP.
std::unique_ptr<TIpSocket> CreateTcpSocket();

}  // namespace probrix
