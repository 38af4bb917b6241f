#pragma once

// Which connections of a search are searched at the same time: the workers take them in plan
// order, and a connection that reaches a device being searched waits until that search ends.

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace probrix {

// The devices a connection reaches, as texts; two connections that have a text in common
// reach the same device and are never searched at once.
using TDeviceIdentities = std::vector<std::string>;

class TConnectionSchedule {
 public:
  // Gives the identities of connection Index. It runs on the worker about to search that
  // connection, outside the schedule's lock, since it may wait for a name server.
  using TIdentify = std::function<TDeviceIdentities(std::size_t Index)>;

  // Count connections, numbered in plan order. Without Identify no two connections are taken
  // for the same device (for a single worker, which never has two at once).
  TConnectionSchedule(std::size_t Count, TIdentify Identify);

  // The first connection in plan order that nobody has taken and that shares no device with
  // one being searched; waits while every remaining one does. None once every connection has
  // been taken, or as soon as Stopped says so (it is asked under the schedule's lock).
  std::optional<std::size_t> Take(const std::function<bool()>& Stopped);
  // The search of a connection Take gave has ended.
  void Done(std::size_t Index);

 private:
  enum class TState : std::uint8_t { stWaiting, stIdentifying, stSearching, stDone };
  struct TEntry {
    TState State = TState::stWaiting;
    bool Identified = false;
    TDeviceIdentities Identities;
  };

  bool SharesDeviceWithSearched(const TEntry& Entry) const;

  TIdentify Identify_;
  std::mutex Lock_;
  std::condition_variable Changed_;
  std::vector<TEntry> Entries_;
};

}  // namespace probrix
