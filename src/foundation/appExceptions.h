#pragma once

// The system's exception tree. Every class reports its exact name through ClassName(); a
// wrapper (ExceptionEx) owns a deep copy of its cause. Throw by value, catch by
// `const Exception&`, test classes with dynamic_cast or Is<T>(), never message texts.

#include <cstdint>
#include <exception>
#include <memory>
#include <string>
#include <string_view>

#include "foundation/appSysUtils.h"

namespace probrix {

class Exception : public std::exception {
 public:
  Exception() = default;
  explicit Exception(std::string Msg) : Message(std::move(Msg)) {}
  Exception(const Exception&) = default;
  Exception(Exception&&) = default;
  Exception& operator=(const Exception&) = default;
  Exception& operator=(Exception&&) = default;
  // Out of line: the class's type information lives in appExceptions.cpp, so a program that
  // throws or catches any class of the tree links that file (and the platform's raiser it
  // installs).
  ~Exception() override;

  const char* what() const noexcept override { return Message.c_str(); }
  virtual const char* ClassName() const noexcept { return "Exception"; }
  // A new exception of exactly this class with the same message, error code and cause.
  virtual std::unique_ptr<Exception> Clone() const { return std::make_unique<Exception>(*this); }
  // Throws a copy of this object with its dynamic class.
  [[noreturn]] virtual void Raise() const { throw *this; }
  template <class T>
  bool Is() const {
    return dynamic_cast<const T*>(this) != nullptr;
  }

  std::string Message;
};

// Formats Fmt with Args; on a formatting failure returns the exception fallback text
// "<Fmt> [Ошибка при генерации исключения. <class>: <message>]". Never throws.
std::string FormatExceptionMessage(std::string_view Fmt, TFormatArgs Args) noexcept;

// The readable class name of any exception: ClassName() for the system's own, the demangled
// type name for others.
std::string ExceptionClassName(const std::exception& E);

class ExceptionEx : public Exception {
 public:
  ExceptionEx() = default;
  explicit ExceptionEx(std::string Msg, const std::exception* Inner = nullptr)
      : Exception(std::move(Msg)) {
    SetInnerException(Inner);
  }
  ExceptionEx(const ExceptionEx& Other);
  ExceptionEx& operator=(const ExceptionEx& Other);
  ExceptionEx(ExceptionEx&&) = default;
  ExceptionEx& operator=(ExceptionEx&&) = default;
  ~ExceptionEx() override = default;

  const char* ClassName() const noexcept override { return "ExceptionEx"; }
  std::unique_ptr<Exception> Clone() const override { return std::make_unique<ExceptionEx>(*this); }
  [[noreturn]] void Raise() const override { throw *this; }

  // Replaces the cause by a private copy of E (none clears it). A cause from outside the tree
  // is copied as the same class with its message (and error code where it has one).
  void SetInnerException(const std::exception* E);
  const Exception* InnerException() const { return Inner_.get(); }

  virtual std::string GetDescription() const;
  virtual std::string GetFullDescription() const;
  virtual std::string GetFullMessage() const;

