#pragma once

// An independent Modbus TCP server on a loopback address (127.0.0.1 unless told) built on
// libmodbus, so that our framing is checked against a peer we did not write. It answers one unit
// identifier from its holding registers and stays silent for every other unit. One client at a
// time, on its own thread.

#include <modbus.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <stdexcept>
#include <thread>
#include <vector>

namespace probrix::test {

class TLibmodbusTcpServer {
 public:
  // Registers FirstRegister.. hold Registers. Host and Port: where it listens (0: any port).
  TLibmodbusTcpServer(std::uint8_t Unit, std::uint16_t FirstRegister,
                      const std::vector<std::uint16_t>& Registers, const char* Host = "127.0.0.1",
                      int Port = 0)
      : Unit_(Unit) {
    Ctx_ = modbus_new_tcp(Host, Port);
    if (Ctx_ == nullptr) throw std::runtime_error("modbus_new_tcp");
    Map_ = modbus_mapping_new_start_address(0, 0, 0, 0, FirstRegister,
                                            static_cast<unsigned>(Registers.size()), 0, 0);
    if (Map_ == nullptr) throw std::runtime_error("modbus_mapping_new_start_address");
    for (std::size_t i = 0; i < Registers.size(); ++i) Map_->tab_registers[i] = Registers[i];
    Listener_ = modbus_tcp_listen(Ctx_, 1);
    if (Listener_ < 0) throw std::runtime_error("modbus_tcp_listen");
    sockaddr_in sin{};
    socklen_t len = sizeof(sin);
    if (::getsockname(Listener_, reinterpret_cast<sockaddr*>(&sin), &len) != 0)
      throw std::runtime_error("getsockname");
    Port_ = ntohs(sin.sin_port);
    Thread_ = std::thread([this] { Run(); });
  }

  ~TLibmodbusTcpServer() {
    Stop_ = true;
    Thread_.join();
    modbus_close(Ctx_);
    ::close(Listener_);
    modbus_mapping_free(Map_);
    modbus_free(Ctx_);
  }

  TLibmodbusTcpServer(const TLibmodbusTcpServer&) = delete;
  TLibmodbusTcpServer& operator=(const TLibmodbusTcpServer&) = delete;

  std::uint16_t Port() const { return Port_; }
  int RequestsAnswered() const { return Answered_; }
  int RequestsIgnored() const { return Ignored_; }

 private:
  // Waits for Fd to become readable, waking often enough to see a stop request.
  bool WaitReadable(int Fd) {
    while (!Stop_) {
      pollfd pfd{Fd, POLLIN, 0};
      if (::poll(&pfd, 1, 10) == 1) return true;
    }
    return false;
  }

  void Run() {
    int listener = Listener_;
    while (WaitReadable(Listener_)) {
      if (modbus_tcp_accept(Ctx_, &listener) < 0) continue;
      const int client = modbus_get_socket(Ctx_);
      std::uint8_t query[MODBUS_TCP_MAX_ADU_LENGTH];
      while (WaitReadable(client)) {
        const int n = modbus_receive(Ctx_, query);
        if (n < 0) break;  // the client went away
        if (n == 0) continue;
        // Byte 6 of the MBAP frame is the unit identifier; a TCP server of libmodbus would
        // answer any unit, so the filter makes other units silent like absent devices.
        if (query[6] == Unit_) {
          modbus_reply(Ctx_, query, n, Map_);
          ++Answered_;
        } else {
          ++Ignored_;
        }
      }
      modbus_close(Ctx_);
    }
  }

  const std::uint8_t Unit_;
  modbus_t* Ctx_ = nullptr;
  modbus_mapping_t* Map_ = nullptr;
  int Listener_ = -1;
  std::uint16_t Port_ = 0;
  std::atomic<bool> Stop_{false};
  std::atomic<int> Answered_{0};
  std::atomic<int> Ignored_{0};
  std::thread Thread_;
};

}  // namespace probrix::test
