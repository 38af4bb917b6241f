#include "platform/platSerialClaim.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <memory>
#include <system_error>

#include "platform/platProcess.h"

namespace probrix::platform {

namespace fs = std::filesystem;

namespace {

// /dev/ptmx and /dev/pts/ptmx: the multiplexer whose descriptors are pseudo terminal masters.
constexpr unsigned PtmxMajor = 5;
constexpr unsigned PtmxMinor = 2;

std::string FirstLine(const fs::path& File) {
  std::ifstream in(File);
  std::string line;
  if (in) std::getline(in, line);
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
  return line;
}

// A decimal number of at most nine digits (pids and tty indexes), -1 for anything else.
int SmallNumber(std::string_view Text) {
  if (Text.empty() || Text.size() > 9) return -1;
  int n = 0;
  for (const char c : Text) {
    if (c < '0' || c > '9') return -1;
    n = n * 10 + (c - '0');
  }
  return n;
}

// The index N of a pseudo terminal slave /dev/pts/N; -1 for any other device.
int PtyIndexOf(const std::string& DevicePath) {
  std::error_code ec;
  const fs::path real = fs::canonical(DevicePath, ec);
  if (ec || real.parent_path() != "/dev/pts") return -1;
  return SmallNumber(real.filename().string());
}

// The tty-index the kernel shows for a pseudo terminal master descriptor; -1 when none.
int MasterIndexOf(const fs::path& ProcDir, const std::string& Fd) {
  std::ifstream in(ProcDir / "fdinfo" / Fd);
  std::string line;
  static constexpr std::string_view Key = "tty-index:";
  while (std::getline(in, line)) {
    if (line.compare(0, Key.size(), Key) != 0) continue;
    std::string_view value(line);
    value.remove_prefix(Key.size());
    while (!value.empty() && (value.front() == ' ' || value.front() == '\t'))
      value.remove_prefix(1);
    return SmallNumber(value);
  }
  return -1;
}

// A folder listing that closes itself.
struct TDirCloser {
  void operator()(DIR* D) const { ::closedir(D); }
};
using TDir = std::unique_ptr<DIR, TDirCloser>;

// Whether the process of ProcDir has the device Rdev open and is not the device end of its
// pseudo terminal. Descriptors are looked at only when their link names something in /dev, so
// a file on a hung network mount is never touched. Plain system calls relative to the folder:
// this runs for every descriptor of every process at each opening of a port.
bool ProcessHoldsDevice(const fs::path& ProcDir, dev_t Rdev, int PtyIndex) {
  const int fdDir = ::open((ProcDir / "fd").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fdDir < 0) return false;  // gone, or not ours to inspect
  TDir dir(::fdopendir(fdDir));
  if (!dir) {
    ::close(fdDir);
    return false;
  }
  bool holds = false, isMaster = false;
  while (const dirent* entry = ::readdir(dir.get())) {
    if (entry->d_name[0] == '.') continue;
    char target[6];
    if (::readlinkat(fdDir, entry->d_name, target, sizeof target) < 5 ||
        std::string_view(target, 5) != "/dev/")
      continue;
    struct stat st {};
    if (::fstatat(fdDir, entry->d_name, &st, 0) != 0 || !S_ISCHR(st.st_mode)) continue;
    if (st.st_rdev == Rdev)
      holds = true;
    else if (PtyIndex >= 0 && ::major(st.st_rdev) == PtmxMajor &&
             ::minor(st.st_rdev) == PtmxMinor && MasterIndexOf(ProcDir, entry->d_name) == PtyIndex)
      isMaster = true;
  }
  return holds && !isMaster;
}

// The pid a lock file names (ASCII, as HDB UUCP writes it); 0 when it names none.
int LockFilePid(const fs::path& File) {
  std::string text = FirstLine(File);
  const auto first = text.find_first_not_of(" \t");
  if (first == std::string::npos) return 0;
  const auto last = text.find_last_not_of(" \t");
  const int pid = SmallNumber(std::string_view(text).substr(first, last - first + 1));
  return pid > 0 ? pid : 0;
}

// A lock of a running process other than this one. A lock naming this process blocks nothing:
// a second claim from within the process is refused by flock.
bool IsLiveLockPid(int Pid) {
  if (Pid <= 0 || Pid == ::getpid()) return false;
  return ::kill(Pid, 0) == 0 || errno == EPERM;
}

}  // namespace

std::vector<fs::path> DefaultSerialLockFolders() { return {"/run/lock", "/var/lock"}; }

std::string SerialLockFileName(const std::string& DevicePath) {
  std::error_code ec;
  const fs::path real = fs::canonical(DevicePath, ec);
  return "LCK.." + (ec ? fs::path(DevicePath) : real).filename().string();
}

std::string DescribeSerialHolder(int Pid) {
  const std::string pidtext = "pid " + std::to_string(Pid);
  // The kernel ends the name with a line end. A program chooses its own name: control
  // characters in it must not break a log line.
  std::ifstream in(fs::path("/proc") / std::to_string(Pid) / "comm", std::ios::binary);
  std::string program(64, '\0');
  in.read(program.data(), static_cast<std::streamsize>(program.size()));
  program.resize(static_cast<std::size_t>(in.gcount()));
  if (!program.empty() && program.back() == '\n') program.pop_back();
  for (char& c : program)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
  return program.empty() ? pidtext : program + " (" + pidtext + ")";
}

bool FindSerialDeviceHolder(const std::string& DevicePath, std::string& Holder) {
  struct stat device {};
  if (::stat(DevicePath.c_str(), &device) != 0 || !S_ISCHR(device.st_mode)) return false;
  const int ptyIndex = PtyIndexOf(DevicePath);
  const int self = ::getpid();
  std::string found;
  std::error_code ec;
  for (fs::directory_iterator it("/proc", ec), end; !ec && it != end; it.increment(ec)) {
    const int pid = SmallNumber(it->path().filename().string());
    if (pid <= 0 || pid == self || !ProcessHoldsDevice(it->path(), device.st_rdev, ptyIndex))
      continue;
    if (!found.empty()) found += ", ";
    found += DescribeSerialHolder(pid);
  }
  if (found.empty()) return false;
  Holder = std::move(found);
  return true;
}

bool FindSerialLockHolder(const std::string& DevicePath, const std::vector<fs::path>& LockFolders,
                          std::string& Holder) {
  const std::string lockName = SerialLockFileName(DevicePath);
  for (const fs::path& folder : LockFolders) {
    const int pid = LockFilePid(folder / lockName);
    if (IsLiveLockPid(pid)) {
      Holder = DescribeSerialHolder(pid);
      return true;
    }
  }
  return false;
}

int CreateSerialLock(const std::string& DevicePath, const std::vector<fs::path>& LockFolders,
                     fs::path& Created, int& HolderPid) {
  Created.clear();
  HolderPid = 0;
  char content[16];
  const int length = std::snprintf(content, sizeof content, "%10d\n", static_cast<int>(::getpid()));
  const std::string lockName = SerialLockFileName(DevicePath);
  for (const fs::path& folder : LockFolders) {
    if (!platform::IsFolderWritable(folder.string())) continue;
    // Written in full under a temporary name, then linked: a reader never sees a lock file
    // without its pid, and of two programs linking at once one fails.
    std::string temp = (folder / "LTMP.XXXXXX").string();
    const int fd = ::mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0) continue;
    const bool written =
        ::write(fd, content, static_cast<std::size_t>(length)) == length && ::fchmod(fd, 0644) == 0;
    ::close(fd);
    const fs::path target = folder / lockName;
    int result = -1;
    for (int attempt = 0; written && attempt < 2 && result < 0; ++attempt) {
      if (::link(temp.c_str(), target.c_str()) == 0) {
        Created = target;
        result = 0;
      } else if (errno != EEXIST) {
        break;
      } else if (const int pid = LockFilePid(target); IsLiveLockPid(pid)) {
        HolderPid = pid;
        result = EBUSY;
      } else {
        ::unlink(target.c_str());  // stale: its process is gone
      }
    }
    ::unlink(temp.c_str());
    if (result >= 0) return result;
  }
  return 0;
}

void RemoveSerialLock(const fs::path& Created) {
  if (!Created.empty() && LockFilePid(Created) == ::getpid()) ::unlink(Created.c_str());
}

}  // namespace probrix::platform
