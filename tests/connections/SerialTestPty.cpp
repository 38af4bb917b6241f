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
  char Name[128] = {};
  if (::ptsname_r(Master_, Name, sizeof Name) != 0) throw std::runtime_error("ptsname_r failed");
  SlavePath_ = Name;
  // Held open so that the pair stays alive between openings of the port under test.
  Slave_ = ::open(Name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (Slave_ < 0) throw std::runtime_error("cannot open the slave side");
}

TTestPty::~TTestPty() {
  if (Slave_ >= 0) ::close(Slave_);
  CloseMaster();
}

void TTestPty::Write(const TBytes& Data) {
  std::size_t Done = 0;
  while (Done < Data.size()) {
    const ssize_t N = ::write(Master_, Data.data() + Done, Data.size() - Done);
    if (N < 0 && errno == EINTR) continue;
    if (N < 0) throw std::runtime_error("write to the master side failed");
    Done += static_cast<std::size_t>(N);
  }
}

TBytes TTestPty::Read(std::size_t Count, std::chrono::milliseconds Deadline) {
  TBytes Result;
  const auto End = std::chrono::steady_clock::now() + Deadline;
  while (Result.size() < Count) {
    const auto Left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          End - std::chrono::steady_clock::now())
                          .count();
    if (Left <= 0) break;
    struct pollfd P {
      Master_, POLLIN, 0
    };
    if (::poll(&P, 1, static_cast<int>(Left)) <= 0 || !(P.revents & POLLIN)) continue;
    std::uint8_t Buf[256];
    const ssize_t N = ::read(Master_, Buf, std::min(sizeof Buf, Count - Result.size()));
    if (N > 0) Result.append(Buf, static_cast<std::size_t>(N));
  }
  return Result;
}

void TTestPty::CloseMaster() {
  if (Master_ >= 0) ::close(Master_);
  Master_ = -1;
}

std::uint32_t TTestPty::SlaveSpeed() const {
  struct termios2 T {};
  if (::ioctl(Slave_, TCGETS2, &T) != 0) return 0;
  return T.c_ospeed;
}

bool TTestPty::SlaveIsRaw() const {
  struct termios2 T {};
  if (::ioctl(Slave_, TCGETS2, &T) != 0) return false;
  return (T.c_lflag & (ICANON | ECHO | ISIG)) == 0 && (T.c_oflag & OPOST) == 0;
}

void TTestPty::MakeSlaveRaw() {
  struct termios2 T {};
  if (::ioctl(Slave_, TCGETS2, &T) != 0) throw std::runtime_error("TCGETS2 failed");
  T.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL |
                                      IXON | IXOFF);
  T.c_oflag &= ~static_cast<tcflag_t>(OPOST);
  T.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
  if (::ioctl(Slave_, TCSETS2, &T) != 0) throw std::runtime_error("TCSETS2 failed");
}

bool TTestPty::SlaveIsExclusive() const {
  int Exclusive = 0;
  return ::ioctl(Slave_, TIOCGEXCL, &Exclusive) == 0 && Exclusive != 0;
}

TPtyHolderProcess::TPtyHolderProcess(const TTestPty& Pty, bool KeepMaster, bool Exclusive,
                                     const char* Name) {
  int Ready[2], Stop[2];
  if (::pipe(Ready) != 0) throw std::runtime_error("pipe failed");
  if (::pipe(Stop) != 0) throw std::runtime_error("pipe failed");
  const pid_t Pid = ::fork();
  if (Pid < 0) throw std::runtime_error("fork failed");
  if (Pid == 0) {
    // Only async-signal-safe calls in the child of a threaded process.
    ::close(Ready[0]);
    ::close(Stop[1]);
    ::prctl(PR_SET_NAME, Name, 0, 0, 0);
    if (!KeepMaster) ::close(Pty.MasterFd());
    const int Fd = ::open(Pty.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    const char Status = (Fd >= 0 && (!Exclusive || ::ioctl(Fd, TIOCEXCL) == 0)) ? '1' : '0';
    [[maybe_unused]] auto W = ::write(Ready[1], &Status, 1);
    char C;
    while (::read(Stop[0], &C, 1) < 0 && errno == EINTR) {
    }
    ::_exit(0);
  }
  Pid_ = Pid;
  Stop_ = Stop[1];
  ::close(Ready[1]);
  ::close(Stop[0]);
  char Status = '0';
  struct pollfd P {
    Ready[0], POLLIN, 0
  };
  const bool Answered = ::poll(&P, 1, 10000) == 1 && ::read(Ready[0], &Status, 1) == 1;
  ::close(Ready[0]);
  if (!Answered || Status != '1') {
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
