#include "devsim/devsimSimulator.h"

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
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <stdexcept>
#include <system_error>
#include <thread>

namespace probrix::devsim {

std::uint32_t ReadLineSpeed(int Fd);
bool SetLineSpeed(int Fd, std::uint32_t Baud);

namespace {

using TClock = std::chrono::steady_clock;
using TTime = TClock::time_point;
using std::chrono::milliseconds;

constexpr std::size_t kReceivedLimit = 64 * 1024;
constexpr std::size_t kOutputLimit = 4 * 1024 * 1024;
// An OrvatASCII line is dropped rather than queued behind this much unsent output.
constexpr std::size_t kLineBacklogLimit = 256;
// Input waiting on the far side of a pseudo terminal beyond which nobody is reading it.
constexpr int kStaleInputLimit = 2048;
// A lossy port: more than this unread means nobody reads; all but the newest few bytes go.
constexpr int kLossyBacklog = 64;
constexpr int kLossyKeep = 4;
constexpr milliseconds kGap{20};
constexpr milliseconds kStallLimit{250};
constexpr std::size_t kMaxClients = 32;
constexpr int kVanishPauseMs = 50;

[[noreturn]] void ThrowErrno(const std::string& What) {
  throw std::runtime_error(What + ": " + std::strerror(errno));
}

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

enum class TAfter : std::uint8_t { None, CloseLink, Vanish };

struct TSegment {
  int DelayMs = 0;
  TBytes Data;
  TAfter After = TAfter::None;
  bool EndsReply = false;  // the last piece of a reply to a request
  std::size_t Sent = 0;
  bool Started = false;
  TTime Due{};
};

struct TAsciiState {
  TTime Next{};
  bool First = true;
  std::uint32_t Seed = 1;
};

// One byte stream: the pseudo terminal of a port or one accepted TCP connection.
struct TLink {
  int Fd = -1;
  std::map<int, TDeviceListener> Listeners;
  TDeviceListener Gateway;  // a gateway server's own answers
  std::map<int, TAsciiState> Ascii;
  std::deque<TSegment> Out;
  std::size_t OutBytes = 0;
  TTime LastInput{};
  bool GapPending = false;
  TTime WireFreeAt{};
  bool WantWrite = false;
  bool HasStall = false;
  TTime StallSince{};
  bool Broken = false;
};

// Before: another device's frame that goes out ahead of the reply (and its noise).
std::vector<TSegment> MakeSegments(const TBehaviour& B, const TBytes& Reply, bool Serial,
                                   std::uint32_t Seed, const TBytes& Before = {}) {
  TBytes data = B.GarbageBytes > 0 ? GarbageBytes(B.GarbageBytes, Seed) : Reply;
  TAfter after = TAfter::None;
  if (B.VanishMidReply || B.CloseMidReply) {
    data.resize(std::max<std::size_t>(1, data.size() / 2));
    after = (B.VanishMidReply || Serial) ? TAfter::Vanish : TAfter::CloseLink;
  }
  std::vector<TSegment> out;
  int delay = std::max(0, B.DelayMs);
  if (!Before.empty()) {
    out.push_back({delay, Before});
    delay = 0;
  }
  if (B.NoiseBytes > 0) {
    out.push_back({delay, NoiseBytes(B.NoiseBytes, Seed + 11)});
    delay = 0;
  }
  if (B.DripMs >= 0) {
    for (std::size_t i = 0; i < data.size(); ++i) {
      out.push_back({i == 0 ? delay : B.DripMs, data.substr(i, 1)});
    }
  } else if (B.Chunks > 1 && data.size() > 1) {
    const std::size_t pieces =
        std::min<std::size_t>(static_cast<std::size_t>(B.Chunks), data.size());
    std::size_t pos = 0;
    for (std::size_t i = 0; i < pieces; ++i) {
      const std::size_t end = data.size() * (i + 1) / pieces;
      out.push_back({i == 0 ? delay : std::max(0, B.ChunkGapMs), data.substr(pos, end - pos)});
      pos = end;
    }
  } else {
    out.push_back({delay, data});
  }
  if (out.empty()) out.push_back({delay, {}});
  if (after == TAfter::Vanish) {
    // A hang-up discards what the far side of a pseudo terminal has not read yet; an unplugged
    // device goes a moment after its last byte, so that byte can still arrive.
    out.push_back({kVanishPauseMs, {}});
  }
  out.back().After = after;
  return out;
}

}  // namespace

struct TDeviceSlot {
  std::shared_ptr<const TDeviceConfig> Config;
  std::size_t Requests = 0;
};

class TEndpoint {
 public:
  TEndpoint(bool Serial, int Number) : Serial_(Serial), Number_(Number) {
    Wake_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (Wake_ < 0) ThrowErrno("eventfd");
  }
  ~TEndpoint() {
    Stop();
    CloseFd(Wake_);
  }

