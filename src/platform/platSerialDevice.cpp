#include "platform/platSerialDevice.h"

// termios2 (any baud rate through BOTHER) comes from the kernel headers; glibc's <termios.h>
// declares a different struct termios and must not be included here.
#include <asm/termbits.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstring>
#include <system_error>

#include "platform/platPosix.h"

namespace probrix {

namespace {

using TClock = std::chrono::steady_clock;

// Pseudo terminals and many adapters have no modem lines or counters: they answer these.
bool IsNoSuchFeature(int Error) { return Error == ENOTTY || Error == EINVAL; }

// Rounded up: a wait cut down to whole milliseconds would end before End (every read timeout
// about a millisecond short).
int RemainingMs(TClock::time_point End) {
  const auto Left = std::chrono::ceil<std::chrono::milliseconds>(End - TClock::now()).count();
  if (Left <= 0) return 0;
  return Left > INT_MAX ? INT_MAX : static_cast<int>(Left);
}

// A wait of Ms milliseconds; -1 = no limit.
int ReadWaitMs(const TSerialTimeouts& T) {
  if (T.ReadTotalTimeoutMultiplier == 0 && T.ReadTotalTimeoutConstant == 0)
    return T.ReadIntervalTimeout == 0xFFFFFFFFu ? 0 : -1;
  if (T.ReadTotalTimeoutConstant >= 0x7FFFFFFFu) return -1;
  return static_cast<int>(T.ReadTotalTimeoutConstant);
}

}  // namespace

bool IsSerialHandleLostError(int Error) {
  return Error == EBADF || Error == EIO || Error == ENXIO || Error == ENODEV;
}

bool IsSerialNotFoundError(int Error) {
  return Error == ENOENT || Error == ENOTDIR || Error == ENODEV || Error == ENXIO;
}

bool IsSerialAccessDeniedError(int Error) {
  return Error == EACCES || Error == EPERM || Error == EBUSY || Error == EWOULDBLOCK;
}

std::string SerialErrorText(int Error) { return std::system_category().message(Error); }

// --- TSerialDevice ----------------------------------------------------------------------

std::shared_ptr<TSerialDevice> TSerialDevice::Open(
    const std::string& Path, int& Error, std::string& Holder,
    const std::vector<std::filesystem::path>& LockFolders) {
  Error = 0;
  Holder.clear();
  // A lock file may be there before its program opens the device: the device is not touched.
  if (FindSerialLockHolder(Path, LockFolders, Holder)) {
    Error = EBUSY;
    return nullptr;
  }
  int Fd = ::open(Path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (Fd < 0) {
    Error = errno;
    return nullptr;
  }
  std::shared_ptr<TSerialDevice> Dev(new TSerialDevice(Fd));
  // Only a terminal has holders to respect (/dev/null is open everywhere). Opening a terminal
  // that another program uses changes nothing for it, and from here this process counts
  // itself out. Root even opens a terminal that another program made exclusive.
  const bool IsTerminal = ::isatty(Fd) != 0;
  int AlreadyExclusive = 0;
  if (IsTerminal && ((::ioctl(Fd, TIOCGEXCL, &AlreadyExclusive) == 0 && AlreadyExclusive != 0) ||
                     FindSerialDeviceHolder(Path, Holder))) {
    Dev->CloseHandle();
    Error = EBUSY;
    return nullptr;
  }
  // flock also stops root and other descriptors of this process; TIOCEXCL refuses further
  // opens of the terminal (except to root).
  if (::flock(Fd, LOCK_EX | LOCK_NB) != 0) {
    Error = errno;
    Dev->CloseHandle();
    return nullptr;
  }
  Dev->OwnExclusive_ = IsTerminal && ::ioctl(Fd, TIOCEXCL) == 0;
  int LockPid = 0;
  if (CreateSerialLock(Path, LockFolders, Dev->LockFile_, LockPid) != 0) {
    Holder = DescribeSerialHolder(LockPid);
    Error = EBUSY;
    Dev->CloseHandle();
    return nullptr;
  }
  if (IsTerminal) {
    // The control of DTR and RTS starts as the lines are after opening.
    int Lines = 0;
    if (::ioctl(Fd, TIOCMGET, &Lines) == 0) {
      Dev->DtrControl_ = (Lines & TIOCM_DTR) ? 1 : 0;
      Dev->RtsControl_ = (Lines & TIOCM_RTS) ? 1 : 0;
    }
  }
  return Dev;
}

TSerialDevice::~TSerialDevice() { CloseHandle(); }

void TSerialDevice::CloseHandle() {
  if (Fd_ < 0) return;
  // The exclusive mode of a tty survives its last close when the tty itself lives on (the
  // slave of a pseudo terminal whose master is open): clear it for the next opener, but only
  // when it was ours; another program's stays.
  if (OwnExclusive_) ::ioctl(Fd_, TIOCNXCL);
  OwnExclusive_ = false;
  RemoveSerialLock(LockFile_);
  LockFile_.clear();
  ::flock(Fd_, LOCK_UN);
  ::close(Fd_);
  Fd_ = -1;
}

int TSerialDevice::GetFileType() const {
  struct stat St {};
  if (::fstat(Fd_, &St) != 0) return SerialFileTypeUnknown;
  if (S_ISCHR(St.st_mode)) return SerialFileTypeChar;
  if (S_ISREG(St.st_mode) || S_ISBLK(St.st_mode) || S_ISDIR(St.st_mode)) return SerialFileTypeDisk;
  if (S_ISFIFO(St.st_mode) || S_ISSOCK(St.st_mode)) return SerialFileTypePipe;
  return SerialFileTypeUnknown;
}

int TSerialDevice::GetCommProperties(TSerialProperties& Props) const {
  struct termios2 T {};
  if (::ioctl(Fd_, TCGETS2, &T) != 0) return errno;
  // The driver does not tell its maximum rate; the line discipline buffers 4096 bytes.
  Props.dwMaxBaud = 0;
  Props.dwCurrentRxQueue = 4096;
  return 0;
}

int TSerialDevice::GetCommModemStatus(std::uint32_t& Status) const {
  Status = 0;
  int Lines = 0;
  if (::ioctl(Fd_, TIOCMGET, &Lines) != 0) {
    const int E = errno;
    return IsNoSuchFeature(E) ? 0 : E;
  }
  if (Lines & TIOCM_CTS) Status |= MS_CTS_ON;
  if (Lines & TIOCM_DSR) Status |= MS_DSR_ON;
  if (Lines & TIOCM_RI) Status |= MS_RING_ON;
  if (Lines & TIOCM_CD) Status |= MS_RLSD_ON;
  return 0;
}

int TSerialDevice::GetCommState(TSerialLineSettings& S) const {
  struct termios2 T {};
  if (::ioctl(Fd_, TCGETS2, &T) != 0) return errno;
  S = TSerialLineSettings{};
  S.BaudRate = T.c_ospeed;
  switch (T.c_cflag & CSIZE) {
    case CS5:
      S.ByteSize = 5;
      break;
    case CS6:
      S.ByteSize = 6;
      break;
    case CS7:
      S.ByteSize = 7;
      break;
    default:
      S.ByteSize = 8;
      break;
  }
  if (T.c_cflag & PARENB) {
    const bool Odd = (T.c_cflag & PARODD) != 0;
    if (T.c_cflag & CMSPAR)
      S.Parity = Odd ? 3 : 4;
    else
      S.Parity = Odd ? 1 : 2;
  }
  S.StopBits = (T.c_cflag & CSTOPB) ? 2 : 0;
  S.fBinary = true;
  S.fParity = (T.c_iflag & INPCK) != 0;
  S.fOutxCtsFlow = (T.c_cflag & CRTSCTS) != 0;
  S.fDtrControl = DtrControl_;
  S.fRtsControl = (T.c_cflag & CRTSCTS) ? 2 : RtsControl_;
  S.fOutX = (T.c_iflag & IXON) != 0;
  S.fInX = (T.c_iflag & IXOFF) != 0;
  S.XonChar = T.c_cc[VSTART];
  S.XoffChar = T.c_cc[VSTOP];
  S.EofChar = T.c_cc[VEOF];
  return 0;
}

int TSerialDevice::SetCommState(const TSerialLineSettings& S) {
  if (S.BaudRate == 0) return EINVAL;
  struct termios2 T {};
  if (::ioctl(Fd_, TCGETS2, &T) != 0) return errno;
  // Raw mode: no input or output processing, no echo, no signals.
  T.c_iflag = 0;
  T.c_oflag = 0;
  T.c_lflag = 0;
  T.c_cflag = CREAD | CLOCAL;
  switch (S.ByteSize) {
    case 5:
      T.c_cflag |= CS5;
      break;
    case 6:
      T.c_cflag |= CS6;
      break;
    case 7:
      T.c_cflag |= CS7;
      break;
    default:
      T.c_cflag |= CS8;
      break;
  }
  switch (S.Parity) {
    case 1:
      T.c_cflag |= PARENB | PARODD;
      break;
    case 2:
      T.c_cflag |= PARENB;
      break;
    case 3:
      T.c_cflag |= PARENB | PARODD | CMSPAR;
      break;
    case 4:
      T.c_cflag |= PARENB | CMSPAR;
      break;
    default:
      break;
  }
  if (S.Parity != 0) T.c_iflag |= S.fParity ? INPCK : IGNPAR;
  if (S.StopBits != 0) T.c_cflag |= CSTOPB;
  if (S.fOutxCtsFlow || S.fRtsControl == 2) T.c_cflag |= CRTSCTS;
  if (S.fOutX) T.c_iflag |= IXON;
  if (S.fInX) T.c_iflag |= IXOFF;
  T.c_cc[VSTART] = static_cast<cc_t>(S.XonChar);
  T.c_cc[VSTOP] = static_cast<cc_t>(S.XoffChar);
  T.c_cc[VEOF] = static_cast<cc_t>(S.EofChar);
  T.c_cc[VMIN] = 0;
  T.c_cc[VTIME] = 0;
  T.c_cflag &= ~(CBAUD | (CBAUD << IBSHIFT));
  T.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
  T.c_ispeed = S.BaudRate;
  T.c_ospeed = S.BaudRate;
  if (::ioctl(Fd_, TCSETS2, &T) != 0) return errno;

  if (int E = SetModemLine(TIOCM_DTR, S.fDtrControl != 0)) return E;
  if (S.fRtsControl != 2)
    if (int E = SetModemLine(TIOCM_RTS, S.fRtsControl != 0)) return E;
  DtrControl_ = S.fDtrControl;
  RtsControl_ = S.fRtsControl;
  return 0;
}

int TSerialDevice::SetModemLine(int Line, bool On) {
  if (::ioctl(Fd_, On ? TIOCMBIS : TIOCMBIC, &Line) != 0) {
    const int E = errno;
    return IsNoSuchFeature(E) ? 0 : E;
  }
  return 0;
}

int TSerialDevice::SetCommTimeouts(const TSerialTimeouts& Timeouts) {
  if (Fd_ < 0) return EBADF;
  Timeouts_ = Timeouts;
  return 0;
}

int TSerialDevice::SetCommMask(std::uint32_t Mask) {
  if (Fd_ < 0) return EBADF;
  Mask_.store(Mask);
  return 0;
}

int TSerialDevice::EscapeCommFunction(std::uint32_t Func) {
  switch (Func) {
    case SETRTS:
      return SetModemLine(TIOCM_RTS, true);
    case CLRRTS:
      return SetModemLine(TIOCM_RTS, false);
    case SETDTR:
      return SetModemLine(TIOCM_DTR, true);
    case CLRDTR:
      return SetModemLine(TIOCM_DTR, false);
    case SETBREAK:
    case CLRBREAK:
      if (::ioctl(Fd_, Func == SETBREAK ? TIOCSBRK : TIOCCBRK) != 0) {
        const int E = errno;
        return IsNoSuchFeature(E) ? 0 : E;
      }
      return 0;
    default:
      return EINVAL;
  }
}

int TSerialDevice::PurgeComm(std::uint32_t Flags) {
  // Reads and writes are synchronous here, so there is nothing to abort.
  const bool In = (Flags & PURGE_RXCLEAR) != 0;
  const bool Out = (Flags & PURGE_TXCLEAR) != 0;
  if (!In && !Out) return Fd_ < 0 ? EBADF : 0;
  const int Queue = In && Out ? TCIOFLUSH : (In ? TCIFLUSH : TCOFLUSH);
  if (::ioctl(Fd_, TCFLSH, Queue) != 0) return errno;
  return 0;
}

int TSerialDevice::ClearCommError(std::uint32_t& Errors, std::uint32_t& InQueue) {
  Errors = 0;
  InQueue = 0;
  int Waiting = 0;
  if (::ioctl(Fd_, FIONREAD, &Waiting) != 0) return errno;
  InQueue = Waiting > 0 ? static_cast<std::uint32_t>(Waiting) : 0;
  struct serial_icounter_struct C {};
  if (::ioctl(Fd_, TIOCGICOUNT, &C) != 0) {
    const int E = errno;
    return IsNoSuchFeature(E) ? 0 : E;  // no counters: no errors to report
  }
  std::lock_guard Guard(CountersLock_);
  if (CountersKnown_) {
    if (C.buf_overrun != BufOverrun_) Errors |= CE_RXOVER;
    if (C.overrun != Overrun_) Errors |= CE_OVERRUN;
    if (C.parity != Parity_) Errors |= CE_RXPARITY;
    if (C.frame != Frame_) Errors |= CE_FRAME;
    if (C.brk != Break_) Errors |= CE_BREAK;
  }
  CountersKnown_ = true;
  BufOverrun_ = C.buf_overrun;
  Overrun_ = C.overrun;
  Parity_ = C.parity;
  Frame_ = C.frame;
  Break_ = C.brk;
  return 0;
}

int TSerialDevice::ReadFile(std::uint8_t* Buffer, std::uint32_t Count, std::uint32_t& Done) {
  Done = 0;
  if (Count == 0) return 0;
  if (Fd_ < 0) return EBADF;
  const int WaitMs = ReadWaitMs(Timeouts_);
  std::optional<TClock::time_point> End;
  if (WaitMs >= 0) End = TClock::now() + std::chrono::milliseconds(WaitMs);
  for (;;) {
    short Revents = 0;
    const int R = platform::WaitDescriptor(Fd_, POLLIN, End, Revents);
    if (R == ETIMEDOUT) return 0;  // nothing within the timeout
    if (R != 0) return R;
    const int E = TakeReadable(Revents, Buffer, Count, Done);
    if (E != 0 || Done > 0) return E;
    // Another reader was faster: wait on for the rest of the time.
  }
}

int TSerialDevice::ReadAvailable(std::uint8_t* Buffer, std::uint32_t Count, std::uint32_t& Done) {
  Done = 0;
  if (Count == 0) return 0;
  if (Fd_ < 0) return EBADF;
  short Revents = 0;
  const int R = platform::WaitDescriptor(Fd_, POLLIN, TClock::now(), Revents);
  if (R == ETIMEDOUT) return 0;
  if (R != 0) return R;
  return TakeReadable(Revents, Buffer, Count, Done);
}

int TSerialDevice::TakeReadable(short Revents, std::uint8_t* Buffer, std::uint32_t Count,
                                std::uint32_t& Done) {
  if (Revents & POLLNVAL) return EBADF;
  if (Revents & POLLIN) {
    for (;;) {
      const ssize_t N = ::read(Fd_, Buffer, std::min<std::size_t>(Count, SSIZE_MAX));
      if (N > 0) {
        Done = static_cast<std::uint32_t>(N);
        return 0;
      }
      // Readable but no data: the other side is gone.
      if (N == 0) return EIO;
      if (errno == EINTR) continue;
      return errno == EAGAIN ? 0 : errno;
    }
  }
  if (Revents & (POLLHUP | POLLERR)) return EIO;
  return 0;
}

int TSerialDevice::WriteFile(const std::uint8_t* Data, std::uint32_t Count, std::uint32_t& Done) {
  Done = 0;
  if (Fd_ < 0) return EBADF;
  const std::uint32_t Limit =
      Timeouts_.WriteTotalTimeoutConstant + Timeouts_.WriteTotalTimeoutMultiplier * Count;
  std::optional<TClock::time_point> End;
  if (Limit != 0) End = TClock::now() + std::chrono::milliseconds(Limit);
  while (Done < Count) {
    const ssize_t N = ::write(Fd_, Data + Done, Count - Done);
    if (N > 0) {
      Done += static_cast<std::uint32_t>(N);
      continue;
    }
    if (N < 0 && errno == EINTR) continue;
    if (N < 0 && errno != EAGAIN) return errno;
    // The output queue is full: wait for room.
    short Revents = 0;
    const int R = platform::WaitDescriptor(Fd_, POLLOUT, End, Revents);
    if (R != 0) return R;
    if (Revents & POLLNVAL) return EBADF;
    if (!(Revents & POLLOUT) && (Revents & (POLLHUP | POLLERR))) return EIO;
  }
  return 0;
}

TSerialLineEventState::~TSerialLineEventState() {
  if (Poll >= 0) ::close(Poll);
}

std::uint32_t TSerialDevice::CheckLines(TSerialLineEventState& S) const {
  std::uint32_t Events = 0;
  // The counters also count modem line changes, and reading them never reaches the device.
  if (!S.NoCounters) {
    struct serial_icounter_struct C {};
    ++S.LineQueries;
    if (::ioctl(Fd_, TIOCGICOUNT, &C) == 0) {
      if (S.CountersKnown) {
        if (C.brk != S.Break) Events |= EV_BREAK;
        if (C.frame != S.Frame || C.overrun != S.Overrun || C.parity != S.Parity ||
            C.buf_overrun != S.BufOverrun)
          Events |= EV_ERR;
        if (C.cts != S.Cts) Events |= EV_CTS;
        if (C.dsr != S.Dsr) Events |= EV_DSR;
        if (C.dcd != S.Dcd) Events |= EV_RLSD;
        if (C.rng != S.Ring) Events |= EV_RING;
      }
      S.CountersKnown = true;
      S.Frame = C.frame;
      S.Overrun = C.overrun;
      S.Parity = C.parity;
      S.BufOverrun = C.buf_overrun;
      S.Break = C.brk;
      S.Cts = C.cts;
      S.Dsr = C.dsr;
      S.Dcd = C.dcd;
      S.Ring = C.rng;
      return Events;
    }
    if (!IsNoSuchFeature(errno)) return Events;
    S.NoCounters = true;
  }
  if (!S.NoModemLines) {
    int Lines = 0;
    ++S.LineQueries;
    if (::ioctl(Fd_, TIOCMGET, &Lines) == 0) {
      if (S.ModemKnown) {
        const int Changed = Lines ^ S.ModemLines;
        if (Changed & TIOCM_CTS) Events |= EV_CTS;
        if (Changed & TIOCM_DSR) Events |= EV_DSR;
        if (Changed & TIOCM_CD) Events |= EV_RLSD;
        if (Changed & TIOCM_RI) Events |= EV_RING;
      }
      S.ModemKnown = true;
      S.ModemLines = Lines;
    } else if (IsNoSuchFeature(errno)) {
      S.NoModemLines = true;
    }
  }
  return Events;
}

int TSerialDevice::WaitCommEvent(TSerialLineEventState& S, const TSerialWakeEvent& Wake,
                                 int SliceMs, std::uint32_t& Mask) {
  Mask = 0;
  if (Fd_ < 0) return EBADF;
  constexpr std::uint32_t DeviceTag = 0, WakeTag = 1;
  if (S.Poll < 0) {
    S.Poll = ::epoll_create1(EPOLL_CLOEXEC);
    if (S.Poll < 0) return errno;
    // Edge-triggered: the device wakes the wait when bytes arrive, not while they wait. Bytes
    // already there count as one arrival.
    struct epoll_event Device {};
    Device.events = EPOLLIN | EPOLLET;
    Device.data.u32 = DeviceTag;
    struct epoll_event Woken {};
    Woken.events = EPOLLIN;
    Woken.data.u32 = WakeTag;
    if (::epoll_ctl(S.Poll, EPOLL_CTL_ADD, Fd_, &Device) != 0 ||
        ::epoll_ctl(S.Poll, EPOLL_CTL_ADD, Wake.Fd(), &Woken) != 0) {
      const int E = errno;
      ::close(S.Poll);
      S.Poll = -1;
      return E;
    }
    S.NextLineCheck = TClock::now();
  }
  const auto End = TClock::now() + std::chrono::milliseconds(SliceMs);
  for (;;) {
    struct epoll_event Ready[2];
    const int N = ::epoll_wait(S.Poll, Ready, 2, RemainingMs(End));
    if (N < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    ++S.WakeUps;
    std::uint32_t Events = 0;
    bool WakeSet = false;
    for (int I = 0; I < N; ++I) {
      if (Ready[I].data.u32 == WakeTag) {
        WakeSet = true;
        continue;
      }
      if (Ready[I].events & (EPOLLHUP | EPOLLERR)) return EIO;
      if (Ready[I].events & EPOLLIN) Events |= EV_RXCHAR;
    }
    const auto Now = TClock::now();
    if (Now >= S.NextLineCheck) {
      Events |= CheckLines(S);
      S.NextLineCheck = Now + std::chrono::milliseconds(SliceMs);
    }
    Events &= Mask_.load();
    if (Events != 0 || WakeSet || N == 0) {
      Mask = Events;
      return 0;
    }
  }
}

}  // namespace probrix
