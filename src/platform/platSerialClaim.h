#pragma once

// Who else holds a serial device, and the UUCP lock files through which well-behaved programs
// tell each other. A port counts as held by another program when a process other than this
// one has the device open (found the way fuser finds it) or a lock file names a running
// process. The process that also holds the master side of a pseudo terminal is the device end
// of that line (a simulator), not a competitor.

#include <filesystem>
#include <string>
#include <vector>

namespace probrix::platform {

// The folders searched for lock files; our own lock goes into the first writable one.
std::vector<std::filesystem::path> DefaultSerialLockFolders();

// The lock file name of a device: "LCK.." and the base name of the device file the path
// leads to (LCK..ttyUSB0 for /dev/ttyUSB0 and for a symlink to it).
std::string SerialLockFileName(const std::string& DevicePath);

// "minicom (pid 4711)"; just "pid 4711" when the program's name cannot be read.
std::string DescribeSerialHolder(int Pid);

// Whether another process has the terminal at DevicePath open; Holder then names them
// ("minicom (pid 4711)", several joined with ", "). Processes that cannot be inspected are
// skipped.
bool FindSerialDeviceHolder(const std::string& DevicePath, std::string& Holder);

// Whether a lock file of DevicePath in LockFolders names a running process other than this
// one; Holder then names it.
bool FindSerialLockHolder(const std::string& DevicePath,
                          const std::vector<std::filesystem::path>& LockFolders,
                          std::string& Holder);

// Writes this process's lock file for DevicePath into the first writable folder of
// LockFolders, replacing a stale one. Created receives its path (empty when no folder takes
// it: the lock is a courtesy to other programs, not a condition of opening). EBUSY when a
// running process claimed the device in the meantime (HolderPid names it), else 0.
int CreateSerialLock(const std::string& DevicePath,
                     const std::vector<std::filesystem::path>& LockFolders,
                     std::filesystem::path& Created, int& HolderPid);

// Removes a lock file CreateSerialLock made, if it still names this process.
void RemoveSerialLock(const std::filesystem::path& Created);

}  // namespace probrix::platform
