#include "foundation/ioExceptions.h"

#include "platform/platError.h"

namespace probrix {

std::string SocketErrorMessage(std::string_view Msg, std::int32_t ErrorCode) {
  return Format("%s (SysErrorMessage: %s (ErrorCode=%d))",
                {Msg, platform::SystemErrorText(ErrorCode), ErrorCode});
}

}  // namespace probrix