 private:
  std::unique_ptr<Exception> Inner_;
};

// The members every class of the tree declares: its exact class name (ClassText), Clone,
// Raise and the factories Name::Create(Msg[, Inner]) and Name::CreateFmt(Fmt, Args[, Inner]).
// A cause (Inner) is taken where the class can hold one (ExceptionEx and below).
#define PROBRIX_EXCEPTION_BODY_NAMED(Name, Parent, ClassText)                                 \
 public:                                                                                      \
  using Parent::Parent;                                                                       \
  const char* ClassName() const noexcept override { return ClassText; }                       \
  std::unique_ptr<::probrix::Exception> Clone() const override {                              \
    return std::make_unique<Name>(*this);                                                     \
  }                                                                                           \
  [[noreturn]] void Raise() const override { throw *this; }                                   \
  template <class... TInner>                                                                  \
  static Name Create(std::string Msg, TInner... Inner) {                                      \
    return Name(std::move(Msg), Inner...);                                                    \
  }                                                                                           \
  template <class... TInner>                                                                  \
  static Name CreateFmt(std::string_view Fmt, ::probrix::TFormatArgs Args, TInner... Inner) { \
    return Name(::probrix::FormatExceptionMessage(Fmt, Args), Inner...);                      \
  }

#define PROBRIX_EXCEPTION_BODY(Name, Parent) PROBRIX_EXCEPTION_BODY_NAMED(Name, Parent, #Name)

#define PROBRIX_DECLARE_EXCEPTION(Name, Parent) \
  class Name : public Parent {                  \
    PROBRIX_EXCEPTION_BODY(Name, Parent)        \
  };

// Base Exception gets the factories too.
inline Exception CreateException(std::string_view Fmt, TFormatArgs Args) {
  return Exception(FormatExceptionMessage(Fmt, Args));
}

// --- Runtime classes outside the tree ---------------------------------------------------
PROBRIX_DECLARE_EXCEPTION(EConvertError, Exception)
PROBRIX_DECLARE_EXCEPTION(EPropertyError, Exception)
PROBRIX_DECLARE_EXCEPTION(EInvalidOperation, Exception)
PROBRIX_DECLARE_EXCEPTION(ERangeError, Exception)
PROBRIX_DECLARE_EXCEPTION(EIniFileException, Exception)

// Operating-system failure with the system's own error code.
class EOSError : public Exception {
  PROBRIX_EXCEPTION_BODY(EOSError, Exception)
  std::int32_t ErrorCode = 0;
};

// File or device I/O failure with the operating system's error code.
class EInOutError : public Exception {
  PROBRIX_EXCEPTION_BODY(EInOutError, Exception)
  std::int32_t ErrorCode = 0;
};

// A stop request cut an operation short (the runtime's silent exception): not a failure of
// the device or the connection, so it passes every layer unchanged and is never reported as
// a search error.
PROBRIX_DECLARE_EXCEPTION(EAbort, Exception)
// Raises EAbort with the runtime's text.
[[noreturn]] void Abort();

// The serial port layer's own two classes.
PROBRIX_DECLARE_EXCEPTION(ETimeoutException, Exception)
PROBRIX_DECLARE_EXCEPTION(EInvalidArgument, Exception)

// The math-error family; the address-list parser of the window raises its invalid-argument
// member, which reports the class name "EInvalidArgument" like the serial layer's class.
PROBRIX_DECLARE_EXCEPTION(EMathError, Exception)
class EMathInvalidArgument : public EMathError {
  PROBRIX_EXCEPTION_BODY_NAMED(EMathInvalidArgument, EMathError, "EInvalidArgument")
};

// A copy of an exception from outside the system (std::bad_alloc, ...), keeping its name.
class EForeignException : public Exception {
 public:
  EForeignException(std::string TypeName, std::string Msg)
      : Exception(std::move(Msg)), TypeName_(std::move(TypeName)) {}
  const char* ClassName() const noexcept override { return TypeName_.c_str(); }
  std::unique_ptr<Exception> Clone() const override {
    return std::make_unique<EForeignException>(*this);
  }
  [[noreturn]] void Raise() const override { throw *this; }

 private:
  std::string TypeName_;
};

// --- The tree -------------------------------------------------------------------------
PROBRIX_DECLARE_EXCEPTION(EArgumentError, ExceptionEx)
PROBRIX_DECLARE_EXCEPTION(EArgumentNullError, EArgumentError)

PROBRIX_DECLARE_EXCEPTION(ETimeoutError, ExceptionEx)
PROBRIX_DECLARE_EXCEPTION(EWriteTimeoutError, ETimeoutError)
PROBRIX_DECLARE_EXCEPTION(EWriteMessageTimeoutError, EWriteTimeoutError)
PROBRIX_DECLARE_EXCEPTION(EReadTimeoutError, ETimeoutError)
PROBRIX_DECLARE_EXCEPTION(EReadSOHTimeoutError, EReadTimeoutError)
PROBRIX_DECLARE_EXCEPTION(EReadETXTimeoutError, EReadTimeoutError)
PROBRIX_DECLARE_EXCEPTION(EReadMessageTimeoutError, EReadTimeoutError)

PROBRIX_DECLARE_EXCEPTION(EStreamError, ExceptionEx)
PROBRIX_DECLARE_EXCEPTION(EEndOfStreamError, EStreamError)
PROBRIX_DECLARE_EXCEPTION(EInvalidStreamArgument, EStreamError)
PROBRIX_DECLARE_EXCEPTION(EBadStreamFormatError, EStreamError)

PROBRIX_DECLARE_EXCEPTION(ELogStringFormatError, ExceptionEx)

// A description for logs: none gives ""; an ExceptionEx its GetFullDescription; any other
// exception "[class] message".
std::string DescribeException(const std::exception* E);
inline std::string DescribeException(const std::exception& E) { return DescribeException(&E); }
// The same for the exception in flight inside a catch block (anything, even a non-exception).
std::string DescribeCurrentException();

}  // namespace probrix
