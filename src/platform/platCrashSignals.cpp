#include "platform/platCrashSignals.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <ucontext.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <cstring>

#include "platform/platProcess.h"

namespace probrix::platform {

namespace {

constexpr int Signals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT};
constexpr int SignalCount = sizeof(Signals) / sizeof(Signals[0]);

// Written only while no hook is installed; read by the handler.
struct sigaction OldActions[SignalCount];
std::atomic<TCrashSignalHook> Hook{nullptr};

// Enough for the hook, a sanitizer's handler in front of it and the kernel's signal frame.
constexpr std::size_t SignalStackSize = 64 * 1024;

// A fault this close to the stack pointer lies in the stack's guard area: the stack ran out.
constexpr std::uintptr_t StackGuardReach = 64 * 1024;

// How long a crash line waits for another writer's lock on the file: 100 times 1 ms.
constexpr int LockAttempts = 100;

int SignalIndex(int Signal) {
  for (int i = 0; i < SignalCount; ++i)
    if (Signals[i] == Signal) return i;
  return -1;
}

void ReadContext(const void* Context, std::uintptr_t& Instruction, std::uintptr_t& Stack) {
  Instruction = 0;
  Stack = 0;
  if (!Context) return;
  const auto* uc = static_cast<const ucontext_t*>(Context);
#if defined(__x86_64__)
  Instruction = static_cast<std::uintptr_t>(uc->uc_mcontext.gregs[REG_RIP]);
  Stack = static_cast<std::uintptr_t>(uc->uc_mcontext.gregs[REG_RSP]);
#elif defined(__i386__)
  Instruction = static_cast<std::uintptr_t>(uc->uc_mcontext.gregs[REG_EIP]);
  Stack = static_cast<std::uintptr_t>(uc->uc_mcontext.gregs[REG_ESP]);
#elif defined(__aarch64__)
  Instruction = static_cast<std::uintptr_t>(uc->uc_mcontext.pc);
  Stack = static_cast<std::uintptr_t>(uc->uc_mcontext.sp);
#else
  (void)uc;
#endif
}

}  // namespace

TCrashKind CrashKindOfSignal(int Signal, int Code) noexcept {
  switch (Signal) {
    case SIGSEGV:
      return TCrashKind::crAccessViolation;
    case SIGBUS:
      return TCrashKind::crBusError;
    case SIGFPE:
      switch (Code) {
        case FPE_INTDIV:
          return TCrashKind::crIntegerDivide;
        case FPE_INTOVF:
          return TCrashKind::crIntegerOverflow;
        case FPE_FLTDIV:
          return TCrashKind::crFloatDivide;
        case FPE_FLTOVF:
          return TCrashKind::crFloatOverflow;
        case FPE_FLTUND:
          return TCrashKind::crFloatUnderflow;
        default:
          return TCrashKind::crFloatInvalid;
      }
    case SIGILL:
      return TCrashKind::crIllegalInstruction;
    case SIGABRT:
      return TCrashKind::crAbort;
    default:
      return TCrashKind::crOther;
  }
}

