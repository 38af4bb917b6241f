// Starts the logging facility as the program entry does, then does what its argument says:
//   write  - writes one application log line with the current directory and exits normally
//   throw  - lets an exception of the system escape main
//   null   - reads through a null pointer
//   divide - divides an integer by zero
//   locked - reads through a null pointer while a second thread holds the application log's
//            lock (the log's clock never returns to it)
//   heap   - frees a block twice in a threaded process: the allocator aborts while it holds
//            its own lock
//   thread-overflow - overflows the stack of a thread that has an alternate signal stack as
//            every thread of the program has

#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "foundation/appDateTime.h"
#include "foundation/appErrorHooks.h"
#include "foundation/appExceptions.h"
#include "foundation/appLogging.h"
#include "platform/platCrashSignals.h"

namespace {

volatile int Zero = 0;
int* volatile NullPointer = nullptr;

__attribute__((noinline, no_sanitize("undefined"))) int ReadNull() { return *NullPointer; }

__attribute__((noinline, no_sanitize("undefined"))) int DivideByZero() { return 100 / Zero; }

volatile int Bottom = -1;

__attribute__((noinline)) int Recurse(int Depth) {
  volatile char frame[1024];
  frame[0] = static_cast<char>(Depth);
  if (Depth == Bottom) return frame[0];
  return Recurse(Depth + 1) + frame[0];
}

// The application log's clock: the first thread other than the main one to read it stays
// inside, holding the log's lock until the process ends.
std::thread::id MainThread;
std::atomic<bool> StuckInClock{false};

probrix::TDateTime StickyClock() {
  if (std::this_thread::get_id() != MainThread && !StuckInClock.exchange(true))
    for (;;) ::pause();
  return probrix::NowDateTime();
}

int CrashWhileTheLogIsLocked(const char* Argv0) {
  MainThread = std::this_thread::get_id();
  probrix::TLoggingOptions options;
  options.Argv0 = Argv0;
  options.Clock = StickyClock;
  probrix::InitializeLogging(options);
  std::thread([] { probrix::WriteAppLog("never written"); }).detach();
  while (!StuckInClock.load()) std::this_thread::yield();
  return ReadNull();
}

int FreeTwice() {
  // Once a second thread has run, the allocator locks its heap for every call.
  std::thread([] {}).join();
  char* volatile block = static_cast<char*>(std::malloc(4096));
  void* volatile after = std::malloc(64);  // keeps the block off the top of the heap
  std::free(block);
  std::free(block);
  std::free(after);
  return 0;
}

int OverflowAThreadStack() {
  std::thread(probrix::platform::WithSignalStack([] { Recurse(0); })).join();
  return 0;
}

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
  if (mode == "locked") return CrashWhileTheLogIsLocked(argv[0]);
  if (mode == "heap") return FreeTwice();
  if (mode == "thread-overflow") return OverflowAThreadStack();
  std::fprintf(stderr, "unknown mode\n");
  return 2;
}
