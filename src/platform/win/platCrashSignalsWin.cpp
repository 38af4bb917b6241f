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
    const EXCEPTION_RECORD& Record = *Info->ExceptionRecord;
    TCrashSignal Crash;
    Crash.Kind = CrashKindOfException(Record.ExceptionCode);
    Crash.InstructionAddress = reinterpret_cast<std::uintptr_t>(Record.ExceptionAddress);
    // An access violation tells the address it concerned in its second parameter.
    if (Record.ExceptionCode == EXCEPTION_ACCESS_VIOLATION && Record.NumberParameters >= 2)
      Crash.FaultAddress = static_cast<std::uintptr_t>(Record.ExceptionInformation[1]);
    Crash.StackOverflow = Record.ExceptionCode == EXCEPTION_STACK_OVERFLOW;
    hook(Crash);
  }
  // Hand over: the previous filter (or the system's report) as if the hook had never been.
  return PreviousFilter ? PreviousFilter(Info) : EXCEPTION_CONTINUE_SEARCH;
}

void AbortHandler(int Signal) {
  if (const TCrashSignalHook hook = Hook.load()) {
    TCrashSignal Crash;
    Crash.Kind = TCrashKind::crAbort;
    hook(Crash);
  }
  std::signal(Signal, PreviousAbortHandler);
  std::raise(Signal);
}

// Creates every missing folder of Path (a file path) in place, restoring each separator.
void MakeFoldersOf(wchar_t* Path) {
  for (wchar_t* P = Path + 1; *P; ++P) {
    if (*P != L'\\' && *P != L'/') continue;
    if (P[-1] == L':') continue;  // a drive's root
    const wchar_t Separator = *P;
    *P = L'\0';
    ::CreateDirectoryW(Path, nullptr);  // an existing folder fails; a real failure shows at open
    *P = Separator;
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
  ULONG Size = StackGuarantee;
  ::SetThreadStackGuarantee(&Size);
}

TThreadSignalStack::~TThreadSignalStack() = default;

// --- Local time -------------------------------------------------------------------------------

bool TLocalTimeTable::Now(std::int64_t& LocalMilliseconds) const noexcept {
  if (Count_ == 0) return false;
  FILETIME T{};
  ::GetSystemTimeAsFileTime(&T);
  const std::uint64_t Ticks =
      (static_cast<std::uint64_t>(T.dwHighDateTime) << 32) | T.dwLowDateTime;
  const std::int64_t Seconds = static_cast<std::int64_t>(Ticks / 10000000) - EpochDifference;
  LocalMilliseconds =
      (Seconds + UtcOffset(Seconds)) * 1000 + static_cast<std::int64_t>(Ticks % 10000000) / 10000;
  return true;
}

// --- Crash-safe output ------------------------------------------------------------------------

bool SignalSafeAppend(const char* Path, const char* Data, std::size_t Size) noexcept {
  // No allocation: the heap may be what broke.
  wchar_t Wide[1024];
  const std::size_t Length = ::strnlen(Path, sizeof(Wide));
  if (Length == 0 || Length >= std::size(Wide)) return false;
  const int N = ::MultiByteToWideChar(CP_UTF8, 0, Path, static_cast<int>(Length), Wide,
                                      static_cast<int>(std::size(Wide)) - 1);
  if (N <= 0) return false;
  Wide[N] = L'\0';
  MakeFoldersOf(Wide);
  const HANDLE File = OpenFileForAppend(Wide);
  if (File == INVALID_HANDLE_VALUE) return false;
  // Another writer's lock is waited for a short while, then ignored.
  const bool Locked = LockWholeFile(File, LockWaitMs) == 0;
  bool Ok = true;
  while (Ok && Size > 0) {
    DWORD Written = 0;
    const DWORD Chunk = Size > (1u << 30) ? (1u << 30) : static_cast<DWORD>(Size);
    Ok = ::WriteFile(File, Data, Chunk, &Written, nullptr) && Written > 0;
    Data += Written;
    Size -= Written;
  }
  if (Locked) UnlockWholeFile(File);
  ::CloseHandle(File);
  return Ok;
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
