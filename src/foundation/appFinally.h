#pragma once

// The scope guard of the project: runs an action on every exit of a scope, as a finally block
// does (the end of an operation, a stopwatch that must stop, a slot to give back).

#include <utility>

namespace probrix {

template <class F>
class TFinally {
 public:
  explicit TFinally(F Action) : Action_(std::move(Action)) {}
  ~TFinally() { Action_(); }
  TFinally(const TFinally&) = delete;
  TFinally& operator=(const TFinally&) = delete;

 private:
  F Action_;
};

}  // namespace probrix