  // Serial: a pseudo terminal in raw mode with a symlink at Link.
  void OpenSerial(const std::filesystem::path& Link, const TSerialPortConfig& Config) {
    WireTiming_ = Config.WireTiming;
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

  void OpenTcp(const TTcpServerConfig& Config) {
    AcceptThenClose_ = Config.AcceptThenClose;
    Echo_ = Config.Echo;
    Greeting_.assign(Config.Greeting.begin(), Config.Greeting.end());
    if (Config.GatewayException > 0) {
      Gateway_.Kind = TDeviceKind::ModbusTcp;
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

  void Start() {
    Thread_ = std::thread([this] { Run(); });
  }

  void Stop() {
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

  void Vanish() {
    VanishRequested_ = true;
    Poke();
    std::unique_lock lock(Mutex_);
    Changed_.wait(lock, [this] { return !Alive_ || Finished_; });
  }

  void AddDevice(int Id, const TDeviceConfig& Config) {
    {
      std::lock_guard lock(Mutex_);
      Devices_[Id].Config = std::make_shared<const TDeviceConfig>(Config);
    }
    Poke();
  }
  void SetDevice(int Id, const TDeviceConfig& Config) { AddDevice(Id, Config); }

  std::size_t PeakRequestsInProgress() const {
    std::lock_guard lock(Mutex_);
    return PeakInProgress_;
  }

  std::size_t RequestCount(int Id) const {
    std::lock_guard lock(Mutex_);
    auto it = Devices_.find(Id);
    return it == Devices_.end() ? 0 : it->second.Requests;
  }
  TBytes Received() const {
    std::lock_guard lock(Mutex_);
    return Received_;
  }
  void ClearReceived() {
    std::lock_guard lock(Mutex_);
    Received_.clear();
  }
  std::size_t AcceptCount() const {
    std::lock_guard lock(Mutex_);
    return Accepted_;
  }
  bool Alive() const {
    std::lock_guard lock(Mutex_);
    return Alive_;
  }

  bool Serial() const { return Serial_; }
  int Number() const { return Number_; }
  const std::string& Path() const { return Path_; }
  std::uint16_t Port() const { return Port_; }

 private:
  void Poke() {
    if (Wake_ >= 0) {
      const std::uint64_t one = 1;
      [[maybe_unused]] auto n = ::write(Wake_, &one, sizeof one);
    }
  }

  void RemoveLink() {
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

  using TSnapshot = std::vector<std::pair<int, std::shared_ptr<const TDeviceConfig>>>;

  TSnapshot Snapshot() const {
    std::lock_guard lock(Mutex_);
    TSnapshot s;
    s.reserve(Devices_.size());
    for (const auto& [id, slot] : Devices_) s.emplace_back(id, slot.Config);
    return s;
  }

  void CountRequests(int Id, std::size_t N) {
    if (N == 0) return;
    std::lock_guard lock(Mutex_);
    Devices_[Id].Requests += N;
  }

  void Run() {
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

  void AcceptClients() {
    for (;;) {
      int fd = accept4(Listen_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
      if (fd < 0) return;
      {
        std::lock_guard lock(Mutex_);
        ++Accepted_;
      }
      if (AcceptThenClose_ || Links_.size() >= kMaxClients) {
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

  void DropClosedLinks() {
    std::erase_if(Links_, [this](const std::unique_ptr<TLink>& l) {
      const bool gone = l->Fd < 0 || (l->Broken && l->Fd != Master_ && (CloseFd(l->Fd), true));
      if (gone) ForgetReplies(*l);
      return gone;
    });
  }

  // The requests of a link that goes away are answered by nobody: no longer in progress.
  void ForgetReplies(TLink& Link) {
    const auto pending = std::count_if(Link.Out.begin(), Link.Out.end(),
                                       [](const TSegment& Seg) { return Seg.EndsReply; });
    Link.Out.clear();
    std::lock_guard lock(Mutex_);
    InProgress_ -= std::min(InProgress_, static_cast<std::size_t>(pending));
  }

  void ReadLink(TLink& Link, const TSnapshot& Devices, TTime Now) {
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

  void OnInput(TLink& Link, const TSnapshot& Devices, const std::uint8_t* Data, std::size_t Count,
               TTime Now) {
    {
      std::lock_guard lock(Mutex_);
      if (Count >= kReceivedLimit) {
        Received_.assign(Data + Count - kReceivedLimit, Data + Count);
      } else {
        if (Received_.size() + Count > kReceivedLimit) {
          Received_.erase(0, Received_.size() + Count - kReceivedLimit);
        }
        Received_.append(Data, Count);
      }
    }
    if (Echo_) EchoBack(Link, Data, Count);
    const std::uint32_t speed = Serial_ ? ReadLineSpeed(Slave_) : 0;
    std::size_t answered = 0;
    for (const auto& [id, config] : Devices) {
      if (config->Kind == TDeviceKind::OrvatAscii) continue;
      // At another line speed the device hears only garbled bytes.
      if (Serial_ && config->Baud != 0 && speed != config->Baud) continue;
      std::vector<TBytes> replies;
      std::size_t requests = 0;
      Link.Listeners[id].Feed(*config, Serial_, Data, Count, replies, requests);
      CountRequests(id, requests);
      Enqueue(Link, *config, replies);
      answered += requests;
    }
    if (Gateway_.ExceptionCode > 0) {
      // The gateway answers what none of its devices took (a client sends one request at a
      // time, so one read holds at most one request).
      std::vector<TBytes> replies;
      std::size_t requests = 0;
      Link.Gateway.Feed(Gateway_, Serial_, Data, Count, replies, requests);
      if (answered == 0) Enqueue(Link, Gateway_, replies);
    }
    Link.LastInput = Now;
    Link.GapPending = true;
  }

  // The line hears the program's own bytes at once, ahead of every reply that has not begun
  // to go out.
  void EchoBack(TLink& Link, const std::uint8_t* Data, std::size_t Count) {
    if (Link.OutBytes > kOutputLimit) return;
    auto at = Link.Out.begin();
    if (at != Link.Out.end() && at->Sent > 0) ++at;
    Link.Out.insert(at, TSegment{0, TBytes(Data, Count)});
    Link.OutBytes += Count;
  }

  void Enqueue(TLink& Link, const TDeviceConfig& Config, const std::vector<TBytes>& Replies) {
    if (Config.Behaviour.Silent) return;
    const TBytes foreign = UsesMbap(Config.Kind, Serial_) ? TBytes() : ForeignRtuFrame(Config);
    for (const TBytes& reply : Replies) {
      if (Link.OutBytes > kOutputLimit) return;
      std::vector<TSegment> segments =
          MakeSegments(Config.Behaviour, reply, Serial_, ++Seed_, foreign);
      segments.back().EndsReply = true;
      for (TSegment& seg : segments) {
        Link.OutBytes += seg.Data.size();
        Link.Out.push_back(std::move(seg));
      }
      // In progress from now until its last piece has gone out.
      std::lock_guard lock(Mutex_);
      PeakInProgress_ = std::max(PeakInProgress_, ++InProgress_);
    }
  }

  void ServiceTimers(TLink& Link, const TSnapshot& Devices, TTime Now, TTime& Deadline) {
    if (Link.Broken || Link.Fd < 0) return;
    // A quiet line ends pending RTU frames and drops stale partial input.
    if (Link.GapPending) {
      if (Now - Link.LastInput >= kGap) {
        Link.GapPending = false;
        for (const auto& [id, config] : Devices) {
          auto it = Link.Listeners.find(id);
          if (it == Link.Listeners.end()) continue;
          std::vector<TBytes> replies;
          std::size_t requests = 0;
          it->second.Gap(*config, Serial_, replies, requests);
          CountRequests(id, requests);
          Enqueue(Link, *config, replies);
        }
      } else {
        Deadline = std::min(Deadline, Link.LastInput + kGap);
      }
    }
    ServiceTransmitters(Link, Devices, Now, Deadline);
    Flush(Link, Now, Deadline);
    if (Lossy_ && Serial_) DropUnread();
  }

  // What a real line loses while nobody listens: all but the newest few unread bytes.
  void DropUnread() {
    int queued = 0;
    if (ioctl(Slave_, FIONREAD, &queued) != 0 || queued <= kLossyBacklog) return;
    std::uint8_t sink[512];
    for (int drop = queued - kLossyKeep; drop > 0;) {
      const ssize_t n = ::read(Slave_, sink, std::min<std::size_t>(sizeof sink, drop));
      if (n <= 0) return;  // a reader took them first
      drop -= static_cast<int>(n);
    }
  }

  void ServiceTransmitters(TLink& Link, const TSnapshot& Devices, TTime Now, TTime& Deadline) {
    for (const auto& [id, config] : Devices) {
      if (config->Kind != TDeviceKind::OrvatAscii) continue;
      auto [it, fresh] = Link.Ascii.try_emplace(id);
      TAsciiState& st = it->second;
      if (fresh) st.Next = Now + milliseconds(std::max(0, config->Behaviour.DelayMs));
      if (config->IntervalMs <= 0) {
        // Back to back: the next line as soon as everything before it has been written (at
        // the line rate with timing, else at once); the loop looks again within a millisecond.
        if (Now >= st.Next && Link.Out.empty()) TransmitLine(Link, *config, st);
        Deadline = std::min(Deadline, std::max({st.Next, Now + milliseconds(1), Link.WireFreeAt}));
        continue;
      }
      if (Now >= st.Next) {
        const auto interval = milliseconds(config->IntervalMs);
        st.Next += interval;
        if (st.Next <= Now) st.Next = Now + interval;
        TransmitLine(Link, *config, st);
      }
      Deadline = std::min(Deadline, st.Next);
    }
  }

  void TransmitLine(TLink& Link, const TDeviceConfig& Config, TAsciiState& St) {
    const bool first = St.First;
    St.First = false;
    if (Config.Behaviour.Silent) return;
    if (Serial_ && Config.Baud != 0 && ReadLineSpeed(Slave_) != Config.Baud) return;
    if (Serial_) {
      // Nobody reads the port: the bytes would be lost on a real line, so do not let them
      // pile up for the next program that opens it.
      int queued = 0;
      if (ioctl(Slave_, FIONREAD, &queued) == 0 && queued > kStaleInputLimit) {
        tcflush(Slave_, TCIFLUSH);
      }
    }
    if (Link.OutBytes > kLineBacklogLimit) return;
    TBytes line = OrvatAsciiLine(static_cast<std::uint8_t>(Config.Address), Config.Text);
    if (first && Config.StartOffset > 0) {
      line.erase(0,
                 std::min<std::size_t>(static_cast<std::size_t>(Config.StartOffset), line.size()));
    }
    if (line.empty()) return;
    TBehaviour b = Config.Behaviour;
    b.DelayMs = 0;  // the delay postpones the first line, not every line
    for (TSegment& seg : MakeSegments(b, line, Serial_, ++St.Seed)) {
      Link.OutBytes += seg.Data.size();
      Link.Out.push_back(std::move(seg));
    }
  }

  // Writes what is due. Leaves Deadline at the time the next byte may go.
  void Flush(TLink& Link, TTime Now, TTime& Deadline) {
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
        if (WireTiming_ && Serial_) {
          speed = ReadLineSpeed(Slave_);
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
            const auto fits = static_cast<std::size_t>(credit * speed / 10 / 1'000'000'000LL);
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
              std::chrono::nanoseconds(static_cast<std::int64_t>(w) * 10 * 1'000'000'000LL / speed);
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
      if (after == TAfter::CloseLink) {
        ::shutdown(Link.Fd, SHUT_RDWR);
        Link.Broken = true;
        return;
      }
      if (after == TAfter::Vanish) {
        DoVanish();
        return;
      }
    }
  }

  void HandleStall(TLink& Link, TTime Now, TTime& Deadline) {
    if (!Serial_) return;  // a TCP client that does not read only fills its own socket
    if (!Link.HasStall) {
      Link.HasStall = true;
      Link.StallSince = Now;
    } else if (Now - Link.StallSince >= kStallLimit) {
      // Nobody reads the pseudo terminal: a real line would simply lose these bytes.
      tcflush(Slave_, TCIFLUSH);
      Link.HasStall = false;
      Poke();
      return;
    }
    Deadline = std::min(Deadline, Link.StallSince + kStallLimit);
  }

  void DoVanish() {
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

  const bool Serial_;
  const int Number_;
  std::string Path_;
  std::string DevicePath_;
  std::uint16_t Port_ = 0;
  bool WireTiming_ = false;
  bool Lossy_ = false;
  bool Echo_ = false;
  TBytes Greeting_;
  bool AcceptThenClose_ = false;
  TDeviceConfig Gateway_;  // ExceptionCode > 0: the server is a gateway
  int Master_ = -1;
  int Slave_ = -1;
  int Listen_ = -1;
  int Wake_ = -1;
  bool LinkRemoved_ = false;

  // Owned by the endpoint's thread while it runs.
  std::vector<std::unique_ptr<TLink>> Links_;
  bool Gone_ = false;
  std::uint32_t Seed_ = 1;

  std::thread Thread_;
  std::atomic<bool> StopRequested_{false};
  std::atomic<bool> VanishRequested_{false};

  mutable std::mutex Mutex_;
  std::condition_variable Changed_;
  std::map<int, TDeviceSlot> Devices_;
  TBytes Received_;
  std::size_t Accepted_ = 0;
  std::size_t InProgress_ = 0, PeakInProgress_ = 0;
  bool Alive_ = true;
  bool Finished_ = false;
};

TSimulator::TSimulator(std::filesystem::path LinkFolder) : LinkFolder_(std::move(LinkFolder)) {
  if (LinkFolder_.empty()) {
    std::string templ = (std::filesystem::temp_directory_path() / "probrix-devsim-XXXXXX").string();
    if (mkdtemp(templ.data()) == nullptr) ThrowErrno("mkdtemp");
    LinkFolder_ = templ;
    OwnsFolder_ = true;
  } else {
    std::filesystem::create_directories(LinkFolder_);
  }
  LinkFolder_ = std::filesystem::absolute(LinkFolder_);
}

TSimulator::~TSimulator() { Stop(); }

std::string TSimulator::AddSerialPort(const TSerialPortConfig& Config) {
  std::lock_guard lock(Mutex_);
  if (Stopped_) throw std::logic_error("the simulator has stopped");
  const int number = NextPortNumber_++;
  const std::string name = Config.Name.empty() ? "ttySIM" + std::to_string(number) : Config.Name;
  if (name.find('/') != std::string::npos || name == "." || name == "..") {
    throw std::invalid_argument("bad port name: " + name);
  }
  const auto link = LinkFolder_ / name;
  for (const auto& e : Endpoints_) {
    if (e->Serial() && e->Path() == link.string()) {
      throw std::invalid_argument("port name already used: " + name);
    }
  }
  auto endpoint = std::make_unique<TEndpoint>(true, number);
  endpoint->OpenSerial(link, Config);
  endpoint->Start();
  Endpoints_.push_back(std::move(endpoint));
  return link.string();
}

std::uint16_t TSimulator::AddTcpServer(const TTcpServerConfig& Config) {
  std::lock_guard lock(Mutex_);
  if (Stopped_) throw std::logic_error("the simulator has stopped");
  auto endpoint = std::make_unique<TEndpoint>(false, NextPortNumber_++);
  endpoint->OpenTcp(Config);
  endpoint->Start();
  const std::uint16_t port = endpoint->Port();
  Endpoints_.push_back(std::move(endpoint));
  return port;
}

TEndpoint& TSimulator::Find(const std::string& PortPath) const {
  for (const auto& e : Endpoints_) {
    if (e->Serial() && e->Path() == PortPath) return *e;
  }
  throw std::invalid_argument("no simulated port " + PortPath);
}

TEndpoint& TSimulator::Find(std::uint16_t TcpPort) const {
  for (const auto& e : Endpoints_) {
    if (!e->Serial() && e->Port() == TcpPort) return *e;
  }
  throw std::invalid_argument("no simulated server on port " + std::to_string(TcpPort));
}

TEndpoint& TSimulator::FindDevice(int DeviceId) const {
  auto it = DeviceOwners_.find(DeviceId);
  if (it == DeviceOwners_.end()) {
    throw std::invalid_argument("no simulated device " + std::to_string(DeviceId));
  }
  return *it->second;
}

int TSimulator::AddDevice(const std::string& PortPath, const TDeviceConfig& Device) {
  std::lock_guard lock(Mutex_);
  TEndpoint& e = Find(PortPath);
  const int id = NextDeviceId_++;
  DeviceOwners_[id] = &e;
  e.AddDevice(id, Device);
  return id;
}

int TSimulator::AddDevice(std::uint16_t TcpPort, const TDeviceConfig& Device) {
  std::lock_guard lock(Mutex_);
  TEndpoint& e = Find(TcpPort);
  const int id = NextDeviceId_++;
  DeviceOwners_[id] = &e;
  e.AddDevice(id, Device);
  return id;
}

void TSimulator::SetDevice(int DeviceId, const TDeviceConfig& Device) {
  std::lock_guard lock(Mutex_);
  FindDevice(DeviceId).SetDevice(DeviceId, Device);
}

std::size_t TSimulator::RequestCount(int DeviceId) const {
  std::lock_guard lock(Mutex_);
  return FindDevice(DeviceId).RequestCount(DeviceId);
}

TBytes TSimulator::Received(const std::string& PortPath) const {
  std::lock_guard lock(Mutex_);
  return Find(PortPath).Received();
}

TBytes TSimulator::Received(std::uint16_t TcpPort) const {
  std::lock_guard lock(Mutex_);
  return Find(TcpPort).Received();
}

void TSimulator::ClearReceived(const std::string& PortPath) {
  std::lock_guard lock(Mutex_);
  Find(PortPath).ClearReceived();
}

void TSimulator::ClearReceived(std::uint16_t TcpPort) {
  std::lock_guard lock(Mutex_);
  Find(TcpPort).ClearReceived();
}

std::size_t TSimulator::PeakRequestsInProgress(const std::string& PortPath) const {
  std::lock_guard lock(Mutex_);
  return Find(PortPath).PeakRequestsInProgress();
}

std::size_t TSimulator::PeakRequestsInProgress(std::uint16_t TcpPort) const {
  std::lock_guard lock(Mutex_);
  return Find(TcpPort).PeakRequestsInProgress();
}

std::size_t TSimulator::AcceptCount(std::uint16_t TcpPort) const {
  std::lock_guard lock(Mutex_);
  return Find(TcpPort).AcceptCount();
}

void TSimulator::Vanish(const std::string& PortPath) {
  std::lock_guard lock(Mutex_);
  Find(PortPath).Vanish();
}

void TSimulator::Vanish(std::uint16_t TcpPort) {
  std::lock_guard lock(Mutex_);
  Find(TcpPort).Vanish();
}

bool TSimulator::Alive(const std::string& PortPath) const {
  std::lock_guard lock(Mutex_);
  return Find(PortPath).Alive();
}

bool TSimulator::Alive(std::uint16_t TcpPort) const {
  std::lock_guard lock(Mutex_);
  return Find(TcpPort).Alive();
}

void TSimulator::Stop() {
  std::lock_guard lock(Mutex_);
  if (Stopped_) return;
  Stopped_ = true;
  for (auto& e : Endpoints_) e->Stop();
  Endpoints_.clear();
  DeviceOwners_.clear();
  if (OwnsFolder_) {
    std::error_code ec;
    std::filesystem::remove_all(LinkFolder_, ec);
  }
}

}  // namespace probrix::devsim
