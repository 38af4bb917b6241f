#include "foundation/ioExceptions.h"

#include <cstring>

namespace probrix {

std::string SocketErrorMessage(std::string_view Msg, std::int32_t ErrorCode) {
  char buf[256];
  // The GNU strerror_r returns the text, which may or may not live in buf.
  const char* text = strerror_r(ErrorCode, buf, sizeof(buf));
  return Format("%s (SysErrorMessage: %s (ErrorCode=%d))", {Msg, text ? text : "", ErrorCode});
}

}  // namespace probrix
