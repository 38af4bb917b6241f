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

std::string TIPv4Address::ToString() const { return platform::SocketAddressToText(Address_); }

std::uint16_t TSocketEndPoint::AddressFamily() const { return FamilyOf(SockAddr_); }

TIPv4EndPoint::TIPv4EndPoint(const IIPv4Address& AAddress, std::uint16_t APort) {
  const auto family = static_cast<std::uint16_t>(AAddress.AddressFamily());
  const std::uint16_t port = platform::SocketHostToNetPort(APort);
  const std::uint32_t addr = AAddress.Address();
  std::memcpy(SockAddr_.data(), &family, sizeof(family));
  std::memcpy(SockAddr_.data() + PortOffset, &port, sizeof(port));
  std::memcpy(SockAddr_.data() + AddressOffset, &addr, sizeof(addr));
}

std::shared_ptr<IIPv4Address> TIPv4EndPoint::Address() const {
  std::uint32_t addr = 0;
  std::memcpy(&addr, SockAddr_.data() + AddressOffset, sizeof(addr));
  return std::make_shared<TIPv4Address>(addr);
}

std::uint16_t TIPv4EndPoint::Port() const {
  std::uint16_t port = 0;
  std::memcpy(&port, SockAddr_.data() + PortOffset, sizeof(port));
  return platform::SocketNetToHostPort(port);
}

std::string TIPv4EndPoint::ToString() const {
  return FormatExceptionMessage("%s:%d", {Address()->ToString(), Port()});
}

std::string TIPv6EndPoint::ToString() const {
  std::uint16_t port = 0;
  std::memcpy(&port, SockAddr_.data() + PortOffset, sizeof(port));
  return FormatExceptionMessage(
      "[%s]:%d", {platform::SocketIPv6AddressText(SockAddr_), platform::SocketNetToHostPort(port)});
}

std::shared_ptr<ISocketEndPoint> CreateEndPoint(const TSockAddr& Addr) {
  if (FamilyOf(Addr) == platform::AddressFamilyIPv4) return std::make_shared<TIPv4EndPoint>(Addr);
  if (FamilyOf(Addr) == platform::AddressFamilyIPv6) return std::make_shared<TIPv6EndPoint>(Addr);
  return std::make_shared<TSocketEndPoint>(Addr);
}

// --- TIpSocket ----------------------------------------------------------------------------

TIpSocket::TIpSocket(std::int32_t AddressFamily, std::int32_t SocketType,
                     std::int32_t ProtocolType) {
  if (const platform::TOsError error = platform::SocketLibraryStartup())
    throw CreateSocketError<EWinsockLibraryError>("WSAStartup failed.", error.Code);
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
  AddressFamily_ = AddressFamily;
  SocketType_ = SocketType;
  ProtocolType_ = ProtocolType;
  if (const platform::TOsError error =
          platform::SocketCreate(AddressFamily, SocketType, ProtocolType, Handle_)) {
    throw CreateSocketErrorFmt<ECreateSocketError>(
        "TIpSocket.InitSocket: create socket failed (FAddressFamily=%d, FSocketType=%d, "
        "FProtocolType=%d).",
        {AddressFamily_, SocketType_, ProtocolType_}, error.Code);
  }
}

namespace {
// The resolver has codes and texts of its own, so the message is built here in the usual
// socket-error form with the resolver's text.
ERetrievingHostAddressError HostAddressError(const std::string& HostName,
                                             const platform::TOsError& Error) {
  const std::string msg = FormatExceptionMessage(
      "TIpSocket.GetHostAddress: Can not retrieve host address by name \"%s\".", {HostName});
  auto e = ERetrievingHostAddressError::Create(FormatExceptionMessage(
      "%s (SysErrorMessage: %s (ErrorCode=%d))", {msg, Error.Text, Error.Code}));
  e.ErrorCode = Error.Code;
  return e;
}
}  // namespace

std::shared_ptr<IIPv4Address> TIpSocket::GetHostAddress(const std::string& HostName) {
  std::uint32_t addr = 0;
  if (const platform::TOsError error = platform::SocketResolveIPv4(HostName, addr))
    throw HostAddressError(HostName, error);
  return std::make_shared<TIPv4Address>(addr);
}

void TIpSocket::Connect(const std::string& HostName, std::uint16_t Port) {
  TSockAddr addr{};
  if (const platform::TOsError error = platform::SocketResolve(HostName, Port, addr))
    throw HostAddressError(HostName, error);
  if (const std::int32_t family = FamilyOf(addr); family != AddressFamily_) {
    Close(false);
    InitSocket(family, SocketType_, ProtocolType_);
  }
  Connect(CreateEndPoint(addr));
}

void TIpSocket::Connect(const IIPv4Address& Address, std::uint16_t Port) {
  Connect(std::make_shared<TIPv4EndPoint>(Address, Port));
}

