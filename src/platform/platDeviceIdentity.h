#pragma once

// What a device path or a host name leads to, so that two spellings of one device can be told
// apart from two devices: a port by a name and by a path, through a symlink, a host by its
// name and by its address.

#include <string>
#include <vector>

namespace probrix::platform {

// The identity of the file at Path: "char:<device number>" for a character device (a tty,
// however it is reached), else the path with links and dots resolved ("path:/dev/ttyUSB0"),
// else Path itself as given.
std::string DeviceFileIdentity(const std::string& Path);

// The numeric addresses Host resolves to ("127.0.0.1", "::1"), each once; empty when it does
// not resolve. A name may ask the resolver (and wait for it); an address text does not.
std::vector<std::string> HostAddresses(const std::string& Host);

}  // namespace probrix::platform
