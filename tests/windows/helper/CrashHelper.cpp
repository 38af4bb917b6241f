// Starts the logging facility as the program entry does, then fails as its argument says:
//   null   - reads through a null pointer (an access violation of the processor)
//   divide - divides an integer by zero
//   throw  - lets an exception of the system escape main
//   count  - reads through a null pointer while the program's imports of the allocation
//            functions (malloc, calloc, realloc, operator new) and of MinGW's emulated thread
//            storage (which allocates on a thread's first use) are counted; the filter that
//            runs after the crash hook ends the process with 0x7000 plus their number

#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "foundation/appErrorHooks.h"
#include "foundation/appExceptions.h"

// The program's import slots, as the linker names them.
extern "C" {
extern void* (*__imp_malloc)(std::size_t);
extern void* (*__imp_calloc)(std::size_t, std::size_t);
extern void* (*__imp_realloc)(void*, std::size_t);
extern void* (*__imp__Znwy)(std::size_t);
extern void* (*__imp___emutls_get_address)(void*);
}

namespace {

volatile int Zero = 0;
int* volatile NullPointer = nullptr;

__attribute__((noinline)) int ReadNull() { return *NullPointer; }
__attribute__((noinline)) int DivideByZero() { return 100 / Zero; }

std::atomic<bool> Counting{false};
std::atomic<int> Calls{0};

void* (*RealMalloc)(std::size_t);
void* (*RealCalloc)(std::size_t, std::size_t);
void* (*RealRealloc)(void*, std::size_t);
void* (*RealNew)(std::size_t);
void* (*RealEmutls)(void*);

void Count() {
  if (Counting.load()) Calls.fetch_add(1);
}
void* CountedMalloc(std::size_t N) {
  Count();
  return RealMalloc(N);
}
void* CountedCalloc(std::size_t N, std::size_t Size) {
  Count();
  return RealCalloc(N, Size);
}
void* CountedRealloc(void* P, std::size_t N) {
  Count();
  return RealRealloc(P, N);
}
void* CountedNew(std::size_t N) {
  Count();
  return RealNew(N);
}
void* CountedEmutls(void* Control) {
  Count();
  return RealEmutls(Control);
}

template <class F>
void Redirect(F& Slot, F Counted, F& Real) {
  DWORD old = 0;
  ::VirtualProtect(&Slot, sizeof Slot, PAGE_READWRITE, &old);
  Real = Slot;
  Slot = Counted;
  ::VirtualProtect(&Slot, sizeof Slot, old, &old);
}

// Runs after the crash hook (it was the filter before the hook was installed).
LONG WINAPI ReportCalls(EXCEPTION_POINTERS* /*Info*/) {
  ::TerminateProcess(::GetCurrentProcess(), 0x7000 + static_cast<UINT>(Calls.load()));
  return EXCEPTION_CONTINUE_SEARCH;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "count") ::SetUnhandledExceptionFilter(ReportCalls);
  probrix::TApplicationLogging logging(argv[0]);
  if (mode == "null") return ReadNull();
  if (mode == "divide") return DivideByZero();
  if (mode == "throw") throw probrix::EConvertError::Create("Строка 'x' не является числом");
  if (mode == "count") {
    Redirect(__imp_malloc, CountedMalloc, RealMalloc);
    Redirect(__imp_calloc, CountedCalloc, RealCalloc);
    Redirect(__imp_realloc, CountedRealloc, RealRealloc);
    Redirect(__imp__Znwy, CountedNew, RealNew);
    Redirect(__imp___emutls_get_address, CountedEmutls, RealEmutls);
    Counting = true;
    // The counting itself works: one allocation before the crash (exit code 3 if not seen).
    void* volatile block = std::malloc(16);
    std::free(block);
    if (Calls.exchange(0) != 1) return 3;
    return ReadNull();
  }
  std::fprintf(stderr, "unknown mode\n");
  return 2;
}
