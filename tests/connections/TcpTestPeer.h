#pragma once

// A minimal TCP peer on 127.0.0.1 for socket and connection tests, written directly on POSIX
// sockets so that it shares no code with what it tests.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <stdexcept>
#include <string>

namespace probrix::test {

class TTcpTestPeer {
 public:
  explicit TTcpTestPeer(int Backlog = 8) {
    Listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (Listener_ < 0) throw std::runtime_error("socket");
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(sin);
    if (::bind(Listener_, reinterpret_cast<sockaddr*>(&sin), sizeof(sin)) != 0 ||
        ::listen(Listener_, Backlog) != 0 ||
        ::getsockname(Listener_, reinterpret_cast<sockaddr*>(&sin), &len) != 0) {
      ::close(Listener_);
      throw std::runtime_error("listen");
    }
    Port_ = ntohs(sin.sin_port);
  }
  ~TTcpTestPeer() {
    CloseClient();
    ::close(Listener_);
  }
  TTcpTestPeer(const TTcpTestPeer&) = delete;
  TTcpTestPeer& operator=(const TTcpTestPeer&) = delete;

  std::uint16_t Port() const { return Port_; }

  // Accepts one pending connection, waiting at most DeadlineMs.
  bool Accept(int DeadlineMs = 5000) {
    pollfd pfd{Listener_, POLLIN, 0};
    if (::poll(&pfd, 1, DeadlineMs) != 1) return false;
    CloseClient();
    Client_ = ::accept4(Listener_, nullptr, nullptr, SOCK_CLOEXEC);
    return Client_ >= 0;
  }

  void SendText(const std::string& Text) {
    if (::send(Client_, Text.data(), Text.size(), MSG_NOSIGNAL) !=
        static_cast<ssize_t>(Text.size()))
      throw std::runtime_error("send");
  }

  // Reads Count bytes, or fewer when the deadline passes or the connection ends.
  std::string ReceiveExactly(std::size_t Count, int DeadlineMs = 5000) {
    std::string out;
    while (out.size() < Count) {
      pollfd pfd{Client_, POLLIN, 0};
      if (::poll(&pfd, 1, DeadlineMs) != 1) break;
      char buf[256];
      const std::size_t want = std::min(sizeof(buf), Count - out.size());
      const ssize_t n = ::recv(Client_, buf, want, 0);
      if (n <= 0) break;
      out.append(buf, static_cast<std::size_t>(n));
    }
    return out;
  }

  // Whether the accepted connection was closed by the other side (within the deadline).
  bool ClientClosedByPeer(int DeadlineMs = 5000) {
    pollfd pfd{Client_, POLLIN, 0};
    if (::poll(&pfd, 1, DeadlineMs) != 1) return false;
    char c;
    return ::recv(Client_, &c, 1, MSG_PEEK) == 0;
  }

  void CloseClient() {
    if (Client_ >= 0) ::close(Client_);
    Client_ = -1;
  }

 private:
  int Listener_ = -1;
  int Client_ = -1;
  std::uint16_t Port_ = 0;
};

}  // namespace probrix::test
