#include "platform/platFiles.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>

#include "platform/platPosix.h"

namespace probrix::platform {

TAppendResult AppendToFile(const std::string& Path, std::string_view Bytes, int LockWaitMs) {
  if (Path.empty()) return {TAppendStep::asOpen, OsError(ENOENT)};
  int fd;
  do {
    fd = ::open(Path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOCTTY, 0666);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return {TAppendStep::asOpen, OsError(errno)};

  for (int waited = 0;;) {
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) break;
    const int err = errno;
    if (err == EINTR) continue;
    if (err != EWOULDBLOCK) break;  // a file system without locks: write unserialised
    if (waited >= LockWaitMs) {
      ::close(fd);
      return {TAppendStep::asOpen, OsError(err)};
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ++waited;
  }

  TAppendResult result;
  const off_t start = ::lseek(fd, 0, SEEK_END);
  if (start < 0) {
    result = {TAppendStep::asSeek, OsError(errno)};
  } else {
    std::size_t done = 0;
    while (done < Bytes.size()) {
      const ssize_t n = ::write(fd, Bytes.data() + done, Bytes.size() - done);
      if (n < 0) {
        if (errno == EINTR) continue;
        result = {TAppendStep::asWrite, OsError(errno)};
        break;
      }
      if (n == 0) {
        result = {TAppendStep::asWrite, OsError(EIO)};
        break;
      }
      done += static_cast<std::size_t>(n);
    }
    // A write cut short (a full disk) would leave a torn line that the next write continues:
    // the file goes back to its length before this write, still under the lock.
    if (result.Step != TAppendStep::asNone && done > 0 && ::ftruncate(fd, start) != 0) {
      // Nothing more can be done; the failure is reported either way.
    }
  }
  ::close(fd);  // also releases the lock
  return result;
}

TOsError CheckFileReadable(const std::string& Path) {
  // A folder opens for reading too, yet is no file to read: it says so before any rights.
  if (struct stat st; ::stat(Path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return OsError(EISDIR);
  int fd;
  do {
    fd = ::open(Path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return OsError(errno, TErrorContext::ecOpen);
  ::close(fd);
  return {};
}

TOsError SetCurrentFolder(const std::string& Folder) {
  return ::chdir(Folder.c_str()) == 0 ? TOsError{} : OsError(errno, TErrorContext::ecOpen);
}

void WriteStandardError(std::string_view Text) noexcept {
  // errno must survive a call from a signal handler.
  const int savedErrno = errno;
  std::size_t done = 0;
  while (done < Text.size()) {
    const ssize_t n = ::write(STDERR_FILENO, Text.data() + done, Text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<std::size_t>(n);
  }
  errno = savedErrno;
}

void WriteDebuggerOutput(std::string_view Text) noexcept { WriteStandardError(Text); }

}  // namespace probrix::platform
