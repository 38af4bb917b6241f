// Starts the logging facility as the program entry does, then fails as its argument says:
//   null   - reads through a null pointer (an access violation of the processor)
//   divide - divides an integer by zero
//   throw  - lets an exception of the system escape main

#include <cstdio>
#include <string>

#include "foundation/appErrorHooks.h"
#include "foundation/appExceptions.h"

namespace {

volatile int Zero = 0;
int* volatile NullPointer = nullptr;

__attribute__((noinline)) int ReadNull() { return *NullPointer; }
__attribute__((noinline)) int DivideByZero() { return 100 / Zero; }

}  // namespace

int main(int argc, char** argv) {
  probrix::TApplicationLogging logging(argv[0]);
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "null") return ReadNull();
  if (mode == "divide") return DivideByZero();
  if (mode == "throw") throw probrix::EConvertError::Create("Строка 'x' не является числом");
  std::fprintf(stderr, "unknown mode\n");
  return 2;
}
