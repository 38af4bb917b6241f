#include "platform/platError.h"

#include <cerrno>
#include <system_error>
#include <utility>
#include <vector>

#include "platform/platPosix.h"

namespace probrix::platform {

std::string SystemErrorText(int Code) {
  // A silent device ends every try with the same code, and the system's lookup of its text
  // (through the message catalogue) cost more than the rest of the try's failure: each thread
  // keeps the texts it has looked up.
  constexpr std::size_t Kept = 16;
  thread_local std::vector<std::pair<int, std::string>> known;
  for (const auto& [code, text] : known)
    if (code == Code) return text;
  std::string text = std::system_category().message(Code);
  if (known.size() < Kept) known.emplace_back(Code, text);
  return text;
}

namespace {

TErrorKind KindOf(int Code, TErrorContext Context) {
  switch (Code) {
    case 0:
      return TErrorKind::ekNone;
    case ENOENT:
    case ENOTDIR:
      return TErrorKind::ekNotFound;
    case ENODEV:
    case ENXIO:
      return Context == TErrorContext::ecOpen ? TErrorKind::ekNotFound : TErrorKind::ekGone;
    case EACCES:
    case EPERM:
      return TErrorKind::ekAccessDenied;
    case EBUSY:
    case EWOULDBLOCK:
      return TErrorKind::ekBusy;
    case ETIMEDOUT:
      return TErrorKind::ekTimedOut;
    case EIO:
    case EBADF:
    case EPIPE:
    case ECONNRESET:
      return TErrorKind::ekGone;
    case ECANCELED:
      return TErrorKind::ekCancelled;
    default:
      return TErrorKind::ekOther;
  }
}

}  // namespace

TOsError OsError(int Code, TErrorContext Context) {
  if (Code == 0) return {};
  return {KindOf(Code, Context), Code, SystemErrorText(Code)};
}

}  // namespace probrix::platform
