#pragma once

// Minimal clients of simulated ports and servers, written directly on POSIX calls, so the
// simulator's tests do not depend on the product's transports.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <functional>
#include <stdexcept>
#include <string>

#include "devsim/devsimCodecs.h"

namespace probrix::devsim::test {

using namespace std::chrono_literals;

inline TBytes B(std::initializer_list<std::uint8_t> Values) { return TBytes(Values); }

inline speed_t SpeedConstant(unsigned Baud) {
  switch (Baud) {
    case 1200:
      return B1200;
    case 9600:
      return B9600;
    case 19200:
      return B19200;
    case 115200:
      return B115200;
    default:
      return B9600;
  }
}

// What a read loop ended with.
struct TReadResult {
  TBytes Data;
  bool Closed = false;  // end of stream, hang-up or an I/O error
  int Reads = 0;        // read calls that returned data
};

// Reads from Fd until Done(data) holds, the peer goes away, or the deadline passes.
inline TReadResult ReadUntil(int Fd, const std::function<bool(const TBytes&)>& Done,
                             std::chrono::milliseconds Deadline = 5000ms) {
  TReadResult r;
  const auto end = std::chrono::steady_clock::now() + Deadline;
  while (!Done(r.Data)) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          end - std::chrono::steady_clock::now())
                          .count();
    if (left <= 0) break;
    pollfd p{Fd, POLLIN, 0};
    const int rc = ::poll(&p, 1, static_cast<int>(left));
    if (rc < 0 && errno == EINTR) continue;
    if (rc <= 0) break;
    std::uint8_t buf[8192];
    const ssize_t n = ::read(Fd, buf, sizeof buf);
    if (n > 0) {
      r.Data.append(buf, static_cast<std::size_t>(n));
      ++r.Reads;
      continue;
    }
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
    r.Closed = true;
    break;
  }
  return r;
}

inline TReadResult ReadCount(int Fd, std::size_t Count,
                             std::chrono::milliseconds Deadline = 5000ms) {
  return ReadUntil(
      Fd, [Count](const TBytes& d) { return d.size() >= Count; }, Deadline);
}

// Reads whatever is waiting, without waiting.
inline void Drain(int Fd) {
  std::uint8_t buf[8192];
  while (::read(Fd, buf, sizeof buf) > 0) {
  }
}

inline void WriteAll(int Fd, const TBytes& Data, bool Socket = false) {
  std::size_t done = 0;
  while (done < Data.size()) {
    const ssize_t n = Socket ? ::send(Fd, Data.data() + done, Data.size() - done, MSG_NOSIGNAL)
                             : ::write(Fd, Data.data() + done, Data.size() - done);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
    } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
      pollfd p{Fd, POLLOUT, 0};
      ::poll(&p, 1, 100);
    } else {
      throw std::runtime_error("write failed");
    }
  }
}

// A simulated serial port opened the way the product opens a port (raw, non-blocking).
class TPortClient {
 public:
  explicit TPortClient(const std::string& Path, unsigned Baud = 9600) {
    Fd_ = ::open(Path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (Fd_ < 0) throw std::runtime_error("cannot open " + Path);
    SetBaud(Baud);
  }
  ~TPortClient() {
    if (Fd_ >= 0) ::close(Fd_);
  }
  TPortClient(const TPortClient&) = delete;
  TPortClient& operator=(const TPortClient&) = delete;

  void SetBaud(unsigned Baud) {
    termios tio{};
    tcgetattr(Fd_, &tio);
    cfmakeraw(&tio);
    tio.c_cflag |= CLOCAL | CREAD;
    cfsetspeed(&tio, SpeedConstant(Baud));
    tcsetattr(Fd_, TCSANOW, &tio);
  }
  // Parity and stop bits as a program sets them (PARENB, PARODD, CSTOPB; 0 for 8N1).
  void SetFormat(tcflag_t Flags) {
    termios tio{};
    tcgetattr(Fd_, &tio);
    tio.c_cflag = (tio.c_cflag & ~(PARENB | PARODD | CSTOPB)) | Flags;
    tcsetattr(Fd_, TCSANOW, &tio);
  }
  int Fd() const { return Fd_; }
  void Write(const TBytes& Data) { WriteAll(Fd_, Data); }

 private:
  int Fd_ = -1;
};

class TTcpClient {
 public:
  explicit TTcpClient(std::uint16_t Port) {
    Fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(Port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    Connected_ = ::connect(Fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    ConnectErrno_ = Connected_ ? 0 : errno;
    fcntl(Fd_, F_SETFL, fcntl(Fd_, F_GETFL) | O_NONBLOCK);
  }
  ~TTcpClient() { ::close(Fd_); }
  TTcpClient(const TTcpClient&) = delete;
  TTcpClient& operator=(const TTcpClient&) = delete;

  bool Connected() const { return Connected_; }
  int ConnectErrno() const { return ConnectErrno_; }
  int Fd() const { return Fd_; }
  void Write(const TBytes& Data) { WriteAll(Fd_, Data, true); }

 private:
  int Fd_ = -1;
  bool Connected_ = false;
  int ConnectErrno_ = 0;
};

}  // namespace probrix::devsim::test
