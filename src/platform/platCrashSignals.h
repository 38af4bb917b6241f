#pragma once

// What a crash handler needs from the operating system: the crash signals with a hand-over to
// the handlers that were there before, an alternate signal stack per thread (so that a handler
// still runs when a thread's own stack is exhausted), and a few operations that are safe inside
// a signal handler: the local time and appending to a file (platFiles.h writes to standard
// error).
//
// A crash may interrupt any code, the allocator and the C library's own locks included, so
// everything a hook calls must be async-signal-safe: no allocation, no lock that other code
// may hold.

#include <cstddef>
#include <cstdint>
#include <utility>

namespace probrix::platform {

// What went wrong, as the processor or the program itself reported it.
enum class TCrashKind : std::uint8_t {
  crAccessViolation = 0,  // an access to memory the thread may not touch
  crBusError,             // an access the memory system cannot carry out
  crIntegerDivide,        // an integer division by zero
  crIntegerOverflow,
  crFloatDivide,  // a floating-point division by zero
  crFloatOverflow,
  crFloatUnderflow,
  crFloatInvalid,  // any other arithmetic fault
  crIllegalInstruction,
  crAbort,  // the program aborted itself (abort(), a failed assertion)
  crOther,
};

// The kind a POSIX signal and its detail code (si_code) stand for; the crash hook gets it
// already made.
TCrashKind CrashKindOfSignal(int Signal, int Code) noexcept;

// One crash as the hook sees it.
struct TCrashSignal {
  TCrashKind Kind = TCrashKind::crAccessViolation;
  std::uintptr_t FaultAddress = 0;        // the address the fault concerns, 0 if none
  std::uintptr_t InstructionAddress = 0;  // where the thread was, 0 if unknown
  bool StackOverflow = false;             // the fault hit the thread's stack guard
};

// Runs on the failing thread, possibly on its alternate signal stack and possibly several at
// once: only async-signal-safe calls are allowed inside.
using TCrashSignalHook = void (*)(const TCrashSignal& Signal) noexcept;

// Installs Hook for the crash signals (SIGSEGV, SIGBUS, SIGFPE, SIGILL and SIGABRT), saving
// the handlers it replaces. When Hook returns, the saved handler takes the signal over as if the
// hook had never been there (a fault recurs on return, a signal sent by a process is raised again).
void InstallCrashSignalHook(TCrashSignalHook Hook);
// Puts the saved handlers back.
void RemoveCrashSignalHook();

// An alternate signal stack for the calling thread while the object lives. A thread that has
// one already (a sanitizer gives its threads one) keeps it, and the object then does nothing.
class TThreadSignalStack {
 public:
  TThreadSignalStack() noexcept;
  ~TThreadSignalStack();
  TThreadSignalStack(const TThreadSignalStack&) = delete;
  TThreadSignalStack& operator=(const TThreadSignalStack&) = delete;

 private:
  void* Memory_ = nullptr;
  std::size_t Size_ = 0;
  std::uint32_t Owner_ = 0;
};

// A thread body that runs with a TThreadSignalStack: every thread start of the program wraps
// its body in it, std::jthread(WithSignalStack([this] { Run(); })). Arguments (a stop token)
// pass through.
template <class F>
struct TWithSignalStack {
  F Body;
  template <class... A>
  auto operator()(A&&... Args) -> decltype(Body(std::forward<A>(Args)...)) {
    const TThreadSignalStack signalStack;
    return Body(std::forward<A>(Args)...);
  }
};

template <class F>
TWithSignalStack<F> WithSignalStack(F Body) {
  return {std::move(Body)};
}

// The local time zone's offsets from UTC from now until about a year ahead, read in advance
// (the C library's conversion takes a lock) so that a signal handler can tell the local time.
class TLocalTimeTable {
 public:
  // Normal code only.
  void Prepare();
  // Async-signal-safe: the local wall clock as milliseconds since 1970-01-01 00:00 local time.
  // False before Prepare or when the clock cannot be read.
  bool Now(std::int64_t& LocalMilliseconds) const noexcept;
  // Async-signal-safe: seconds east of UTC at the moment UtcSeconds after 1970 (as prepared).
  std::int64_t UtcOffset(std::int64_t UtcSeconds) const noexcept;

 private:
  static constexpr int MaxChanges = 8;
  int Count_ = 0;                             // entries in From_ and Offset_
  std::int64_t From_[MaxChanges + 1] = {};    // UTC seconds from which Offset_ holds
  std::int64_t Offset_[MaxChanges + 1] = {};  // seconds east of UTC
};

// Async-signal-safe: sleeps about Ms milliseconds.
void SignalSafeSleep(int Ms) noexcept;

// Async-signal-safe: appends Size bytes of Data to the file Path (NUL-terminated), creating
// the missing folders of the path and the file. Another writer's advisory lock
// on the file is waited for a short while and then ignored: a line written unserialised is
// better than none. False when the file cannot be opened or written.
bool SignalSafeAppend(const char* Path, const char* Data, std::size_t Size) noexcept;

}  // namespace probrix::platform
