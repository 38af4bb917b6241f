#include "platform/platConsole.h"

namespace probrix::platform {

void UseUnicodeConsole() {
  // A terminal takes UTF-8 bytes.
}

}  // namespace probrix::platform
