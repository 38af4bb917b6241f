#pragma once

// The traffic of a search's latest attempts, kept in memory so that the operator can read the
// exchange of any recent attempt whether or not attempt logs go to files. Bounded by a number of
// attempts and by bytes; the oldest attempts go first.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>

#include "search/uFinderEngineTypes.h"

namespace probrix {

struct TKeptAttempt {
  std::uint64_t Id = 0;
  TSearchAttempt Attempt;
  std::string Text;  // the attempt's log as TSearchLog::Text gives it
};

class TAttemptTrafficStore {
 public:
  static constexpr std::size_t DefaultMaxAttempts = 2000;
  static constexpr std::size_t DefaultMaxBytes = std::size_t{4} << 20;

  explicit TAttemptTrafficStore(std::size_t MaxAttempts = DefaultMaxAttempts,
                                std::size_t MaxBytes = DefaultMaxBytes);

  // Keeps an attempt's log (taken over, not copied) and returns its id, never 0; the oldest
  // attempts are dropped until both bounds hold again.
  std::uint64_t Add(const TSearchAttempt& Attempt, std::string Text);
  // The kept attempt of Id; nullptr when it has been dropped (or never was).
  const TKeptAttempt* Find(std::uint64_t Id) const;
  // The latest kept attempt equal to Attempt among the last few added (a device of another
  // maker is found after the error line that carried its attempt's log); 0 when none.
  std::uint64_t FindRecent(const TSearchAttempt& Attempt) const;
  // Drops every attempt; ids go on from where they were.
  void Clear();

  std::size_t Count() const { return Kept_.size(); }
  std::size_t Bytes() const { return Bytes_; }
  std::size_t MaxAttempts() const { return MaxAttempts_; }
  std::size_t MaxBytes() const { return MaxBytes_; }

 private:
  static std::size_t Cost(const TKeptAttempt& Kept);

  std::size_t MaxAttempts_, MaxBytes_;
  std::deque<TKeptAttempt> Kept_;  // ids ascending without gaps
  std::size_t Bytes_ = 0;
  std::uint64_t NextId_ = 1;
};

}  // namespace probrix
