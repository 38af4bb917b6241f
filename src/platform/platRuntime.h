#pragma once

// What the C++ runtime knows about types: their readable names and the type of the exception
// being handled. The compiler's ABI, not the standard, provides both.

#include <string>
#include <typeinfo>

namespace probrix::platform {

// The readable name of a type from the name its type_info gives ("std::bad_alloc",
// "probrix::Foo"); the given name when it cannot be read, "?" for none.
std::string DemangledTypeName(const char* MangledName);

// Inside a handler (catch (...)): the type of the exception being handled; null when unknown.
const std::type_info* CurrentExceptionType() noexcept;

}  // namespace probrix::platform
