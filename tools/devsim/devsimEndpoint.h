#pragma once

// One port or server of the simulator: its byte streams (the pseudo terminal, or the accepted
// TCP connections), the thread that polls them and writes what is due, and the devices on it.
// The transport and the poll loop are in devsimEndpoint.cpp; what the devices answer, when,
// and the faults they inject on the way are in devsimReplies.cpp.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "devsim/devsimDevice.h"
#include "devsim/devsimSimulator.h"

namespace probrix::devsim {

// Line speed of a terminal, any rate (devsimLineSpeed.cpp); 0 / false when the system refuses.
std::uint32_t ReadLineSpeed(int Fd);
bool SetLineSpeed(int Fd, std::uint32_t Baud);

// The character format of a terminal as its flags show it (devsimLineSpeed.cpp). A pseudo
// terminal clears the parity flag and forces 8 data bits whatever the program sets, but keeps
// the odd-parity and two-stop-bit flags.
struct TLineShape {
  int DataBits = 8;
  bool Parity = false;
  bool OddParity = false;
  bool TwoStopBits = false;

  // Whether the line may carry Format ("8O1"): odd parity and stop bits must match; even
  // parity and none differ only where the terminal keeps the parity flag.
  bool Carries(const std::string& Format) const;
  // On the wire per character: start, data, parity (odd or shown), stop bits.
  int BitsPerCharacter() const;
};
bool ReadLineShape(int Fd, TLineShape& Shape);

// std::runtime_error with What and the text of errno.
[[noreturn]] void ThrowErrno(const std::string& What);

using TClock = std::chrono::steady_clock;
using TTime = TClock::time_point;

// What happens once a piece of output has gone out.
enum class TAfter : std::uint8_t { afNone, afCloseLink, afVanish };

// A piece of output: its bytes go out DelayMs after the piece before it has gone.
struct TSegment {
  int DelayMs = 0;
  TBytes Data;
  TAfter After = TAfter::afNone;
  bool EndsReply = false;  // the last piece of a reply to a request
  std::size_t Sent = 0;
  bool Started = false;
  TTime Due{};
};

// An OrvatASCII transmitter's schedule on one link.
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

struct TDeviceSlot {
  std::shared_ptr<const TDeviceConfig> Config;
  std::size_t Requests = 0;
};

// The devices of an endpoint as one round of its loop sees them.
using TSnapshot = std::vector<std::pair<int, std::shared_ptr<const TDeviceConfig>>>;

class TEndpoint {
 public:
  TEndpoint(bool Serial, int Number);
  ~TEndpoint();
  TEndpoint(const TEndpoint&) = delete;
  TEndpoint& operator=(const TEndpoint&) = delete;

  // Serial: a pseudo terminal in raw mode with a symlink at Link.
  void OpenSerial(const std::filesystem::path& Link, const TSerialPortConfig& Config);
  // TCP: a listening socket on 127.0.0.1.
  void OpenTcp(const TTcpServerConfig& Config);
  // Starts the endpoint's thread; Stop ends it and closes every descriptor.
  void Start();
  void Stop();
  // Goes away as an unplugged adapter or a stopped server; returns once it is gone.
  void Vanish();

  void AddDevice(int Id, const TDeviceConfig& Config);
  void SetDevice(int Id, const TDeviceConfig& Config) { AddDevice(Id, Config); }

  std::size_t PeakRequestsInProgress() const;
  std::size_t RequestCount(int Id) const;
  TBytes Received() const;
  void ClearReceived();
  std::size_t AcceptCount() const;
  bool Alive() const;

  bool Serial() const { return Serial_; }
  int Number() const { return Number_; }
  const std::string& Path() const { return Path_; }
  std::uint16_t Port() const { return Port_; }

 private:
  // The transport and the poll loop (devsimEndpoint.cpp).
  void Poke();
  void RemoveLink();
  TSnapshot Snapshot() const;
  void CountRequests(int Id, std::size_t N);
  void Run();
  void AcceptClients();
  void DropClosedLinks();
  void ForgetReplies(TLink& Link);
  void ReadLink(TLink& Link, const TSnapshot& Devices, TTime Now);
  void DropUnread();
  void Flush(TLink& Link, TTime Now, TTime& Deadline);
  void HandleStall(TLink& Link, TTime Now, TTime& Deadline);
  void DoVanish();

  // The devices' replies, their timing and their faults (devsimReplies.cpp).
  void OnInput(TLink& Link, const TSnapshot& Devices, const std::uint8_t* Data, std::size_t Count,
               TTime Now);
  void EchoBack(TLink& Link, const std::uint8_t* Data, std::size_t Count);
  void Enqueue(TLink& Link, const TDeviceConfig& Config, const std::vector<TBytes>& Replies);
  void ServiceTimers(TLink& Link, const TSnapshot& Devices, TTime Now, TTime& Deadline);
  void ServiceTransmitters(TLink& Link, const TSnapshot& Devices, TTime Now, TTime& Deadline);
  void TransmitLine(TLink& Link, const TDeviceConfig& Config, TAsciiState& St);
  // Whether the serial line runs at the device's rate and carries its format; always on TCP.
  bool LineSuits(const TDeviceConfig& Config) const;

  const bool Serial_;
  const int Number_;
  std::string Path_;
  std::string DevicePath_;
  std::uint16_t Port_ = 0;
  bool WireTiming_ = false;
  std::string LineFormat_;  // of the port's devices that name none; empty: any
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

}  // namespace probrix::devsim
