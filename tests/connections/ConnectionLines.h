#pragma once

// A listener that keeps the lines the connection logger publishes for one connection.

#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "connections/ioDeviceConnection.h"

namespace probrix::test {

// The lines the connection logger publishes for one connection.
class TConnectionLines final : public IConnectionLogListener {
 public:
  explicit TConnectionLines(IDeviceConnection& Connection) : Connection_(Connection) {
    ConnectionLogger().AddListener(this);
  }
  ~TConnectionLines() { ConnectionLogger().RemoveListener(this); }
  void OnLogLine(IDeviceConnection* Connection, std::uint8_t, std::string_view Text,
                 TDateTime) override {
    std::lock_guard guard(Mutex_);
    if (Connection == &Connection_) Lines_.emplace_back(Text);
  }
  std::vector<std::string> Lines() {
    std::lock_guard guard(Mutex_);
    return Lines_;
  }
  void Clear() {
    std::lock_guard guard(Mutex_);
    Lines_.clear();
  }

 private:
  IDeviceConnection& Connection_;
  std::mutex Mutex_;
  std::vector<std::string> Lines_;
};

}  // namespace probrix::test
