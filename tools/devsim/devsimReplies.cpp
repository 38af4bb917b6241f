// What the devices of an endpoint answer and how: a reply's timing (a delay, byte by byte,
// in chunks), its faults (noise before it, garbage instead of it, a hang-up halfway, another
// device's frame ahead of it), the quiet gap that ends an RTU frame and the OrvatASCII
// transmitters' lines. The endpoint's loop writes the pieces out (devsimEndpoint.cpp).

#include <sys/ioctl.h>
#include <termios.h>

#include <algorithm>

#include "devsim/devsimEndpoint.h"

namespace probrix::devsim {

namespace {

using std::chrono::milliseconds;

constexpr std::size_t ReceivedLimit = 64 * 1024;
constexpr std::size_t OutputLimit = 4 * 1024 * 1024;
// An OrvatASCII line is dropped rather than queued behind this much unsent output.
constexpr std::size_t LineBacklogLimit = 256;
// Input waiting on the far side of a pseudo terminal beyond which nobody is reading it.
constexpr int StaleInputLimit = 2048;
constexpr milliseconds FrameGap{20};
constexpr int VanishPauseMs = 50;

// Before: another device's frame that goes out ahead of the reply (and its noise).
std::vector<TSegment> MakeSegments(const TBehaviour& B, const TBytes& Reply, bool Serial,
                                   std::uint32_t Seed, const TBytes& Before = {}) {
  TBytes data = B.GarbageBytes > 0 ? GarbageBytes(B.GarbageBytes, Seed) : Reply;
  TAfter after = TAfter::afNone;
  if (B.VanishMidReply || B.CloseMidReply) {
    data.resize(std::max<std::size_t>(1, data.size() / 2));
    after = (B.VanishMidReply || Serial) ? TAfter::afVanish : TAfter::afCloseLink;
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
  if (after == TAfter::afVanish) {
    // A hang-up discards what the far side of a pseudo terminal has not read yet; an unplugged
    // device goes a moment after its last byte, so that byte can still arrive.
    out.push_back({VanishPauseMs, {}});
  }
  out.back().After = after;
  return out;
}

}  // namespace

void TEndpoint::OnInput(TLink& Link, const TSnapshot& Devices, const std::uint8_t* Data,
                        std::size_t Count, TTime Now) {
  {
    std::lock_guard lock(Mutex_);
    if (Count >= ReceivedLimit) {
      Received_.assign(Data + Count - ReceivedLimit, Data + Count);
    } else {
      if (Received_.size() + Count > ReceivedLimit) {
        Received_.erase(0, Received_.size() + Count - ReceivedLimit);
      }
      Received_.append(Data, Count);
    }
  }
  if (Echo_) EchoBack(Link, Data, Count);
  const std::uint32_t speed = Serial_ ? ReadLineSpeed(Slave_) : 0;
  std::size_t answered = 0;
  for (const auto& [id, config] : Devices) {
    if (config->Kind == TDeviceKind::dkOrvatAscii) continue;
    // At another line speed or format the device hears only garbled bytes.
    if (Serial_ && config->Baud != 0 && speed != config->Baud) continue;
    if (Serial_ && !LineSuits(*config)) continue;
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
void TEndpoint::EchoBack(TLink& Link, const std::uint8_t* Data, std::size_t Count) {
  if (Link.OutBytes > OutputLimit) return;
  auto at = Link.Out.begin();
  if (at != Link.Out.end() && at->Sent > 0) ++at;
  Link.Out.insert(at, TSegment{0, TBytes(Data, Count)});
  Link.OutBytes += Count;
}

void TEndpoint::Enqueue(TLink& Link, const TDeviceConfig& Config,
                        const std::vector<TBytes>& Replies) {
  if (Config.Behaviour.Silent) return;
  const TBytes foreign = UsesMbap(Config.Kind, Serial_) ? TBytes() : ForeignRtuFrame(Config);
  for (const TBytes& reply : Replies) {
    if (Link.OutBytes > OutputLimit) return;
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

void TEndpoint::ServiceTimers(TLink& Link, const TSnapshot& Devices, TTime Now, TTime& Deadline) {
  if (Link.Broken || Link.Fd < 0) return;
  // A quiet line ends pending RTU frames and drops stale partial input.
  if (Link.GapPending) {
    if (Now - Link.LastInput >= FrameGap) {
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
      Deadline = std::min(Deadline, Link.LastInput + FrameGap);
    }
  }
  ServiceTransmitters(Link, Devices, Now, Deadline);
  Flush(Link, Now, Deadline);
  if (Lossy_ && Serial_) DropUnread();
}

void TEndpoint::ServiceTransmitters(TLink& Link, const TSnapshot& Devices, TTime Now,
                                    TTime& Deadline) {
  for (const auto& [id, config] : Devices) {
    if (config->Kind != TDeviceKind::dkOrvatAscii) continue;
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

bool TEndpoint::LineSuits(const TDeviceConfig& Config) const {
  const std::string& format = Config.LineFormat.empty() ? LineFormat_ : Config.LineFormat;
  if (!Serial_ || format.empty()) return true;
  TLineShape shape;
  return !ReadLineShape(Slave_, shape) || shape.Carries(format);
}

void TEndpoint::TransmitLine(TLink& Link, const TDeviceConfig& Config, TAsciiState& St) {
  const bool first = St.First;
  St.First = false;
  if (Config.Behaviour.Silent) return;
  if (Serial_ && Config.Baud != 0 && ReadLineSpeed(Slave_) != Config.Baud) return;
  if (Serial_ && !LineSuits(Config)) return;
  if (Serial_) {
    // Nobody reads the port: the bytes would be lost on a real line, so do not let them
    // pile up for the next program that opens it.
    int queued = 0;
    if (ioctl(Slave_, FIONREAD, &queued) == 0 && queued > StaleInputLimit) {
      tcflush(Slave_, TCIFLUSH);
    }
  }
  if (Link.OutBytes > LineBacklogLimit) return;
  TBytes line = OrvatAsciiLine(static_cast<std::uint8_t>(Config.Address), Config.Text);
  if (first && Config.StartOffset > 0) {
    line.erase(0, std::min<std::size_t>(static_cast<std::size_t>(Config.StartOffset), line.size()));
  }
  if (line.empty()) return;
  TBehaviour b = Config.Behaviour;
  b.DelayMs = 0;  // the delay postpones the first line, not every line
  for (TSegment& seg : MakeSegments(b, line, Serial_, ++St.Seed)) {
    Link.OutBytes += seg.Data.size();
    Link.Out.push_back(std::move(seg));
  }
}

}  // namespace probrix::devsim