namespace {

void CrashSignalHandler(int Signal, siginfo_t* Info, void* Context) {
  const int savedErrno = errno;
  if (const TCrashSignalHook hook = Hook.load()) {
    TCrashSignal crash;
    crash.Kind = CrashKindOfSignal(Signal, Info ? Info->si_code : 0);
    crash.FaultAddress = reinterpret_cast<std::uintptr_t>(Info ? Info->si_addr : nullptr);
    std::uintptr_t stack = 0;
    ReadContext(Context, crash.InstructionAddress, stack);
    if (crash.InstructionAddress == 0) crash.InstructionAddress = crash.FaultAddress;
    if (Signal == SIGSEGV && Info && stack != 0) {
      const std::uintptr_t fault = crash.FaultAddress;
      crash.StackOverflow = fault < stack + StackGuardReach && stack - fault < StackGuardReach;
    }
    hook(crash);
  }
  // Hand over: the previous disposition handles the signal as if the hook had never been.
  if (const int index = SignalIndex(Signal); index >= 0)
    ::sigaction(Signal, &OldActions[index], nullptr);
  // Sent by a process (abort, kill): raised again, delivered once this handler returns. A fault
  // raised by the processor recurs when the instruction is retried.
  if (!Info || Info->si_code <= 0) ::raise(Signal);
  errno = savedErrno;
}

// write() until all of Data is out; false on an error.
bool WriteAll(int Fd, const char* Data, std::size_t Size) {
  while (Size > 0) {
    const ssize_t n = ::write(Fd, Data, Size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    Data += n;
    Size -= static_cast<std::size_t>(n);
  }
  return true;
}

// Creates every missing folder of Path (a file path) in place, restoring each separator.
void MakeFoldersOf(char* Path) {
  for (char* p = Path + 1; *p; ++p) {
    if (*p != '/') continue;
    *p = '\0';
    ::mkdir(Path, 0777);  // an existing folder answers EEXIST; a real failure shows at open
    *p = '/';
  }
}

}  // namespace

// --- Crash signals --------------------------------------------------------------------------

void InstallCrashSignalHook(TCrashSignalHook NewHook) {
  if (Hook.load()) {
    Hook.store(NewHook);
    return;
  }
  struct sigaction action {};
  action.sa_sigaction = CrashSignalHandler;
  action.sa_flags = SA_SIGINFO | SA_ONSTACK;
  sigemptyset(&action.sa_mask);
  Hook.store(NewHook);
  for (int i = 0; i < SignalCount; ++i) ::sigaction(Signals[i], &action, &OldActions[i]);
}

void RemoveCrashSignalHook() {
  if (!Hook.load()) return;
  for (int i = 0; i < SignalCount; ++i) ::sigaction(Signals[i], &OldActions[i], nullptr);
  Hook.store(nullptr);
}

// --- Alternate signal stack -------------------------------------------------------------------

TThreadSignalStack::TThreadSignalStack() noexcept {
  stack_t current{};
  if (::sigaltstack(nullptr, &current) != 0 || !(current.ss_flags & SS_DISABLE)) return;
  const auto page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
  const std::size_t size = SignalStackSize + page;
  void* memory =
      ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
  if (memory == MAP_FAILED) return;
  // A guard page below, so that a handler overflowing this stack faults instead of writing
  // into whatever lies there.
  ::mprotect(memory, page, PROT_NONE);
  stack_t ours{};
  ours.ss_sp = static_cast<char*>(memory) + page;
  ours.ss_size = SignalStackSize;
  if (::sigaltstack(&ours, nullptr) != 0) {
    ::munmap(memory, size);
    return;
  }
  Memory_ = memory;
  Size_ = size;
  Owner_ = CurrentThreadId();
}

TThreadSignalStack::~TThreadSignalStack() {
  // Only the thread that installed the stack can take it down; elsewhere it is left in place.
  if (!Memory_ || Owner_ != CurrentThreadId()) return;
  stack_t off{};
  off.ss_flags = SS_DISABLE;
  if (::sigaltstack(&off, nullptr) == 0) ::munmap(Memory_, Size_);
}

// --- Local time -------------------------------------------------------------------------------

bool TLocalTimeTable::Now(std::int64_t& LocalMilliseconds) const noexcept {
  timespec ts{};
  if (Count_ == 0 || ::clock_gettime(CLOCK_REALTIME, &ts) != 0) return false;
  const std::int64_t seconds = ts.tv_sec;
  LocalMilliseconds = (seconds + UtcOffset(seconds)) * 1000 + ts.tv_nsec / 1000000;
  return true;
}

// --- Signal-safe output -----------------------------------------------------------------------

void SignalSafeSleep(int Ms) noexcept {
  timespec left{Ms / 1000, (Ms % 1000) * 1000000L};
  while (::nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

bool SignalSafeAppend(const char* Path, const char* Data, std::size_t Size) noexcept {
  char path[PATH_MAX];
  const std::size_t length = ::strnlen(Path, sizeof(path));
  if (length == 0 || length >= sizeof(path)) return false;
  std::memcpy(path, Path, length + 1);
  MakeFoldersOf(path);
  int fd;
  do {
    fd = ::open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOCTTY, 0666);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return false;
  // Other writers hold the file only for one append. The crashing thread itself may be one of
  // them, so the wait is bounded.
  for (int attempt = 0; attempt < LockAttempts; ++attempt) {
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0 || errno != EWOULDBLOCK) break;
    SignalSafeSleep(1);
  }
  const bool written = WriteAll(fd, Data, Size);
  ::close(fd);  // also releases the lock
  return written;
}

}  // namespace probrix::platform
