#include "SerialTestPty.h"

// Kernel termios2 for reading any baud rate; glibc's <termios.h> is kept out of this file.
#include <asm/termbits.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <stdexcept>

namespace probrix::test {

TTestPty::TTestPty() {
  Master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (Master_ < 0 || ::grantpt(Master_) != 0 || ::unlockpt(Master_) != 0)
    throw std::runtime_error("posix_openpt failed");
  char name[128] = {};
  if (::ptsname_r(Master_, name, sizeof name) != 0) throw std::runtime_error("ptsname_r failed");
  SlavePath_ = name;
  // Held open so that the pair stays alive between openings of the port under test.
  Slave_ = ::open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (Slave_ < 0) throw std::runtime_error("cannot open the slave side");
}

TTestPty::~TTestPty() {
  if (Slave_ >= 0) ::close(Slave_);
  CloseMaster();
}

void TTestPty::Write(const TBytes& Data) {
  std::size_t done = 0;
  while (done < Data.size()) {
    const ssize_t n = ::write(Master_, Data.data() + done, Data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) throw std::runtime_error("write to the master side failed");
    done += static_cast<std::size_t>(n);
  }
}

TBytes TTestPty::Read(std::size_t Count, std::chrono::milliseconds Deadline) {
  TBytes result;
  const auto end = std::chrono::steady_clock::now() + Deadline;
  while (result.size() < Count) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          end - std::chrono::steady_clock::now())
                          .count();
    if (left <= 0) break;
    struct pollfd p {
      Master_, POLLIN, 0
    };
    if (::poll(&p, 1, static_cast<int>(left)) <= 0 || !(p.revents & POLLIN)) continue;
    std::uint8_t buf[256];
    const ssize_t n = ::read(Master_, buf, std::min(sizeof buf, Count - result.size()));
    if (n > 0) result.append(buf, static_cast<std::size_t>(n));
  }
  return result;
}

void TTestPty::CloseMaster() {
  if (Master_ >= 0) ::close(Master_);
  Master_ = -1;
}

std::uint32_t TTestPty::SlaveSpeed() const {
  struct termios2 t {};
  if (::ioctl(Slave_, TCGETS2, &t) != 0) return 0;
  return t.c_ospeed;
}

bool TTestPty::SlaveIsRaw() const {
  struct termios2 t {};
  if (::ioctl(Slave_, TCGETS2, &t) != 0) return false;
  return (t.c_lflag & (ICANON | ECHO | ISIG)) == 0 && (t.c_oflag & OPOST) == 0;
}

void TTestPty::MakeSlaveRaw() {
  struct termios2 t {};
  if (::ioctl(Slave_, TCGETS2, &t) != 0) throw std::runtime_error("TCGETS2 failed");
  t.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL |
                                      IXON | IXOFF);
  t.c_oflag &= ~static_cast<tcflag_t>(OPOST);
  t.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
  if (::ioctl(Slave_, TCSETS2, &t) != 0) throw std::runtime_error("TCSETS2 failed");
}

bool TTestPty::SlaveIsExclusive() const {
  int exclusive = 0;
  return ::ioctl(Slave_, TIOCGEXCL, &exclusive) == 0 && exclusive != 0;
}

TPtyHolderProcess::TPtyHolderProcess(const TTestPty& Pty, bool KeepMaster, bool Exclusive,
                                     const char* Name) {
  int ready[2], stop[2];
  if (::pipe(ready) != 0) throw std::runtime_error("pipe failed");
  if (::pipe(stop) != 0) throw std::runtime_error("pipe failed");
  const pid_t pid = ::fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    // Only async-signal-safe calls in the child of a threaded process.
    ::close(ready[0]);
    ::close(stop[1]);
    ::prctl(PR_SET_NAME, Name, 0, 0, 0);
    if (!KeepMaster) ::close(Pty.MasterFd());
    const int fd = ::open(Pty.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    const char status = (fd >= 0 && (!Exclusive || ::ioctl(fd, TIOCEXCL) == 0)) ? '1' : '0';
    [[maybe_unused]] auto w = ::write(ready[1], &status, 1);
    char c;
    while (::read(stop[0], &c, 1) < 0 && errno == EINTR) {
    }
    ::_exit(0);
  }
  Pid_ = pid;
  Stop_ = stop[1];
  ::close(ready[1]);
  ::close(stop[0]);
  char status = '0';
  struct pollfd p {
    ready[0], POLLIN, 0
  };
  const bool answered = ::poll(&p, 1, 10000) == 1 && ::read(ready[0], &status, 1) == 1;
  ::close(ready[0]);
  if (!answered || status != '1') {
    End();
    throw std::runtime_error("the holder process could not take the terminal");
  }
}

TPtyHolderProcess::~TPtyHolderProcess() { End(); }

void TPtyHolderProcess::End() {
  if (Stop_ >= 0) ::close(Stop_);
  Stop_ = -1;
  if (Pid_ > 0) ::waitpid(Pid_, nullptr, 0);
  Pid_ = -1;
}

}  // namespace probrix::test
