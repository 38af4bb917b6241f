#include "search/uAttemptTraffic.h"

#include <algorithm>

namespace probrix {

TAttemptTrafficStore::TAttemptTrafficStore(std::size_t MaxAttempts, std::size_t MaxBytes)
    : MaxAttempts_(std::max<std::size_t>(1, MaxAttempts)), MaxBytes_(MaxBytes) {}

std::size_t TAttemptTrafficStore::Cost(const TKeptAttempt& Kept) {
  return sizeof(TKeptAttempt) + Kept.Text.size() + Kept.Attempt.ConnectionName.size();
}

std::uint64_t TAttemptTrafficStore::Add(const TSearchAttempt& Attempt, std::string Text) {
  const std::uint64_t id = NextId_++;
  Kept_.push_back({id, Attempt, std::move(Text)});
  Bytes_ += Cost(Kept_.back());
  while (!Kept_.empty() && (Kept_.size() > MaxAttempts_ || Bytes_ > MaxBytes_)) {
    Bytes_ -= Cost(Kept_.front());
    Kept_.pop_front();
  }
  return id;
}

const TKeptAttempt* TAttemptTrafficStore::Find(std::uint64_t Id) const {
  if (Kept_.empty() || Id < Kept_.front().Id || Id > Kept_.back().Id) return nullptr;
  return &Kept_[static_cast<std::size_t>(Id - Kept_.front().Id)];
}

std::uint64_t TAttemptTrafficStore::FindRecent(const TSearchAttempt& Attempt) const {
  // Other connections' events may come between the two events of one attempt, a few at most.
  constexpr std::size_t LookBack = 64;
  const std::size_t n = std::min(Kept_.size(), LookBack);
  for (std::size_t i = 0; i < n; ++i) {
    const TKeptAttempt& k = Kept_[Kept_.size() - 1 - i];
    if (k.Attempt == Attempt) return k.Id;
  }
  return 0;
}

void TAttemptTrafficStore::Clear() {
  Kept_.clear();
  Bytes_ = 0;
}

}  // namespace probrix
