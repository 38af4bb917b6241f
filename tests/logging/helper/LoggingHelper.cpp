// Starts the logging facility as the program entry does, then does what its argument says:
//   write  - writes one application log line with the current directory and exits normally
//   throw  - lets an exception of the system escape main
//   null   - reads through a null pointer
//   divide - divides an integer by zero

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "foundation/appErrorHooks.h"
#include "foundation/appExceptions.h"
#include "foundation/appLogging.h"

namespace {

volatile int Zero = 0;
int* volatile NullPointer = nullptr;

__attribute__((noinline, no_sanitize("undefined"))) int ReadNull() { return *NullPointer; }

__attribute__((noinline, no_sanitize("undefined"))) int DivideByZero() { return 100 / Zero; }

}  // namespace

int main(int argc, char** argv) {
  probrix::TApplicationLogging logging(argv[0]);
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "write") {
    char cwd[4096] = {};
    if (::getcwd(cwd, sizeof(cwd)) == nullptr) return 3;
    probrix::WriteAppLog(std::string("cwd=") + cwd);
    probrix::WriteAppLog("ini=" + probrix::AppIniFileName());
    return 0;
  }
  if (mode == "throw") throw probrix::EConvertError::Create("Строка 'x' не является числом");
  if (mode == "null") return ReadNull();
  if (mode == "divide") return DivideByZero();
  std::fprintf(stderr, "unknown mode\n");
  return 2;
}
