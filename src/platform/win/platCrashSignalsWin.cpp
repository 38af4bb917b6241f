#include <atomic>
#include <climits>
#include <csignal>
#include <cstring>
#include <iterator>

#include "platform/platCrashSignals.h"
#include "platform/win/platWin.h"

namespace probrix::platform {

namespace {

std::atomic<TCrashSignalHook> Hook{nullptr};
// Written only while no hook is installed; read by the filter and the abort handler.
LPTOP_LEVEL_EXCEPTION_FILTER PreviousFilter = nullptr;
void (*PreviousAbortHandler)(int) = SIG_DFL;

// Room on the stack for the filter after the thread's own stack ran out.
constexpr ULONG StackGuarantee = 64 * 1024;
// How long a crash line waits for another writer's lock on the file.
constexpr int LockWaitMs = 100;

TCrashKind CrashKindOfException(DWORD Code) {
  switch (Code) {
    case EXCEPTION_ACCESS_VIOLATION:
    case EXCEPTION_STACK_OVERFLOW:
    case EXCEPTION_ARRAY_BOUNDS_EXCEEDED:
      return TCrashKind::crAccessViolation;
    case EXCEPTION_IN_PAGE_ERROR:
    case EXCEPTION_DATATYPE_MISALIGNMENT:
      return TCrashKind::crBusError;
    case EXCEPTION_INT_DIVIDE_BY_ZERO:
      return TCrashKind::crIntegerDivide;
    case EXCEPTION_INT_OVERFLOW:
      return TCrashKind::crIntegerOverflow;
    case EXCEPTION_FLT_DIVIDE_BY_ZERO:
      return TCrashKind::crFloatDivide;
    case EXCEPTION_FLT_OVERFLOW:
      return TCrashKind::crFloatOverflow;
    case EXCEPTION_FLT_UNDERFLOW:
      return TCrashKind::crFloatUnderflow;
    case EXCEPTION_FLT_INVALID_OPERATION:
    case EXCEPTION_FLT_DENORMAL_OPERAND:
    case EXCEPTION_FLT_INEXACT_RESULT:
    case EXCEPTION_FLT_STACK_CHECK:
      return TCrashKind::crFloatInvalid;
    case EXCEPTION_ILLEGAL_INSTRUCTION:
    case EXCEPTION_PRIV_INSTRUCTION:
      return TCrashKind::crIllegalInstruction;
    default:
      return TCrashKind::crOther;
  }
}

LONG WINAPI CrashFilter(EXCEPTION_POINTERS* Info) {
  if (const TCrashSignalHook hook = Hook.load(); hook && Info && Info->ExceptionRecord) {
    const EXCEPTION_RECORD& record = *Info->ExceptionRecord;
    TCrashSignal crash;
    crash.Kind = CrashKindOfException(record.ExceptionCode);
    crash.InstructionAddress = reinterpret_cast<std::uintptr_t>(record.ExceptionAddress);
    // An access violation tells the address it concerned in its second parameter.
    if (record.ExceptionCode == EXCEPTION_ACCESS_VIOLATION && record.NumberParameters >= 2)
      crash.FaultAddress = static_cast<std::uintptr_t>(record.ExceptionInformation[1]);
    crash.StackOverflow = record.ExceptionCode == EXCEPTION_STACK_OVERFLOW;
    hook(crash);
  }
  // Hand over: the previous filter (or the system's report) as if the hook had never been.
  return PreviousFilter ? PreviousFilter(Info) : EXCEPTION_CONTINUE_SEARCH;
}

void AbortHandler(int Signal) {
  if (const TCrashSignalHook hook = Hook.load()) {
    TCrashSignal crash;
    crash.Kind = TCrashKind::crAbort;
    hook(crash);
  }
  std::signal(Signal, PreviousAbortHandler);
  std::raise(Signal);
}

// Creates every missing folder of Path (a file path) in place, restoring each separator.
void MakeFoldersOf(wchar_t* Path) {
  for (wchar_t* p = Path + 1; *p; ++p) {
    if (*p != L'\\' && *p != L'/') continue;
    if (p[-1] == L':') continue;  // a drive's root
    const wchar_t separator = *p;
    *p = L'\0';
    ::CreateDirectoryW(Path, nullptr);  // an existing folder fails; a real failure shows at open
    *p = separator;
  }
}

// Seconds since 1601 (the system's file time) and since 1970.
constexpr std::int64_t EpochDifference = 11644473600LL;

}  // namespace

TCrashKind CrashKindOfSignal(int Signal, int /*Code*/) noexcept {
  switch (Signal) {
    case SIGSEGV:
      return TCrashKind::crAccessViolation;
    case SIGFPE:
      return TCrashKind::crFloatInvalid;
    case SIGILL:
      return TCrashKind::crIllegalInstruction;
    case SIGABRT:
      return TCrashKind::crAbort;
    default:
      return TCrashKind::crOther;
  }
}

// --- Crash hooks ------------------------------------------------------------------------------

void InstallCrashSignalHook(TCrashSignalHook NewHook) {
  if (Hook.load()) {
    Hook.store(NewHook);
    return;
  }
  Hook.store(NewHook);
  PreviousFilter = ::SetUnhandledExceptionFilter(CrashFilter);
  PreviousAbortHandler = std::signal(SIGABRT, AbortHandler);
  if (PreviousAbortHandler == SIG_ERR) PreviousAbortHandler = SIG_DFL;
}

void RemoveCrashSignalHook() {
  if (!Hook.load()) return;
  ::SetUnhandledExceptionFilter(PreviousFilter);
  std::signal(SIGABRT, PreviousAbortHandler);
  PreviousFilter = nullptr;
  PreviousAbortHandler = SIG_DFL;
  Hook.store(nullptr);
}

// --- Room for the filter after a stack overflow -----------------------------------------------

TThreadSignalStack::TThreadSignalStack() noexcept {
  // The system keeps this much of the thread's stack back for its exception handling, so the
  // filter still runs when the thread overflows its stack. Nothing to undo at the end.
  ULONG size = StackGuarantee;
  ::SetThreadStackGuarantee(&size);
}

TThreadSignalStack::~TThreadSignalStack() = default;

// --- Local time -------------------------------------------------------------------------------

bool TLocalTimeTable::Now(std::int64_t& LocalMilliseconds) const noexcept {
  if (Count_ == 0) return false;
  FILETIME t{};
  ::GetSystemTimeAsFileTime(&t);
  const std::uint64_t ticks =
      (static_cast<std::uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
  const std::int64_t seconds = static_cast<std::int64_t>(ticks / 10000000) - EpochDifference;
  LocalMilliseconds =
      (seconds + UtcOffset(seconds)) * 1000 + static_cast<std::int64_t>(ticks % 10000000) / 10000;
  return true;
}

// --- Crash-safe output ------------------------------------------------------------------------

bool SignalSafeAppend(const char* Path, const char* Data, std::size_t Size) noexcept {
  // No allocation: the heap may be what broke.
  wchar_t wide[1024];
  const std::size_t length = ::strnlen(Path, sizeof(wide));
  if (length == 0 || length >= std::size(wide)) return false;
  const int n = ::MultiByteToWideChar(CP_UTF8, 0, Path, static_cast<int>(length), wide,
                                      static_cast<int>(std::size(wide)) - 1);
  if (n <= 0) return false;
  wide[n] = L'\0';
  MakeFoldersOf(wide);
  const HANDLE file = OpenFileForAppend(wide);
  if (file == INVALID_HANDLE_VALUE) return false;
  // Another writer's lock is waited for a short while, then ignored.
  const bool locked = LockWholeFile(file, LockWaitMs) == 0;
  bool ok = true;
  while (ok && Size > 0) {
    DWORD written = 0;
    const DWORD chunk = Size > (1u << 30) ? (1u << 30) : static_cast<DWORD>(Size);
    ok = ::WriteFile(file, Data, chunk, &written, nullptr) && written > 0;
    Data += written;
    Size -= written;
  }
  if (locked) UnlockWholeFile(file);
  ::CloseHandle(file);
  return ok;
}

HANDLE OpenFileForAppend(const wchar_t* Path) noexcept {
  // Appending alone writes at the end whatever other writers do; the lock of the writers
  // (LockFileEx) also needs read or write data access on the handle.
  return ::CreateFileW(Path, FILE_READ_DATA | FILE_APPEND_DATA,
                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
}

void SignalSafeSleep(int Ms) noexcept { ::Sleep(Ms < 0 ? 0 : static_cast<DWORD>(Ms)); }

}  // namespace probrix::platform
