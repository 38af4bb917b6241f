#pragma once

// Capture of unhandled errors: an exception that no handler catches (std::terminate) and the
// runtime errors the processor or the runtime report (access violations, arithmetic faults,
// illegal instructions, aborts: platCrashSignals.h) leave time-stamped lines in the
// application log's "app_errors" file, after which the previous handling takes place as before.
//
// Program entry order:
//   InstallErrorHooks(); InitializeLogging(argv[0]);  ...  FinalizeLogging(); RemoveErrorHooks();
// or simply a TApplicationLogging object for the lifetime of main().

#include <cstdint>
#include <exception>
#include <memory>
#include <string>

#include "foundation/appExceptions.h"
#include "platform/platCrashSignals.h"

namespace probrix {

// Saves the current handlers and installs these hooks (signals, then terminate, then the
// exception-object mapping). A second call does nothing.
void InstallErrorHooks();
// Puts the saved handlers back.
void RemoveErrorHooks();
bool ErrorHooksInstalled();

// The runtime error names, "reNone" ... "reSafeCallError"; other codes in decimal.
std::string RuntimeErrorName(int Code);

// The runtime error code a crash stands for (an access violation: reAccessViolation, an
// integer division by zero: reDivByZero, an abort: reAssertionFailed, ...).
int RuntimeErrorOfCrash(platform::TCrashKind Kind);

// "Неперехваченное исключение (ErrorProc): ErrorCode=<name>, ErrorAddr=0x<address>" into the
// "app_errors" file.
void LogRuntimeError(int Code, std::uintptr_t Address);

// The runtime's standard description of an unhandled exception thrown at Address:
// "Exception <class> in module <file> at <relative address>.\r\n<message>[.]\r\n", at most
// 1024 bytes.
std::string UnhandledExceptionDescription(std::exception_ptr E, std::uintptr_t Address);

// The two lines of an unhandled exception into the "app_errors" file.
void LogUnhandledException(std::exception_ptr E, std::uintptr_t Address);

// Turns an operating-system fault into an exception object. The platform's runtime has no such
// hook of its own; code that converts faults goes through ExceptObjProc, which the hooks route
// to the handler saved at installation or, without one, to a base Exception saying so.
using TExceptObjProc = std::unique_ptr<Exception> (*)(platform::TCrashKind Kind,
                                                      std::uintptr_t Address);
extern TExceptObjProc ExceptObjProc;

// Installs the hooks and starts the logging facility; the reverse when it goes.
class TApplicationLogging {
 public:
  explicit TApplicationLogging(const char* Argv0);
  ~TApplicationLogging();
  TApplicationLogging(const TApplicationLogging&) = delete;
  TApplicationLogging& operator=(const TApplicationLogging&) = delete;
};

}  // namespace probrix
