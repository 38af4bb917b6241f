// ParseAddressList over arbitrary text: a list or EMathInvalidArgument, never anything else,
// and never more addresses than the limit.

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "FuzzSupport.h"
#include "foundation/appExceptions.h"
#include "search/uSearchParams.h"

using namespace probrix;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size) {
  const std::string_view text(reinterpret_cast<const char*>(Data), Size);
  try {
    const auto list = ParseAddressList(text);
    fuzz::Require(list.size() <= MaxAddressListLength, "address list longer than the limit");
  } catch (const EMathInvalidArgument&) {
  }
  return 0;
}
