#include "platform/platRuntime.h"

#include <cxxabi.h>

#include <cstdlib>
#include <memory>

namespace probrix::platform {

std::string DemangledTypeName(const char* MangledName) {
  if (MangledName == nullptr) return "?";
  int status = 0;
  std::unique_ptr<char, void (*)(void*)> name(
      abi::__cxa_demangle(MangledName, nullptr, nullptr, &status), std::free);
  return status == 0 && name ? std::string(name.get()) : std::string(MangledName);
}

const std::type_info* CurrentExceptionType() noexcept {
  return abi::__cxa_current_exception_type();
}

}  // namespace probrix::platform
