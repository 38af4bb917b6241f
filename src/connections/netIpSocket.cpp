#include "connections/netIpSocket.h"

#include <cstring>

namespace probrix {

namespace {

std::uint16_t FamilyOf(const TSockAddr& Addr) {
  std::uint16_t family = 0;
  std::memcpy(&family, Addr.data(), sizeof(family));
  return family;
}

// Address field layout of the IPv4 socket address: family, port, address, 8 zero bytes.
constexpr std::size_t PortOffset = 2;
constexpr std::size_t AddressOffset = 4;

}  // namespace

// --- Addresses and endpoints ------------------------------------------------------------

std::string TIPv4Address::ToString() const { return platform::SocketAddressToText(Address); }

std::uint16_t TSocketEndPoint::GetAddressFamily() const { return FamilyOf(SockAddr); }

TIPv4EndPoint::TIPv4EndPoint(const IIPv4Address& Address, std::uint16_t Port) {
  const auto family = static_cast<std::uint16_t>(Address.GetAddressFamily());
  const std::uint16_t port = platform::SocketHostToNetPort(Port);
  const std::uint32_t addr = Address.GetAddress();
  std::memcpy(SockAddr.data(), &family, sizeof(family));
  std::memcpy(SockAddr.data() + PortOffset, &port, sizeof(port));
  std::memcpy(SockAddr.data() + AddressOffset, &addr, sizeof(addr));
}

std::shared_ptr<IIPv4Address> TIPv4EndPoint::GetAddress() const {
  std::uint32_t addr = 0;
  std::memcpy(&addr, SockAddr.data() + AddressOffset, sizeof(addr));
  return std::make_shared<TIPv4Address>(addr);
}

std::uint16_t TIPv4EndPoint::GetPort() const {
  std::uint16_t port = 0;
  std::memcpy(&port, SockAddr.data() + PortOffset, sizeof(port));
  return platform::SocketNetToHostPort(port);
}

std::string TIPv4EndPoint::ToString() const {
  return FormatExceptionMessage("%s:%d", {GetAddress()->ToString(), GetPort()});
}

std::string TIPv6EndPoint::ToString() const {
  std::uint16_t port = 0;
  std::memcpy(&port, SockAddr.data() + PortOffset, sizeof(port));
  return FormatExceptionMessage(
      "[%s]:%d", {platform::SocketIPv6AddressText(SockAddr), platform::SocketNetToHostPort(port)});
}

std::shared_ptr<ISocketEndPoint> CreateEndPoint(const TSockAddr& Addr) {
  if (FamilyOf(Addr) == platform::AddressFamilyIPv4) return std::make_shared<TIPv4EndPoint>(Addr);
  if (FamilyOf(Addr) == platform::AddressFamilyIPv6) return std::make_shared<TIPv6EndPoint>(Addr);
  return std::make_shared<TSocketEndPoint>(Addr);
}

// --- TIpSocket ----------------------------------------------------------------------------

TIpSocket::TIpSocket(std::int32_t AddressFamily, std::int32_t SocketType,
                     std::int32_t ProtocolType) {
  if (const int rc = platform::SocketLibraryStartup(); rc != 0)
    throw CreateSocketError<EWinsockLibraryError>("WSAStartup failed.", rc);
  try {
    InitSocket(AddressFamily, SocketType, ProtocolType);
  } catch (...) {
    // Keep library start and stop balanced when construction fails after the start.
    platform::SocketLibraryCleanup();
    throw;
  }
}

TIpSocket::~TIpSocket() {
  Close(true);
  // A failing library stop has nobody to report to.
  platform::SocketLibraryCleanup();
}

void TIpSocket::InitSocket(std::int32_t AddressFamily, std::int32_t SocketType,
                           std::int32_t ProtocolType) {
  FAddressFamily = AddressFamily;
  FSocketType = SocketType;
  FProtocolType = ProtocolType;
  if (const int rc = platform::SocketCreate(AddressFamily, SocketType, ProtocolType, Handle_);
      rc != 0) {
    throw CreateSocketErrorFmt<ECreateSocketError>(
        "TIpSocket.InitSocket: create socket failed (FAddressFamily=%d, FSocketType=%d, "
        "FProtocolType=%d).",
        {FAddressFamily, FSocketType, FProtocolType}, rc);
  }
}

namespace {
// The resolver has codes and texts of its own, so the message is built here in the usual
// socket-error form rather than from the errno text.
ERetrievingHostAddressError HostAddressError(const std::string& HostName,
                                             const std::string& ErrorText, int Code) {
  const std::string msg = FormatExceptionMessage(
      "TIpSocket.GetHostAddress: Can not retrieve host address by name \"%s\".", {HostName});
  auto E = ERetrievingHostAddressError::Create(
      FormatExceptionMessage("%s (SysErrorMessage: %s (ErrorCode=%d))", {msg, ErrorText, Code}));
  E.ErrorCode = Code;
  return E;
}
}  // namespace

std::shared_ptr<IIPv4Address> TIpSocket::GetHostAddress(const std::string& HostName) {
  std::uint32_t addr = 0;
  std::string errorText;
  if (const int rc = platform::SocketResolveIPv4(HostName, addr, errorText); rc != 0)
    throw HostAddressError(HostName, errorText, rc);
  return std::make_shared<TIPv4Address>(addr);
}

void TIpSocket::Connect(const std::string& HostName, std::uint16_t Port) {
  TSockAddr addr{};
  std::string errorText;
  if (const int rc = platform::SocketResolve(HostName, Port, addr, errorText); rc != 0)
    throw HostAddressError(HostName, errorText, rc);
  if (const std::int32_t family = FamilyOf(addr); family != FAddressFamily) {
    Close(false);
    InitSocket(family, FSocketType, FProtocolType);
  }
  Connect(CreateEndPoint(addr));
}

void TIpSocket::Connect(const IIPv4Address& Address, std::uint16_t Port) {
  Connect(std::make_shared<TIPv4EndPoint>(Address, Port));
}

void TIpSocket::Connect(const std::shared_ptr<ISocketEndPoint>& EndPoint) {
  RemoteEndPoint = EndPoint;
  const int rc = EndPoint ? platform::SocketConnect(Handle_, EndPoint->GetSockAddr(),
                                                    platform::SocketConnectTimeoutMs)
                          : platform::SocketErrInvalidArg;
  if (rc == platform::SocketErrCancelled) Abort();
  if (rc != 0) {
    throw CreateSocketErrorFmt<EConnectOperationRejected>(
        "TIpSocket.Connect: connnect operation rejected (RemoteEP: %s).",
        {EndPoint ? EndPoint->ToString() : std::string()}, rc);
  }
  Connected_ = true;
  SetReadTimeout(ReadTimeout);
  SetWriteTimeout(WriteTimeout);
}

void TIpSocket::Close(bool Shutdown) {
  if (Shutdown) platform::SocketShutdownBoth(Handle_);
  platform::SocketCloseHandle(Handle_);
  Connected_ = false;
  Handle_ = platform::InvalidSocketHandle;
}

std::int32_t TIpSocket::Send(const void* Data, std::int32_t Count) {
  std::int32_t sent = 0;
  const int rc = platform::SocketSend(Handle_, Data, Count, WriteTimeout, sent);
  if (rc == 0) return sent;
  if (rc == platform::SocketErrCancelled) Abort();
  if (rc == platform::SocketErrTimedOut) {
    throw CreateSocketErrorFmt<ETimeoutSocketError>(
        "TIpSocket.Send: Writing operation to \"%s\" was not completed before the write "
        "timeout expired.",
        {RemoteEndPointText()}, rc);
  }
  throw CreateSocketErrorFmt<EInOutSocketError>(
      "TIpSocket.Send: Writing operation to \"%s\" failed.", {RemoteEndPointText()}, rc);
}

std::int32_t TIpSocket::Recieve(void* Buffer, std::int32_t Count) {
  // A zero-byte request would read as an orderly close; there is simply nothing to do.
  if (Count == 0) return 0;
  std::int32_t received = 0;
  const int rc = platform::SocketRecv(Handle_, Buffer, Count, ReadTimeout, received);
  return CheckReceived(rc, received);
}

std::int32_t TIpSocket::RecieveAvailable(void* Buffer, std::int32_t Count) {
  if (Count == 0) return 0;
  std::int32_t received = 0;
  const int rc = platform::SocketRecvAvailable(Handle_, Buffer, Count, received);
  return rc == platform::SocketErrWouldBlock ? 0 : CheckReceived(rc, received);
}

std::int32_t TIpSocket::CheckReceived(int Code, std::int32_t Received) {
  if (Code == 0) {
    if (Received > 0) return Received;
    throw CreateSocketErrorFmt<EInOutSocketError>(
        "TIpSocket.Recieve: Reading operation from \"%s\" was not completed because connection "
        "has been gracefully closed.",
        {RemoteEndPointText()}, 0);
  }
  if (Code == platform::SocketErrCancelled) Abort();
  if (Code == platform::SocketErrTimedOut) {
    throw CreateSocketErrorFmt<ETimeoutSocketError>(
        "TIpSocket.Recieve: Reading operation from \"%s\" was not completed before the read "
        "timeout expired.",
        {RemoteEndPointText()}, Code);
  }
  throw CreateSocketErrorFmt<EInOutSocketError>(
      "TIpSocket.Recieve: Reading operation from \"%s\" failed.", {RemoteEndPointText()}, Code);
}

std::int32_t TIpSocket::GetReadTimeout() {
  if (Connected_) QueryTimeout(platform::TSocketTimeoutKind::Receive);
  return ReadTimeout;
}

std::int32_t TIpSocket::GetWriteTimeout() {
  if (Connected_) QueryTimeout(platform::TSocketTimeoutKind::Send);
  return WriteTimeout;
}

void TIpSocket::QueryTimeout(platform::TSocketTimeoutKind Kind) {
  // The kernel keeps the option in scheduler ticks and reads back a rounded value (123 as
  // 124); the waits are timed here to the millisecond, so the value in force is the one set.
  // The query only proves that the socket still answers.
  std::int32_t kernelValue = 0;
  if (const int rc = platform::SocketGetTimeout(Handle_, Kind, kernelValue); rc != 0) {
    throw CreateSocketErrorFmt<EInOutSocketError>(
        Kind == platform::TSocketTimeoutKind::Receive
            ? "TIpSocket.GetReadTimeout: getsockopt failed (LocalEP: %s, RemoteEP: %s)."
            : "TIpSocket.GetWriteTimeout: getsockopt failed (LocalEP: %s, RemoteEP: %s).",
        {LocalEndPointText(), RemoteEndPointText()}, rc);
  }
}

void TIpSocket::SetReadTimeout(std::int32_t Value) {
  if (Connected_) {
    if (const int rc =
            platform::SocketSetTimeout(Handle_, platform::TSocketTimeoutKind::Receive, Value);
        rc != 0) {
      throw CreateSocketErrorFmt<EInOutSocketError>(
          "TIpSocket.SetReadTimeout: setsockopt failed (new ReadTimeout: %d, LocalEP: %s, "
          "RemoteEP: %s",
          {Value, LocalEndPointText(), RemoteEndPointText()}, rc);
    }
  }
  ReadTimeout = Value;
}

void TIpSocket::SetWriteTimeout(std::int32_t Value) {
  if (Connected_) {
    if (const int rc =
            platform::SocketSetTimeout(Handle_, platform::TSocketTimeoutKind::Send, Value);
        rc != 0) {
      throw CreateSocketErrorFmt<EInOutSocketError>(
          "TIpSocket.SetWriteTimeout: setsockopt failed (new WriteTimeout: %d, LocalEP: %s, "
          "RemoteEP: %s",
          {Value, LocalEndPointText(), RemoteEndPointText()}, rc);
    }
  }
  WriteTimeout = Value;
}

std::int32_t TIpSocket::GetAvailableBytes() {
  if (!Connected_) return 0;
  std::int32_t count = 0;
  if (const int rc = platform::SocketAvailable(Handle_, count); rc != 0) {
    throw CreateSocketErrorFmt<EInOutSocketError>(
        "TIpSocket.GetAvailableBytes: FIONREAD query failed (LocalEP: %s, RemoteEP: %s).",
        {LocalEndPointText(), RemoteEndPointText()}, rc);
  }
  return count;
}

std::shared_ptr<ISocketEndPoint> TIpSocket::GetLocalEndPoint() {
  if (!LocalEndPoint) {
    TSockAddr addr{};
    if (const int rc = platform::SocketLocalAddress(Handle_, addr); rc != 0) {
      throw CreateSocketError<EInOutSocketError>(
          "TIpSocket.GetLocalEndPoint: Can not retrieve local endpoint info", rc);
    }
    // Before the connect the local address is not settled yet, so it is kept only after.
    if (!Connected_) return CreateEndPoint(addr);
    LocalEndPoint = CreateEndPoint(addr);
  }
  return LocalEndPoint;
}

std::shared_ptr<ISocketEndPoint> TIpSocket::GetRemoteEndPoint() {
  if (!RemoteEndPoint) {
    TSockAddr addr{};
    if (const int rc = platform::SocketPeerAddress(Handle_, addr); rc != 0) {
      throw CreateSocketError<EInOutSocketError>(
          "TIpSocket.GetRemoteEndPoint: Can not retrieve remote endpoint info", rc);
    }
    RemoteEndPoint = CreateEndPoint(addr);
  }
  return RemoteEndPoint;
}

namespace {
template <class F>
std::string EndPointText(F&& Get) {
  try {
    const auto ep = Get();
    return ep ? ep->ToString() : std::string();
  } catch (const std::exception& E) {
    return FormatExceptionMessage("Undefined (reason: %s)", {std::string_view(E.what())});
  } catch (...) {
    return "Undefined (reason: unknown)";
  }
}
}  // namespace

std::string TIpSocket::LocalEndPointText() {
  return EndPointText([this] { return GetLocalEndPoint(); });
}

std::string TIpSocket::RemoteEndPointText() {
  return EndPointText([this] { return GetRemoteEndPoint(); });
}

std::unique_ptr<TIpSocket> CreateTcpSocket() {
  return std::make_unique<TIpSocket>(AddressFamilyIPv4, SocketTypeStream, ProtocolTypeTcp);
}

}  // namespace probrix
