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
  std::ifstream In(File);
  std::string Line;
  if (In) std::getline(In, Line);
  while (!Line.empty() && (Line.back() == '\n' || Line.back() == '\r')) Line.pop_back();
  return Line;
}

// A decimal number of at most nine digits (pids and tty indexes), -1 for anything else.
int SmallNumber(std::string_view Text) {
  if (Text.empty() || Text.size() > 9) return -1;
  int N = 0;
  for (const char C : Text) {
    if (C < '0' || C > '9') return -1;
    N = N * 10 + (C - '0');
  }
  return N;
}

// The index N of a pseudo terminal slave /dev/pts/N; -1 for any other device.
int PtyIndexOf(const std::string& DevicePath) {
  std::error_code Ec;
  const fs::path Real = fs::canonical(DevicePath, Ec);
  if (Ec || Real.parent_path() != "/dev/pts") return -1;
  return SmallNumber(Real.filename().string());
}

// The tty-index the kernel shows for a pseudo terminal master descriptor; -1 when none.
int MasterIndexOf(const fs::path& ProcDir, const std::string& Fd) {
  std::ifstream In(ProcDir / "fdinfo" / Fd);
  std::string Line;
  static constexpr std::string_view Key = "tty-index:";
  while (std::getline(In, Line)) {
    if (Line.compare(0, Key.size(), Key) != 0) continue;
    std::string_view Value(Line);
    Value.remove_prefix(Key.size());
    while (!Value.empty() && (Value.front() == ' ' || Value.front() == '\t'))
      Value.remove_prefix(1);
    return SmallNumber(Value);
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
  const int FdDir = ::open((ProcDir / "fd").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (FdDir < 0) return false;  // gone, or not ours to inspect
  TDir Dir(::fdopendir(FdDir));
  if (!Dir) {
    ::close(FdDir);
    return false;
  }
  bool Holds = false, IsMaster = false;
  while (const dirent* Entry = ::readdir(Dir.get())) {
    if (Entry->d_name[0] == '.') continue;
    char Target[6];
    if (::readlinkat(FdDir, Entry->d_name, Target, sizeof Target) < 5 ||
        std::string_view(Target, 5) != "/dev/")
      continue;
    struct stat St {};
    if (::fstatat(FdDir, Entry->d_name, &St, 0) != 0 || !S_ISCHR(St.st_mode)) continue;
    if (St.st_rdev == Rdev)
      Holds = true;
    else if (PtyIndex >= 0 && ::major(St.st_rdev) == PtmxMajor &&
             ::minor(St.st_rdev) == PtmxMinor && MasterIndexOf(ProcDir, Entry->d_name) == PtyIndex)
      IsMaster = true;
  }
  return Holds && !IsMaster;
}

// The pid a lock file names (ASCII, as HDB UUCP writes it); 0 when it names none.
int LockFilePid(const fs::path& File) {
  std::string Text = FirstLine(File);
  const auto First = Text.find_first_not_of(" \t");
  if (First == std::string::npos) return 0;
  const auto Last = Text.find_last_not_of(" \t");
  const int Pid = SmallNumber(std::string_view(Text).substr(First, Last - First + 1));
  return Pid > 0 ? Pid : 0;
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
  std::error_code Ec;
  const fs::path Real = fs::canonical(DevicePath, Ec);
  return "LCK.." + (Ec ? fs::path(DevicePath) : Real).filename().string();
}

std::string DescribeSerialHolder(int Pid) {
  const std::string Pidtext = "pid " + std::to_string(Pid);
  // The kernel ends the name with a line end. A program chooses its own name: control
  // characters in it must not break a log line.
  std::ifstream In(fs::path("/proc") / std::to_string(Pid) / "comm", std::ios::binary);
  std::string Program(64, '\0');
  In.read(Program.data(), static_cast<std::streamsize>(Program.size()));
  Program.resize(static_cast<std::size_t>(In.gcount()));
  if (!Program.empty() && Program.back() == '\n') Program.pop_back();
  for (char& C : Program)
    if (static_cast<unsigned char>(C) < 0x20 || C == 0x7F) C = '?';
  return Program.empty() ? Pidtext : Program + " (" + Pidtext + ")";
}

bool FindSerialDeviceHolder(const std::string& DevicePath, std::string& Holder) {
  struct stat Device {};
  if (::stat(DevicePath.c_str(), &Device) != 0 || !S_ISCHR(Device.st_mode)) return false;
  const int PtyIndex = PtyIndexOf(DevicePath);
  const int Self = ::getpid();
  std::string Found;
  std::error_code Ec;
  for (fs::directory_iterator It("/proc", Ec), End; !Ec && It != End; It.increment(Ec)) {
    const int Pid = SmallNumber(It->path().filename().string());
    if (Pid <= 0 || Pid == Self || !ProcessHoldsDevice(It->path(), Device.st_rdev, PtyIndex))
      continue;
    if (!Found.empty()) Found += ", ";
    Found += DescribeSerialHolder(Pid);
  }
  if (Found.empty()) return false;
  Holder = std::move(Found);
  return true;
}

bool FindSerialLockHolder(const std::string& DevicePath, const std::vector<fs::path>& LockFolders,
                          std::string& Holder) {
  const std::string LockName = SerialLockFileName(DevicePath);
  for (const fs::path& Folder : LockFolders) {
    const int Pid = LockFilePid(Folder / LockName);
    if (IsLiveLockPid(Pid)) {
      Holder = DescribeSerialHolder(Pid);
      return true;
    }
  }
  return false;
}

int CreateSerialLock(const std::string& DevicePath, const std::vector<fs::path>& LockFolders,
                     fs::path& Created, int& HolderPid) {
  Created.clear();
  HolderPid = 0;
  char Content[16];
  const int Length = std::snprintf(Content, sizeof Content, "%10d\n", static_cast<int>(::getpid()));
  const std::string LockName = SerialLockFileName(DevicePath);
  for (const fs::path& Folder : LockFolders) {
    if (!platform::IsFolderWritable(Folder.string())) continue;
    // Written in full under a temporary name, then linked: a reader never sees a lock file
    // without its pid, and of two programs linking at once one fails.
    std::string Temp = (Folder / "LTMP.XXXXXX").string();
    const int Fd = ::mkostemp(Temp.data(), O_CLOEXEC);
    if (Fd < 0) continue;
    const bool Written =
        ::write(Fd, Content, static_cast<std::size_t>(Length)) == Length && ::fchmod(Fd, 0644) == 0;
    ::close(Fd);
    const fs::path Target = Folder / LockName;
    int Result = -1;
    for (int Attempt = 0; Written && Attempt < 2 && Result < 0; ++Attempt) {
      if (::link(Temp.c_str(), Target.c_str()) == 0) {
        Created = Target;
        Result = 0;
      } else if (errno != EEXIST) {
        break;
      } else if (const int Pid = LockFilePid(Target); IsLiveLockPid(Pid)) {
        HolderPid = Pid;
        Result = EBUSY;
      } else {
        ::unlink(Target.c_str());  // stale: its process is gone
      }
    }
    ::unlink(Temp.c_str());
    if (Result >= 0) return Result;
  }
  return 0;
}

void RemoveSerialLock(const fs::path& Created) {
  if (!Created.empty() && LockFilePid(Created) == ::getpid()) ::unlink(Created.c_str());
}

}  // namespace probrix::platform
