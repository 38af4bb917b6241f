#include "foundation/appErrorHooks.h"

#include <atomic>
#include <cstdlib>
#include <mutex>
#include <optional>

#include "foundation/appFixedText.h"
#include "foundation/appLogging.h"
#include "platform/platCrashSignals.h"
#include "platform/platProcess.h"
#include "platform/platRuntime.h"

namespace probrix {

TExceptObjProc ExceptObjProc = nullptr;

namespace {

constexpr char ErrorsLog[] = "app_errors";
constexpr std::size_t DescriptionBuffer = 1024;

constexpr const char* RuntimeErrorNames[] = {"reNone",
                                             "reOutOfMemory",
                                             "reInvalidPtr",
                                             "reDivByZero",
                                             "reRangeError",
                                             "reIntOverflow",
                                             "reInvalidOp",
                                             "reZeroDivide",
                                             "reOverflow",
                                             "reUnderflow",
                                             "reInvalidCast",
                                             "reAccessViolation",
                                             "rePrivInstruction",
                                             "reControlBreak",
                                             "reStackOverflow",
                                             "reVarTypeCast",
                                             "reVarInvalidOp",
                                             "reVarDispatch",
                                             "reVarArrayCreate",
                                             "reVarNotArray",
                                             "reVarArrayBounds",
                                             "reAssertionFailed",
                                             "reExternalException",
                                             "reIntfCastError",
                                             "reSafeCallError"};

enum TRuntimeError : int {
  reDivByZero = 3,
  reIntOverflow = 5,
  reInvalidOp = 6,
  reZeroDivide = 7,
  reOverflow = 8,
  reUnderflow = 9,
  reAccessViolation = 11,
  rePrivInstruction = 12,
  reStackOverflow = 14,
  reAssertionFailed = 21,
  reExternalException = 22,
};

std::mutex HooksLock;
bool Installed = false;
std::terminate_handler OldExceptProc = nullptr;
TExceptObjProc OldExceptObjProc = nullptr;
// The installing (main) thread's alternate signal stack; the other threads make their own.
std::optional<platform::TThreadSignalStack> MainSignalStack;

// Set once an uncaught exception has been logged: the abort that ends the program then is
// part of the same failure and gets no line of its own.
std::atomic<bool> TerminateLogged{false};
// The thread writing a crash line, 0 for none. No thread storage: MinGW emulates it with an
// allocation at a thread's first use, and a crash may have broken the heap or hold its lock.
std::atomic<std::uint32_t> CrashLineWriter{0};
static_assert(std::atomic<std::uint32_t>::is_always_lock_free);
// How long a crash on another thread waits for the line in progress.
constexpr int CrashLineWaitMs = 1000;

// "Неперехваченное исключение (ErrorProc): ErrorCode=<name>, ErrorAddr=0x<address>", built
// without allocation so that a signal handler can use it.
using TRuntimeErrorText = TFixedText<160>;
void BuildRuntimeErrorText(TRuntimeErrorText& Text, int Code, std::uintptr_t Address) noexcept {
  Text.Add("Неперехваченное исключение (ErrorProc): ErrorCode=");
  if (Code >= 0 && Code < static_cast<int>(std::size(RuntimeErrorNames))) {
    Text.Add(RuntimeErrorNames[Code]);
  } else {
    if (Code < 0) Text.Add("-");
    Text.Decimal(Code < 0 ? 0 - static_cast<std::uint64_t>(Code)
                          : static_cast<std::uint64_t>(Code));
  }
  Text.Add(", ErrorAddr=0x").Hex(Address, 8);
}

// Runs inside the signal handler: async-signal-safe calls only.
void CrashHook(const platform::TCrashSignal& Crash) noexcept {
  if (Crash.Kind == platform::TCrashKind::crAbort && TerminateLogged.load()) return;
  // A crash inside the hook on its own thread writes no second line.
  const std::uint32_t self = platform::CurrentThreadId();
  for (int waited = 0;; ++waited) {
    std::uint32_t writer = 0;
    if (CrashLineWriter.compare_exchange_strong(writer, self)) break;
    if (writer == self || waited >= CrashLineWaitMs) return;
    platform::SignalSafeSleep(1);
  }
  const int code = Crash.StackOverflow ? reStackOverflow : RuntimeErrorOfCrash(Crash.Kind);
  TRuntimeErrorText text;
  BuildRuntimeErrorText(text, code, Crash.InstructionAddress);
  WriteAppLogNamedFromSignal(text.View(), ErrorsLog);
  CrashLineWriter.store(0);
}

[[noreturn]] void TerminateHook() {
  try {
    LogUnhandledException(std::current_exception(), platform::FindThrowAddress());
  } catch (...) {
  }
  TerminateLogged.store(true);
  if (OldExceptProc) OldExceptProc();
  std::abort();
}

std::unique_ptr<Exception> ExceptObjHook(platform::TCrashKind Kind, std::uintptr_t Address) {
  if (OldExceptObjProc) return OldExceptObjProc(Kind, Address);
  return std::make_unique<Exception>(
      "Оригинальная процедура для ExceptObjProc не задана (OldExceptObjProc=nil)");
}

// Cuts Text to at most Size bytes without splitting a UTF-8 sequence.
void CutUtf8(std::string& Text, std::size_t Size) {
  if (Text.size() <= Size) return;
  std::size_t end = Size;
  while (end > 0 && (static_cast<unsigned char>(Text[end]) & 0xC0) == 0x80) --end;
  Text.resize(end);
}

}  // namespace

std::string RuntimeErrorName(int Code) {
  if (Code >= 0 && Code < static_cast<int>(std::size(RuntimeErrorNames)))
    return RuntimeErrorNames[Code];
  return std::to_string(Code);
}

int RuntimeErrorOfCrash(platform::TCrashKind Kind) {
  using enum platform::TCrashKind;
  switch (Kind) {
    case crAccessViolation:
    case crBusError:
      return reAccessViolation;
    case crIntegerDivide:
      return reDivByZero;
    case crIntegerOverflow:
      return reIntOverflow;
    case crFloatDivide:
      return reZeroDivide;
    case crFloatOverflow:
      return reOverflow;
    case crFloatUnderflow:
      return reUnderflow;
    case crFloatInvalid:
      return reInvalidOp;
    case crIllegalInstruction:
      return rePrivInstruction;
    case crAbort:
      return reAssertionFailed;
    default:
      return reExternalException;
  }
}

void LogRuntimeError(int Code, std::uintptr_t Address) {
  TRuntimeErrorText text;
  BuildRuntimeErrorText(text, Code, Address);
  WriteAppLogNamed(std::string(text.View()), ErrorsLog, true);
}

std::string UnhandledExceptionDescription(std::exception_ptr E, std::uintptr_t Address) {
  std::string className;
  std::string message;
  if (E) {
    try {
      std::rethrow_exception(E);
    } catch (const std::exception& ex) {
      className = ExceptionClassName(ex);
      message = ex.what();
    } catch (...) {
      // Not an exception object: its type names it, and it has no message.
      const std::type_info* type = platform::CurrentExceptionType();
      className = type ? platform::DemangledTypeName(type->name()) : std::string();
    }
  } else {
    message = "terminate called without an active exception";
  }
  platform::TCodeLocation where;
  std::uintptr_t relative = Address;
  if (platform::LocateCodeAddress(Address, where)) relative = Address - where.ModuleBase;
  const char* point = !message.empty() && message.back() != '.' ? "." : "";
  std::string text;
  try {
    text = Format(
        "Exception %s in module %s at %p.\r\n%s%s\r\n",
        {className, where.ModuleFileName, reinterpret_cast<void*>(relative), message, point});
  } catch (...) {
    text = className + ": " + message;
  }
  CutUtf8(text, DescriptionBuffer);
  return text;
}

void LogUnhandledException(std::exception_ptr E, std::uintptr_t Address) {
  WriteAppLogFmt("Неперехваченное исключение (ExceptProc). Начало обработки...", ErrorsLog, {},
                 true);
  std::string description;
  try {
    description = UnhandledExceptionDescription(E, Address);
  } catch (...) {
  }
  WriteAppLogFmt("Неперехваченное исключение (ExceptProc): %s", ErrorsLog, {description}, true);
}

void InstallErrorHooks() {
  std::lock_guard guard(HooksLock);
  if (Installed) return;
  // A handler needs a stack of its own to report a stack overflow.
  MainSignalStack.emplace();
  platform::InstallCrashSignalHook(CrashHook);
  OldExceptProc = std::set_terminate(TerminateHook);
  OldExceptObjProc = ExceptObjProc;
  ExceptObjProc = ExceptObjHook;
  TerminateLogged.store(false);
  Installed = true;
}

void RemoveErrorHooks() {
  std::lock_guard guard(HooksLock);
  if (!Installed) return;
  platform::RemoveCrashSignalHook();
  std::set_terminate(OldExceptProc);
  ExceptObjProc = OldExceptObjProc;
  OldExceptProc = nullptr;
  OldExceptObjProc = nullptr;
  MainSignalStack.reset();
  Installed = false;
}

bool ErrorHooksInstalled() {
  std::lock_guard guard(HooksLock);
  return Installed;
}

TApplicationLogging::TApplicationLogging(const char* Argv0) {
  InstallErrorHooks();
  InitializeLogging(Argv0);
}

TApplicationLogging::~TApplicationLogging() {
  FinalizeLogging();
  RemoveErrorHooks();
}

}  // namespace probrix
