#pragma once

// The addresses a host name leads to, so that a host given by its name and by its address can
// be told to be one host.

#include <string>
#include <vector>

namespace probrix::platform {

// The numeric addresses Host resolves to ("127.0.0.1", "::1"), each once; empty when it does
// not resolve. A name may ask the resolver (and wait for it); an address text does not.
std::vector<std::string> HostAddresses(const std::string& Host);

}  // namespace probrix::platform