void TIpSocket::Connect(const std::shared_ptr<ISocketEndPoint>& EndPoint) {
  RemoteEndPoint_ = EndPoint;
  const platform::TOsError error =
      EndPoint
          ? platform::SocketConnect(Handle_, EndPoint->SockAddr(), platform::SocketConnectTimeoutMs)
          : platform::SocketInvalidArgument();
  if (error.Kind == platform::TErrorKind::ekCancelled) Abort();
  if (error) {
    throw CreateSocketErrorFmt<EConnectOperationRejected>(
        "TIpSocket.Connect: connnect operation rejected (RemoteEP: %s).",
        {EndPoint ? EndPoint->ToString() : std::string()}, error.Code);
  }
  Connected_ = true;
  // The options are set once per connection; every later wait is timed against its own
  // deadline here, so a changed timeout costs no call.
  ApplyTimeoutOption(platform::TSocketTimeoutKind::tkReceive, ReadTimeout_);
  ApplyTimeoutOption(platform::TSocketTimeoutKind::tkSend, WriteTimeout_);
}

void TIpSocket::Close(bool Shutdown) {
  if (Shutdown) platform::SocketShutdownBoth(Handle_);
  platform::SocketCloseHandle(Handle_);
  Connected_ = false;
  Handle_ = platform::InvalidSocketHandle;
}

std::int32_t TIpSocket::Send(const void* Data, std::int32_t Count) {
  std::int32_t sent = 0;
  const platform::TOsError error = platform::SocketSend(Handle_, Data, Count, WriteTimeout_, sent);
  if (!error) return sent;
  if (error.Kind == platform::TErrorKind::ekCancelled) Abort();
  if (error.Kind == platform::TErrorKind::ekTimedOut) {
    throw CreateSocketErrorFmt<ETimeoutSocketError>(
        "TIpSocket.Send: Writing operation to \"%s\" was not completed before the write "
        "timeout expired.",
        {RemoteEndPointText()}, error.Code);
  }
  throw CreateSocketErrorFmt<EInOutSocketError>(
      "TIpSocket.Send: Writing operation to \"%s\" failed.", {RemoteEndPointText()}, error.Code);
}

std::int32_t TIpSocket::Recieve(void* Buffer, std::int32_t Count) {
  std::optional<ETimeoutSocketError> timedOut;
  const std::int32_t received = ReceiveOrTimeOut(Buffer, Count, timedOut);
  if (timedOut) throw *timedOut;
  return received;
}

std::int32_t TIpSocket::ReceiveOrTimeOut(void* Buffer, std::int32_t Count,
                                         std::optional<ETimeoutSocketError>& TimedOut) {
  // A zero-byte request would read as an orderly close; there is simply nothing to do.
  if (Count == 0) return 0;
  std::int32_t received = 0;
  const platform::TOsError error =
      platform::SocketRecv(Handle_, Buffer, Count, ReadTimeout_, received);
  if (!error) return received;
  if (error.Kind != platform::TErrorKind::ekTimedOut) FailReceive(error);
  TimedOut = ReceiveTimeout(error);
  return 0;
}

std::int32_t TIpSocket::ReceiveAvailable(void* Buffer, std::int32_t Count) {
  if (Count == 0) return 0;
  std::int32_t received = 0;
  if (const platform::TOsError error =
          platform::SocketRecvAvailable(Handle_, Buffer, Count, received))
    FailReceive(error);
  return received;
}

void TIpSocket::FailReceive(const platform::TOsError& Error) {
  if (Error.Kind == platform::TErrorKind::ekGone && Error.Code == 0) {
    throw CreateSocketErrorFmt<EInOutSocketError>(
        "TIpSocket.Recieve: Reading operation from \"%s\" was not completed because connection "
        "has been gracefully closed.",
        {RemoteEndPointText()}, 0);
  }
  if (Error.Kind == platform::TErrorKind::ekCancelled) Abort();
  if (Error.Kind == platform::TErrorKind::ekTimedOut) throw ReceiveTimeout(Error);
  throw CreateSocketErrorFmt<EInOutSocketError>(
      "TIpSocket.Recieve: Reading operation from \"%s\" failed.", {RemoteEndPointText()},
      Error.Code);
}

ETimeoutSocketError TIpSocket::ReceiveTimeout(const platform::TOsError& Error) {
  return CreateSocketErrorFmt<ETimeoutSocketError>(
      "TIpSocket.Recieve: Reading operation from \"%s\" was not completed before the read "
      "timeout expired.",
      {RemoteEndPointText()}, Error.Code);
}

std::int32_t TIpSocket::ReadTimeout() {
  if (Connected_) QueryTimeout(platform::TSocketTimeoutKind::tkReceive);
  return ReadTimeout_;
}

std::int32_t TIpSocket::WriteTimeout() {
  if (Connected_) QueryTimeout(platform::TSocketTimeoutKind::tkSend);
  return WriteTimeout_;
}

