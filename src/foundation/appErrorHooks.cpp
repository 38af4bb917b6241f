#include "foundation/appErrorHooks.h"

#include <cxxabi.h>
#include <signal.h>
#include <ucontext.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "foundation/appLogging.h"
#include "platform/platProcess.h"

namespace probrix {

TExceptObjProc ExceptObjProc = nullptr;

namespace {

constexpr char kErrorsLog[] = "app_errors";
constexpr std::size_t kDescriptionBuffer = 1024;
constexpr std::size_t kAltStackSize = 256 * 1024;

constexpr const char* kRuntimeErrorNames[] = {"reNone",
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

constexpr int kSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT};
constexpr int kSignalCount = sizeof(kSignals) / sizeof(kSignals[0]);

std::mutex HooksLock;
bool Installed = false;
struct sigaction OldActions[kSignalCount];
std::terminate_handler OldExceptProc = nullptr;
TExceptObjProc OldExceptObjProc = nullptr;
char* AltStack = nullptr;
bool OwnAltStack = false;

// Set once an uncaught exception has been logged: the abort that ends the program then is
// part of the same failure and gets no line of its own.
std::atomic<bool> TerminateLogged{false};
thread_local bool InSignalHandler = false;

int SignalIndex(int Signal) {
  for (int i = 0; i < kSignalCount; ++i)
    if (kSignals[i] == Signal) return i;
  return -1;
}

struct TFaultContext {
  std::uintptr_t InstructionAddress = 0;
  std::uintptr_t StackPointer = 0;
};

TFaultContext ReadContext(void* Context) {
  TFaultContext result;
  if (!Context) return result;
  const auto* uc = static_cast<const ucontext_t*>(Context);
#if defined(__x86_64__)
  result.InstructionAddress = static_cast<std::uintptr_t>(uc->uc_mcontext.gregs[REG_RIP]);
  result.StackPointer = static_cast<std::uintptr_t>(uc->uc_mcontext.gregs[REG_RSP]);
#elif defined(__i386__)
  result.InstructionAddress = static_cast<std::uintptr_t>(uc->uc_mcontext.gregs[REG_EIP]);
  result.StackPointer = static_cast<std::uintptr_t>(uc->uc_mcontext.gregs[REG_ESP]);
#elif defined(__aarch64__)
  result.InstructionAddress = static_cast<std::uintptr_t>(uc->uc_mcontext.pc);
  result.StackPointer = static_cast<std::uintptr_t>(uc->uc_mcontext.sp);
#else
  (void)uc;
#endif
  return result;
}

void SignalHook(int Signal, siginfo_t* Info, void* Context) {
  const int savedErrno = errno;
  const int index = SignalIndex(Signal);
  if (!InSignalHandler && !(Signal == SIGABRT && TerminateLogged.load())) {
    InSignalHandler = true;
    const TFaultContext fault = ReadContext(Context);
    int code = RuntimeErrorOfSignal(Signal, Info ? Info->si_code : 0);
    if (Signal == SIGSEGV && Info && fault.StackPointer != 0) {
      // A fault just below the stack pointer is the stack's guard page.
      const auto addr = reinterpret_cast<std::uintptr_t>(Info->si_addr);
      if (addr < fault.StackPointer + 4096 && fault.StackPointer - addr < 65536)
        code = reStackOverflow;
    }
    const std::uintptr_t address =
        fault.InstructionAddress ? fault.InstructionAddress
                                 : reinterpret_cast<std::uintptr_t>(Info ? Info->si_addr : nullptr);
    LogRuntimeError(code, address);
    InSignalHandler = false;
  }
  // Hand over: the previous disposition handles the signal as if this hook had never been.
  if (index >= 0) ::sigaction(Signal, &OldActions[index], nullptr);
  if (!Info || Info->si_code <= 0) {
    ::raise(Signal);  // sent by a process (abort, kill): delivered again on return
  }
  // A fault raised by the processor recurs when the instruction is retried on return.
  errno = savedErrno;
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

std::unique_ptr<Exception> ExceptObjHook(int Signal, std::uintptr_t Address) {
  if (OldExceptObjProc) return OldExceptObjProc(Signal, Address);
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
  if (Code >= 0 && Code < static_cast<int>(std::size(kRuntimeErrorNames)))
    return kRuntimeErrorNames[Code];
  return std::to_string(Code);
}

int RuntimeErrorOfSignal(int Signal, int SignalCode) {
  switch (Signal) {
    case SIGSEGV:
    case SIGBUS:
      return reAccessViolation;
    case SIGFPE:
      switch (SignalCode) {
        case FPE_INTDIV:
          return reDivByZero;
        case FPE_INTOVF:
          return reIntOverflow;
        case FPE_FLTDIV:
          return reZeroDivide;
        case FPE_FLTOVF:
          return reOverflow;
        case FPE_FLTUND:
          return reUnderflow;
        default:
          return reInvalidOp;
      }
    case SIGILL:
      return rePrivInstruction;
    case SIGABRT:
      return reAssertionFailed;
    default:
      return reExternalException;
  }
}

void LogRuntimeError(int Code, std::uintptr_t Address) {
  WriteAppLogFmt("Неперехваченное исключение (ErrorProc): ErrorCode=%s, ErrorAddr=0x%.8x",
                 kErrorsLog, {RuntimeErrorName(Code), static_cast<std::uint64_t>(Address)}, true);
}

std::string UnhandledExceptionDescription(std::exception_ptr E, std::uintptr_t Address) {
  std::string className;
  std::string message;
  if (E) {
    try {
      std::rethrow_exception(E);
    } catch (const std::exception& Ex) {
      className = ExceptionClassName(Ex);
      message = Ex.what();
    } catch (...) {
      // Not an exception object: its type names it, and it has no message.
      const std::type_info* type = abi::__cxa_current_exception_type();
      className = type ? DemangledTypeName(type->name()) : std::string();
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
  CutUtf8(text, kDescriptionBuffer);
  return text;
}

void LogUnhandledException(std::exception_ptr E, std::uintptr_t Address) {
  WriteAppLogFmt("Неперехваченное исключение (ExceptProc). Начало обработки...", kErrorsLog, {},
                 true);
  std::string description;
  try {
    description = UnhandledExceptionDescription(E, Address);
  } catch (...) {
  }
  WriteAppLogFmt("Неперехваченное исключение (ExceptProc): %s", kErrorsLog, {description}, true);
}

void InstallErrorHooks() {
  std::lock_guard guard(HooksLock);
  if (Installed) return;

  // A handler needs a stack of its own to report a stack overflow. A sanitizer may already
  // have given this thread one; that one is kept.
  stack_t current{};
  if (::sigaltstack(nullptr, &current) == 0 && (current.ss_flags & SS_DISABLE)) {
    if (!AltStack) AltStack = new char[kAltStackSize];
    stack_t ours{};
    ours.ss_sp = AltStack;
    ours.ss_size = kAltStackSize;
    OwnAltStack = ::sigaltstack(&ours, nullptr) == 0;
  }

  struct sigaction action {};
  action.sa_sigaction = SignalHook;
  action.sa_flags = SA_SIGINFO | SA_ONSTACK;
  sigemptyset(&action.sa_mask);
  for (int i = 0; i < kSignalCount; ++i) ::sigaction(kSignals[i], &action, &OldActions[i]);

  OldExceptProc = std::set_terminate(TerminateHook);
  OldExceptObjProc = ExceptObjProc;
  ExceptObjProc = ExceptObjHook;
  TerminateLogged.store(false);
  Installed = true;
}

void RemoveErrorHooks() {
  std::lock_guard guard(HooksLock);
  if (!Installed) return;
  for (int i = 0; i < kSignalCount; ++i) ::sigaction(kSignals[i], &OldActions[i], nullptr);
  std::set_terminate(OldExceptProc);
  ExceptObjProc = OldExceptObjProc;
  OldExceptProc = nullptr;
  OldExceptObjProc = nullptr;
  if (OwnAltStack) {
    stack_t off{};
    off.ss_flags = SS_DISABLE;
    ::sigaltstack(&off, nullptr);
    OwnAltStack = false;
  }
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
