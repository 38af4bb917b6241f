#include "devsim/devsimEndpoint.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pty.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <system_error>

namespace probrix::devsim {

namespace {

using std::chrono::milliseconds;

// A lossy port: more than this unread means nobody reads; all but the newest few bytes go.
constexpr int LossyBacklog = 64;
constexpr int LossyKeep = 4;
constexpr milliseconds StallLimit{250};
constexpr std::size_t MaxClients = 32;

void CloseFd(int& Fd) {
  if (Fd >= 0) {
    ::close(Fd);
    Fd = -1;
  }
}

void SetNonBlocking(int Fd) {
  const int flags = fcntl(Fd, F_GETFL);
  if (flags >= 0) fcntl(Fd, F_SETFL, flags | O_NONBLOCK);
  fcntl(Fd, F_SETFD, FD_CLOEXEC);
}

}  // namespace

void ThrowErrno(const std::string& What) {
  throw std::runtime_error(What + ": " + std::strerror(errno));
}

TEndpoint::TEndpoint(bool Serial, int Number) : Serial_(Serial), Number_(Number) {
  Wake_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (Wake_ < 0) ThrowErrno("eventfd");
}

bool TLineShape::Carries(const std::string& Format) const {
  if (Format.size() != 3) return true;
  const bool odd = Format[1] == 'O', parity = Format[1] != 'N', two = Format[2] == '2';
  if (OddParity != odd || TwoStopBits != two) return false;
  return !Parity || parity;
}

int TLineShape::BitsPerCharacter() const {
  return 1 + DataBits + (Parity || OddParity ? 1 : 0) + (TwoStopBits ? 2 : 1);
}

TEndpoint::~TEndpoint() {
  Stop();
  CloseFd(Wake_);
}

// Serial: a pseudo terminal in raw mode with a symlink at Link.
void TEndpoint::OpenSerial(const std::filesystem::path& Link, const TSerialPortConfig& Config) {
  WireTiming_ = Config.WireTiming;
  LineFormat_ = Config.LineFormat;
  Lossy_ = Config.Lossy;
  Echo_ = Config.Echo;
  char name[256] = {};
  struct termios tio {};
  cfmakeraw(&tio);
  tio.c_cflag |= CLOCAL | CREAD;
  if (openpty(&Master_, &Slave_, name, &tio, nullptr) != 0) ThrowErrno("openpty");
  SetNonBlocking(Master_);
  // Our own description of the far side: a lossy port reads from it without blocking.
  SetNonBlocking(Slave_);
  if (Config.InitialBaud > 0) SetLineSpeed(Slave_, Config.InitialBaud);
  std::error_code ec;
  // A dangling link is left over from a simulator that was killed; a live one may belong to
  // one that still runs, so it is not taken over.
  if (std::filesystem::is_symlink(std::filesystem::symlink_status(Link, ec)) &&
      !std::filesystem::exists(Link, ec)) {
    std::filesystem::remove(Link, ec);
  }
  std::filesystem::create_symlink(name, Link, ec);
  if (ec) {
    CloseFd(Master_);
    CloseFd(Slave_);
    throw std::runtime_error("cannot create the symlink " + Link.string() + ": " + ec.message());
  }
  Path_ = Link.string();
  DevicePath_ = name;
  if (Config.QueuedBytes > 0) {
    // Into the terminal's input queue, where they wait for whoever opens the port.
    const TBytes queued = NoiseBytes(Config.QueuedBytes, 3);
    for (std::size_t done = 0; done < queued.size();) {
      const ssize_t n = ::write(Master_, queued.data() + done, queued.size() - done);
      if (n <= 0) break;
      done += static_cast<std::size_t>(n);
    }
  }
  auto link = std::make_unique<TLink>();
  link->Fd = Master_;
  Links_.push_back(std::move(link));
}

void TEndpoint::OpenTcp(const TTcpServerConfig& Config) {
  AcceptThenClose_ = Config.AcceptThenClose;
  Echo_ = Config.Echo;
  Greeting_.assign(Config.Greeting.begin(), Config.Greeting.end());
  if (Config.GatewayException > 0) {
    Gateway_.Kind = TDeviceKind::dkModbusTcp;
    Gateway_.AnyUnit = true;
    Gateway_.ExceptionCode = Config.GatewayException;
  }
  Listen_ = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (Listen_ < 0) ThrowErrno("socket");
  int one = 1;
  setsockopt(Listen_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(Config.Port);
  if (bind(Listen_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      listen(Listen_, 16) != 0) {
    const int saved = errno;
    CloseFd(Listen_);
    errno = saved;
    ThrowErrno("cannot listen on 127.0.0.1:" + std::to_string(Config.Port));
  }
  socklen_t len = sizeof addr;
  getsockname(Listen_, reinterpret_cast<sockaddr*>(&addr), &len);
  Port_ = ntohs(addr.sin_port);
}

void TEndpoint::Start() {
  Thread_ = std::thread([this] { Run(); });
}

void TEndpoint::Stop() {
  StopRequested_ = true;
  Poke();
  if (Thread_.joinable()) Thread_.join();
  for (auto& link : Links_) {
    if (link->Fd != Master_) CloseFd(link->Fd);
  }
  Links_.clear();
  CloseFd(Master_);
  CloseFd(Slave_);
  CloseFd(Listen_);
  RemoveLink();
  std::lock_guard lock(Mutex_);
  Alive_ = false;
}

void TEndpoint::Vanish() {
  VanishRequested_ = true;
  Poke();
  std::unique_lock lock(Mutex_);
  Changed_.wait(lock, [this] { return !Alive_ || Finished_; });
}

void TEndpoint::AddDevice(int Id, const TDeviceConfig& Config) {
  {
    std::lock_guard lock(Mutex_);
    Devices_[Id].Config = std::make_shared<const TDeviceConfig>(Config);
  }
  Poke();
}

std::size_t TEndpoint::PeakRequestsInProgress() const {
  std::lock_guard lock(Mutex_);
  return PeakInProgress_;
}

std::size_t TEndpoint::RequestCount(int Id) const {
  std::lock_guard lock(Mutex_);
  auto it = Devices_.find(Id);
  return it == Devices_.end() ? 0 : it->second.Requests;
}

TBytes TEndpoint::Received() const {
  std::lock_guard lock(Mutex_);
  return Received_;
}

void TEndpoint::ClearReceived() {
  std::lock_guard lock(Mutex_);
  Received_.clear();
}

std::size_t TEndpoint::AcceptCount() const {
  std::lock_guard lock(Mutex_);
  return Accepted_;
}

bool TEndpoint::Alive() const {
  std::lock_guard lock(Mutex_);
  return Alive_;
}

void TEndpoint::Poke() {
  if (Wake_ >= 0) {
    const std::uint64_t one = 1;
    [[maybe_unused]] auto n = ::write(Wake_, &one, sizeof one);
  }
}

void TEndpoint::RemoveLink() {
  if (!Path_.empty() && !LinkRemoved_) {
    std::error_code ec;
    // Only our own symlink: a file that replaced it in the meantime is left alone.
    if (std::filesystem::is_symlink(std::filesystem::symlink_status(Path_, ec)) &&
        std::filesystem::read_symlink(Path_, ec) == DevicePath_) {
      std::filesystem::remove(Path_, ec);
    }
    LinkRemoved_ = true;
  }
}

TSnapshot TEndpoint::Snapshot() const {
  std::lock_guard lock(Mutex_);
  TSnapshot s;
  s.reserve(Devices_.size());
  for (const auto& [id, slot] : Devices_) s.emplace_back(id, slot.Config);
  return s;
}

void TEndpoint::CountRequests(int Id, std::size_t N) {
  if (N == 0) return;
  std::lock_guard lock(Mutex_);
  Devices_[Id].Requests += N;
}

void TEndpoint::Run() {
  while (!StopRequested_ && !Gone_) {
    if (VanishRequested_) {
      DoVanish();
      break;
    }
    TSnapshot devices = Snapshot();
    TTime now = TClock::now();
    TTime deadline = now + milliseconds(500);
    for (std::size_t i = 0; i < Links_.size() && !Gone_; ++i) {
      ServiceTimers(*Links_[i], devices, now, deadline);
    }
    if (Gone_) break;
    DropClosedLinks();

    std::vector<pollfd> fds;
    fds.push_back({Wake_, POLLIN, 0});
    if (Listen_ >= 0) fds.push_back({Listen_, POLLIN, 0});
    const std::size_t firstLink = fds.size();
    for (auto& link : Links_) {
      // A broken link stays out of the poll (its descriptor would report a hang-up forever).
      short events = POLLIN;
      if (link->WantWrite) events |= POLLOUT;
      fds.push_back({link->Broken ? -1 : link->Fd, events, 0});
    }
    const auto wait = std::chrono::ceil<milliseconds>(deadline - TClock::now()).count();
    const int rc = ::poll(fds.data(), fds.size(), static_cast<int>(std::max<long long>(0, wait)));
    if (rc < 0 && errno != EINTR) break;
    if (rc <= 0) continue;

    if (fds[0].revents & POLLIN) {
      std::uint64_t value;
      while (::read(Wake_, &value, sizeof value) > 0) {
      }
    }
    // Devices added or changed while we waited apply to what arrived meanwhile: a caller
    // that changes a device and then sends a request expects the new behaviour.
    devices = Snapshot();
    now = TClock::now();
    for (std::size_t i = 0; i + firstLink < fds.size() && i < Links_.size(); ++i) {
      const short ev = fds[i + firstLink].revents;
      TLink& link = *Links_[i];
      if (ev & POLLOUT) link.WantWrite = false;
      if (ev & (POLLIN | POLLHUP | POLLERR)) ReadLink(link, devices, now);
      if (Gone_) break;
    }
    if (Gone_) break;
    DropClosedLinks();
    if (Listen_ >= 0 && (fds[1].revents & POLLIN)) AcceptClients();
  }
  for (auto& link : Links_) {
    if (link->Fd != Master_) CloseFd(link->Fd);
  }
  std::lock_guard lock(Mutex_);
  Finished_ = true;
  Changed_.notify_all();
}

void TEndpoint::AcceptClients() {
  for (;;) {
    int fd = accept4(Listen_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) return;
    {
      std::lock_guard lock(Mutex_);
      ++Accepted_;
    }
    if (AcceptThenClose_ || Links_.size() >= MaxClients) {
      ::close(fd);
      continue;
    }
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    auto link = std::make_unique<TLink>();
    link->Fd = fd;
    if (!Greeting_.empty()) {
      link->Out.push_back({0, Greeting_});
      link->OutBytes += Greeting_.size();
    }
    Links_.push_back(std::move(link));
  }
}

void TEndpoint::DropClosedLinks() {
  std::erase_if(Links_, [this](const std::unique_ptr<TLink>& l) {
    const bool gone = l->Fd < 0 || (l->Broken && l->Fd != Master_ && (CloseFd(l->Fd), true));
    if (gone) ForgetReplies(*l);
    return gone;
  });
}

// The requests of a link that goes away are answered by nobody: no longer in progress.
void TEndpoint::ForgetReplies(TLink& Link) {
  const auto pending = std::count_if(Link.Out.begin(), Link.Out.end(),
                                     [](const TSegment& Seg) { return Seg.EndsReply; });
  Link.Out.clear();
  std::lock_guard lock(Mutex_);
  InProgress_ -= std::min(InProgress_, static_cast<std::size_t>(pending));
}

void TEndpoint::ReadLink(TLink& Link, const TSnapshot& Devices, TTime Now) {
  std::uint8_t buf[4096];
  std::size_t total = 0;
  // Bounded per round, so a flooding peer cannot starve the other connections.
  while (total < 64 * 1024) {
    const ssize_t n = ::read(Link.Fd, buf, sizeof buf);
    if (n > 0) {
      total += static_cast<std::size_t>(n);
      OnInput(Link, Devices, buf, static_cast<std::size_t>(n), Now);
      if (Link.Fd < 0 || Gone_) return;
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
    // End of stream or an error: a client went away. A pseudo terminal whose far side we
    // hold open does not hang up; should it fail anyway, stop watching it.
    Link.Broken = true;
    return;
  }
}

// What a real line loses while nobody listens: all but the newest few unread bytes.
void TEndpoint::DropUnread() {
  int queued = 0;
  if (ioctl(Slave_, FIONREAD, &queued) != 0 || queued <= LossyBacklog) return;
  std::uint8_t sink[512];
  for (int drop = queued - LossyKeep; drop > 0;) {
    const ssize_t n = ::read(Slave_, sink, std::min<std::size_t>(sizeof sink, drop));
    if (n <= 0) return;  // a reader took them first
    drop -= static_cast<int>(n);
  }
}

// Writes what is due. Leaves Deadline at the time the next byte may go.
void TEndpoint::Flush(TLink& Link, TTime Now, TTime& Deadline) {
  while (!Link.Out.empty()) {
    TSegment& seg = Link.Out.front();
    if (!seg.Started) {
      seg.Started = true;
      seg.Due = Now + milliseconds(seg.DelayMs);
    }
    if (Now < seg.Due) {
      Deadline = std::min(Deadline, seg.Due);
      return;
    }
    if (seg.Sent < seg.Data.size()) {
      std::size_t n = seg.Data.size() - seg.Sent;
      std::uint32_t speed = 0;
      std::int64_t bits = 10;  // per character: 8N1 unless the line shows another format
      if (WireTiming_ && Serial_) {
        speed = ReadLineSpeed(Slave_);
        TLineShape shape;
        if (ReadLineShape(Slave_, shape)) bits = shape.BitsPerCharacter();
        if (speed > 0) {
          if (Now < Link.WireFreeAt) {
            Deadline = std::min(Deadline, Link.WireFreeAt);
            return;
          }
          // An idle line earns no credit; a late wake-up may catch up with the line rate.
          if (Link.WireFreeAt + milliseconds(10) < Now) Link.WireFreeAt = Now;
          const auto credit = std::chrono::duration_cast<std::chrono::nanoseconds>(
                                  Now - Link.WireFreeAt + milliseconds(2))
                                  .count();
          const auto fits = static_cast<std::size_t>(credit * speed / bits / 1'000'000'000LL);
          n = std::min(n, std::max<std::size_t>(1, fits));
        }
      }
      const ssize_t w = Serial_ ? ::write(Link.Fd, seg.Data.data() + seg.Sent, n)
                                : ::send(Link.Fd, seg.Data.data() + seg.Sent, n, MSG_NOSIGNAL);
      if (w < 0) {
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
          Link.WantWrite = true;
          HandleStall(Link, Now, Deadline);
          return;
        }
        Link.Broken = true;
        return;
      }
      Link.HasStall = false;
      seg.Sent += static_cast<std::size_t>(w);
      Link.OutBytes -= static_cast<std::size_t>(w);
      if (speed > 0) {
        const auto wire =
            std::chrono::nanoseconds(static_cast<std::int64_t>(w) * bits * 1'000'000'000LL / speed);
        Link.WireFreeAt += std::chrono::duration_cast<TClock::duration>(wire);
      }
      continue;
    }
    const TAfter after = seg.After;
    if (seg.EndsReply) {
      std::lock_guard lock(Mutex_);
      if (InProgress_ > 0) --InProgress_;
    }
    Link.Out.pop_front();
    if (after == TAfter::afCloseLink) {
      ::shutdown(Link.Fd, SHUT_RDWR);
      Link.Broken = true;
      return;
    }
    if (after == TAfter::afVanish) {
      DoVanish();
      return;
    }
  }
}

void TEndpoint::HandleStall(TLink& Link, TTime Now, TTime& Deadline) {
  if (!Serial_) return;  // a TCP client that does not read only fills its own socket
  if (!Link.HasStall) {
    Link.HasStall = true;
    Link.StallSince = Now;
  } else if (Now - Link.StallSince >= StallLimit) {
    // Nobody reads the pseudo terminal: a real line would simply lose these bytes.
    tcflush(Slave_, TCIFLUSH);
    Link.HasStall = false;
    Poke();
    return;
  }
  Deadline = std::min(Deadline, Link.StallSince + StallLimit);
}

void TEndpoint::DoVanish() {
  // The links stay in place (callers up the stack may still hold one); the loop ends.
  for (auto& link : Links_) {
    ForgetReplies(*link);
    if (link->Fd != Master_) CloseFd(link->Fd);
    link->Fd = -1;
    link->Broken = true;
  }
  CloseFd(Master_);
  CloseFd(Slave_);
  CloseFd(Listen_);
  RemoveLink();
  Gone_ = true;
  std::lock_guard lock(Mutex_);
  Alive_ = false;
  Changed_.notify_all();
}

}  // namespace probrix::devsim
