#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>

namespace probrix::test {

// Waits until Condition holds or the deadline passes; returns whether it held.
inline bool WaitFor(const std::function<bool()>& Condition,
                    std::chrono::milliseconds Deadline = std::chrono::seconds(10)) {
  const auto end = std::chrono::steady_clock::now() + Deadline;
  while (!Condition()) {
    if (std::chrono::steady_clock::now() >= end) return Condition();
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

// Runs Body and returns the exception of class E it threw; a test failure (and an empty E)
// when it threw nothing.
template <class E, class F>
E Caught(F&& Body) {
  try {
    Body();
  } catch (const E& ex) {
    return ex;
  }
  ADD_FAILURE() << "expected " << E("").ClassName();
  return E("");
}

// A fresh temporary folder, removed with everything in it when the object goes.
class TTempDir {
 public:
  TTempDir();
  ~TTempDir();
  TTempDir(const TTempDir&) = delete;
  TTempDir& operator=(const TTempDir&) = delete;
  const std::filesystem::path& Path() const { return Path_; }

 private:
  std::filesystem::path Path_;
};

}  // namespace probrix::test
