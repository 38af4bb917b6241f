#include "platform/platSerialClaim.h"

// On Windows the system itself refuses a second opener of a communications device (it is
// opened without sharing), and it keeps no lock files: nothing to search for here.

namespace probrix::platform {

std::vector<std::filesystem::path> DefaultSerialLockFolders() { return {}; }

std::string SerialLockFileName(const std::string& DevicePath) {
  const auto slash = DevicePath.find_last_of("\\/");
  return "LCK.." + (slash == std::string::npos ? DevicePath : DevicePath.substr(slash + 1));
}

std::string DescribeSerialHolder(int Pid) { return "pid " + std::to_string(Pid); }

bool FindSerialDeviceHolder(const std::string& /*DevicePath*/, std::string& Holder) {
  Holder.clear();
  return false;
}

}  // namespace probrix::platform
