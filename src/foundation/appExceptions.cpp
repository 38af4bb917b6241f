#include "foundation/appExceptions.h"

#include <typeinfo>

#include "platform/platError.h"
#include "platform/platRuntime.h"

namespace probrix {

namespace {

// What the platform layer cannot return (a cancel event the system cannot make) is an
// EOSError with the system's code, like every other failure of the system in the tree.
[[noreturn]] void RaiseEOSError(const platform::TOsError& Error, const char* Call) {
  EOSError e = EOSError::CreateFmt("%s: %s", {std::string_view(Call), Error.Text});
  e.ErrorCode = Error.Code;
  throw e;
}

// Installed as the program starts: every program that uses the tree has this file (the
// destructor of Exception below), and so the raiser, before its own code runs.
[[maybe_unused]] const bool OsErrorRaiserInstalled =
    (platform::SetOsErrorRaiser(RaiseEOSError), true);

}  // namespace

std::string FormatExceptionMessage(std::string_view Fmt, TFormatArgs Args) noexcept {
  try {
    return Format(Fmt, Args);
  } catch (const std::exception& F) {
    try {
      // All three arguments are texts, so this formatting cannot fail.
      return Format("%s [Ошибка при генерации исключения. %s: %s]",
                    {Fmt, ExceptionClassName(F), std::string_view(F.what())});
    } catch (...) {
      return std::string(Fmt);
    }
  } catch (...) {
    return std::string(Fmt);
  }
}

Exception::~Exception() = default;

void Abort() { throw EAbort::Create("Операция прервана"); }

std::string ExceptionClassName(const std::exception& E) {
  if (const auto* own = dynamic_cast<const Exception*>(&E)) return own->ClassName();
  return platform::DemangledTypeName(typeid(E).name());
}

ExceptionEx::ExceptionEx(const ExceptionEx& Other)
    : Exception(Other), Inner_(Other.Inner_ ? Other.Inner_->Clone() : nullptr) {}

ExceptionEx& ExceptionEx::operator=(const ExceptionEx& Other) {
  if (this != &Other) {
    Exception::operator=(Other);
    Inner_ = Other.Inner_ ? Other.Inner_->Clone() : nullptr;
  }
  return *this;
}

void ExceptionEx::SetInnerException(const std::exception* E) {
  Inner_.reset();
  if (E == nullptr) return;
  if (const auto* own = dynamic_cast<const Exception*>(E)) {
    Inner_ = own->Clone();
  } else {
    Inner_ = std::make_unique<EForeignException>(ExceptionClassName(*E), E->what());
  }
}

std::string ExceptionEx::GetDescription() const {
  return Format("[%s] %s", {ClassName(), Message});
}

std::string ExceptionEx::GetFullDescription() const {
  if (!Inner_) return GetDescription();
  std::string inner;
  if (const auto* ex = dynamic_cast<const ExceptionEx*>(Inner_.get())) {
    inner = ex->GetFullDescription();
  } else {
    inner = Format("[%s] %s", {Inner_->ClassName(), Inner_->Message});
  }
  return Format("%s (InnerException: %s)", {GetDescription(), inner});
}

std::string ExceptionEx::GetFullMessage() const {
  if (!Inner_) return Message;
  std::string inner;
  if (const auto* ex = dynamic_cast<const ExceptionEx*>(Inner_.get())) {
    inner = ex->GetFullMessage();
  } else {
    inner = Inner_->Message;
  }
  return Format("%s (%s)", {Message, inner});
}

std::string DescribeException(const std::exception* E) {
  if (E == nullptr) return {};
  if (const auto* ex = dynamic_cast<const ExceptionEx*>(E)) return ex->GetFullDescription();
  return Format("[%s] %s", {ExceptionClassName(*E), std::string_view(E->what())});
}

std::string DescribeCurrentException() {
  try {
    throw;
  } catch (const std::exception& e) {
    return DescribeException(&e);
  } catch (...) {
    return "[unknown] non-standard exception";
  }
}

}  // namespace probrix
