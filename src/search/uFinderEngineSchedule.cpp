#include "search/uFinderEngineSchedule.h"

#include <algorithm>
#include <utility>

namespace probrix {

TConnectionSchedule::TConnectionSchedule(std::size_t Count, TIdentify Identify)
    : Identify_(std::move(Identify)), Entries_(Count) {
  if (!Identify_)
    for (TEntry& e : Entries_) e.Identified = true;
}

bool TConnectionSchedule::SharesDeviceWithSearched(const TEntry& Entry) const {
  for (const TEntry& other : Entries_) {
    if (other.State != TState::stSearching) continue;
    for (const std::string& id : Entry.Identities)
      if (std::find(other.Identities.begin(), other.Identities.end(), id) != other.Identities.end())
        return true;
  }
  return false;
}

std::optional<std::size_t> TConnectionSchedule::Take(const std::function<bool()>& Stopped) {
  std::unique_lock lock(Lock_);
  for (;;) {
    if (Stopped && Stopped()) return std::nullopt;
    std::optional<std::size_t> next;
    bool anyWaiting = false;
    for (std::size_t i = 0; i < Entries_.size() && !next; ++i) {
      const TEntry& e = Entries_[i];
      if (e.State != TState::stWaiting) continue;
      anyWaiting = true;
      // One not identified yet is taken and checked once its identities are known.
      if (!e.Identified || !SharesDeviceWithSearched(e)) next = i;
    }
    if (!next) {
      if (!anyWaiting) return std::nullopt;
      // Each waiting one shares a device with one being searched: the end of a search
      // changes the picture.
      Changed_.wait(lock);
      continue;
    }
    TEntry& entry = Entries_[*next];
    if (!entry.Identified) {
      entry.State = TState::stIdentifying;
      lock.unlock();
      TDeviceIdentities ids;
      try {
        ids = Identify_(*next);
      } catch (...) {
        // Nothing known about its devices beyond what the others know: it runs as it comes.
      }
      lock.lock();
      entry.Identities = std::move(ids);
      entry.Identified = true;
      if (SharesDeviceWithSearched(entry)) {
        entry.State = TState::stWaiting;  // this worker looks again, and waits if it must
        continue;
      }
    }
    entry.State = TState::stSearching;
    return next;
  }
}

void TConnectionSchedule::Done(std::size_t Index) {
  {
    std::lock_guard guard(Lock_);
    if (Index < Entries_.size()) Entries_[Index].State = TState::stDone;
  }
  Changed_.notify_all();
}

}  // namespace probrix
