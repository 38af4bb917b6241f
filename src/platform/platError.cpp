#include "platform/platError.h"

#include <cerrno>
#include <system_error>

#include "platform/platPosix.h"

namespace probrix::platform {

std::string SystemErrorText(int Code) { return std::system_category().message(Code); }

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
