// Format with an arbitrary format text over a fixed set of arguments of every kind: a text or
// EConvertError, nothing else; CreateFmt of an exception never fails.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "FuzzSupport.h"
#include "foundation/appExceptions.h"
#include "foundation/appSysUtils.h"
#include "foundation/ioExceptions.h"

using namespace probrix;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size) {
  const std::string_view fmt(reinterpret_cast<const char*>(Data), Size);
  const std::string text = "текст";
  const std::uint8_t byte = 0xFE;
  const std::int64_t big = INT64_MIN;
  const std::uint64_t ubig = UINT64_MAX;
  try {
    (void)Format(fmt, {42, text, byte, -7, "c-string", big, ubig, 3.25, 'x',
                       static_cast<const void*>(Data), std::string_view("view")});
  } catch (const EConvertError&) {
  }
  try {
    (void)Format(fmt, {});
  } catch (const EConvertError&) {
  }
  const EReadTimeoutError e = EReadTimeoutError::CreateFmt(fmt, {1, text, -1.5});
  (void)e.Message;
  return 0;
}