void TIpSocket::QueryTimeout(platform::TSocketTimeoutKind Kind) {
  // The kernel keeps the option in scheduler ticks and reads back a rounded value (123 as
  // 124); the waits are timed here to the millisecond, so the value in force is the one set.
  // The query only proves that the socket still answers.
  std::int32_t kernelValue = 0;
  if (const platform::TOsError error = platform::SocketGetTimeout(Handle_, Kind, kernelValue)) {
    throw CreateSocketErrorFmt<EInOutSocketError>(
        Kind == platform::TSocketTimeoutKind::tkReceive
            ? "TIpSocket.GetReadTimeout: getsockopt failed (LocalEP: %s, RemoteEP: %s)."
            : "TIpSocket.GetWriteTimeout: getsockopt failed (LocalEP: %s, RemoteEP: %s).",
        {LocalEndPointText(), RemoteEndPointText()}, error.Code);
  }
}

void TIpSocket::SetReadTimeout(std::int32_t Value) { ReadTimeout_ = Value; }

void TIpSocket::SetWriteTimeout(std::int32_t Value) { WriteTimeout_ = Value; }

void TIpSocket::ApplyTimeoutOption(platform::TSocketTimeoutKind Kind, std::int32_t Value) {
  // A new socket has no limits: only a value that was set before the connect is worth a call.
  if (Value == 0) return;
  if (const platform::TOsError error = platform::SocketSetTimeout(Handle_, Kind, Value)) {
    throw CreateSocketErrorFmt<EInOutSocketError>(
        Kind == platform::TSocketTimeoutKind::tkReceive
            ? "TIpSocket.SetReadTimeout: setsockopt failed (new ReadTimeout: %d, LocalEP: %s, "
              "RemoteEP: %s"
            : "TIpSocket.SetWriteTimeout: setsockopt failed (new WriteTimeout: %d, LocalEP: %s, "
              "RemoteEP: %s",
        {Value, LocalEndPointText(), RemoteEndPointText()}, error.Code);
  }
}

std::int32_t TIpSocket::AvailableBytes() {
  if (!Connected_) return 0;
  std::int32_t count = 0;
  if (const platform::TOsError error = platform::SocketAvailable(Handle_, count)) {
    throw CreateSocketErrorFmt<EInOutSocketError>(
        "TIpSocket.GetAvailableBytes: FIONREAD query failed (LocalEP: %s, RemoteEP: %s).",
        {LocalEndPointText(), RemoteEndPointText()}, error.Code);
  }
  return count;
}

std::shared_ptr<ISocketEndPoint> TIpSocket::LocalEndPoint() {
  if (!LocalEndPoint_) {
    TSockAddr addr{};
    if (const platform::TOsError error = platform::SocketLocalAddress(Handle_, addr)) {
      throw CreateSocketError<EInOutSocketError>(
          "TIpSocket.GetLocalEndPoint: Can not retrieve local endpoint info", error.Code);
    }
    // Before the connect the local address is not settled yet, so it is kept only after.
    if (!Connected_) return CreateEndPoint(addr);
    LocalEndPoint_ = CreateEndPoint(addr);
  }
  return LocalEndPoint_;
}

std::shared_ptr<ISocketEndPoint> TIpSocket::RemoteEndPoint() {
  if (!RemoteEndPoint_) {
    TSockAddr addr{};
    if (const platform::TOsError error = platform::SocketPeerAddress(Handle_, addr)) {
      throw CreateSocketError<EInOutSocketError>(
          "TIpSocket.GetRemoteEndPoint: Can not retrieve remote endpoint info", error.Code);
    }
    RemoteEndPoint_ = CreateEndPoint(addr);
  }
  return RemoteEndPoint_;
}

namespace {
template <class F>
std::string EndPointText(F&& Get) {
  try {
    const auto ep = Get();
    return ep ? ep->ToString() : std::string();
  } catch (const std::exception& e) {
    return FormatExceptionMessage("Undefined (reason: %s)", {std::string_view(e.what())});
  } catch (...) {
    return "Undefined (reason: unknown)";
  }
}
}  // namespace

std::string TIpSocket::LocalEndPointText() {
  // An endpoint that cannot be found is asked for again next time.
  if (!LocalEndPoint_ || LocalEndPoint_ != LocalTextOf_) {
    LocalText_ = EndPointText([this] { return LocalEndPoint(); });
    LocalTextOf_ = LocalEndPoint_;
  }
  return LocalText_;
}

std::string TIpSocket::RemoteEndPointText() {
  if (!RemoteEndPoint_ || RemoteEndPoint_ != RemoteTextOf_) {
    RemoteText_ = EndPointText([this] { return RemoteEndPoint(); });
    RemoteTextOf_ = RemoteEndPoint_;
  }
  return RemoteText_;
}

std::unique_ptr<TIpSocket> CreateTcpSocket() {
  return std::make_unique<TIpSocket>(AddressFamilyIPv4, SocketTypeStream, ProtocolTypeTcp);
}

}  // namespace probrix
