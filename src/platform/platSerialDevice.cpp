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
#include <optional>

#include "platform/platPosix.h"

namespace probrix::platform {

namespace {

using TClock = std::chrono::steady_clock;

// Pseudo terminals and many adapters have no modem lines or counters: they answer these.
bool IsNoSuchFeature(int Error) { return Error == ENOTTY || Error == EINVAL; }

// Rounded up: a wait cut down to whole milliseconds would end before End (every read timeout
// about a millisecond short).
int RemainingMs(TClock::time_point End) {
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(End - TClock::now()).count();
  if (left <= 0) return 0;
  return left > INT_MAX ? INT_MAX : static_cast<int>(left);
}

// errno of a failed operation on an open device as a failure of use: a device that is no
// longer there has gone away.
TOsError UseError(int Code) { return OsError(Code, TErrorContext::ecUse); }

// The result of a modem line or counter request: a device without the feature is no error.
TOsError FeatureError(int Code) { return IsNoSuchFeature(Code) ? TOsError{} : UseError(Code); }

}  // namespace

// --- TSerialDevice ----------------------------------------------------------------------

std::shared_ptr<TSerialDevice> TSerialDevice::Open(
    const std::string& Path, TOsError& Error, std::string& Holder,
    const std::vector<std::filesystem::path>& LockFolders) {
  Error = {};
  Holder.clear();
  const auto refuse = [&Error](int Code) {
    Error = OsError(Code, TErrorContext::ecOpen);
    return nullptr;
  };
  // A lock file may be there before its program opens the device: the device is not touched.
  if (FindSerialLockHolder(Path, LockFolders, Holder)) return refuse(EBUSY);
  int fd = ::open(Path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    const int code = errno;
    // A terminal that another program made exclusive refuses the open itself: still name it.
    if (code == EBUSY) FindSerialDeviceHolder(Path, Holder);
    return refuse(code);
  }
  std::shared_ptr<TSerialDevice> dev(new TSerialDevice(fd));
  // Only a terminal has holders to respect (/dev/null is open everywhere). Opening a terminal
  // that another program uses changes nothing for it, and from here this process counts
  // itself out. Root even opens a terminal that another program made exclusive; the holder is
  // looked for all the same, so that the operator learns whom to ask.
  const bool isTerminal = ::isatty(fd) != 0;
  if (isTerminal) {
    int alreadyExclusive = 0;
    const bool exclusive = ::ioctl(fd, TIOCGEXCL, &alreadyExclusive) == 0 && alreadyExclusive != 0;
    if (FindSerialDeviceHolder(Path, Holder) || exclusive) {
      dev->Close();
      return refuse(EBUSY);
    }
  }
  // flock also stops root and other descriptors of this process; TIOCEXCL refuses further
  // opens of the terminal (except to root).
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int code = errno;
    dev->Close();
    return refuse(code);
  }
  dev->OwnExclusive_ = isTerminal && ::ioctl(fd, TIOCEXCL) == 0;
  int lockPid = 0;
  if (CreateSerialLock(Path, LockFolders, dev->LockFile_, lockPid) != 0) {
    Holder = DescribeSerialHolder(lockPid);
    dev->Close();
    return refuse(EBUSY);
  }
  if (isTerminal) {
    // The control of DTR and RTS starts as the lines are after opening.
    int lines = 0;
    if (::ioctl(fd, TIOCMGET, &lines) == 0) {
      dev->DtrControl_ = (lines & TIOCM_DTR) ? TLineControl::lcEnable : TLineControl::lcDisable;
      dev->RtsControl_ = (lines & TIOCM_RTS) ? TLineControl::lcEnable : TLineControl::lcDisable;
    }
  }
  return dev;
}

TSerialDevice::~TSerialDevice() { Close(); }

void TSerialDevice::Close() {
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

TDeviceFileType TSerialDevice::FileType() const {
  struct stat st {};
  if (::fstat(Fd_, &st) != 0) return TDeviceFileType::ftUnknown;
  if (S_ISCHR(st.st_mode)) return TDeviceFileType::ftCharacter;
  if (S_ISREG(st.st_mode) || S_ISBLK(st.st_mode) || S_ISDIR(st.st_mode))
    return TDeviceFileType::ftDisk;
  if (S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode)) return TDeviceFileType::ftPipe;
  return TDeviceFileType::ftUnknown;
}

TOsError TSerialDevice::ReadProperties(TSerialProperties& Properties) const {
  struct termios2 t {};
  if (::ioctl(Fd_, TCGETS2, &t) != 0) return UseError(errno);
  // The driver does not tell its maximum rate; the line discipline buffers 4096 bytes.
  Properties.MaxBaudRate = 0;
  Properties.InputQueueSize = 4096;
  return {};
}

TOsError TSerialDevice::ReadModemLines(TModemLines& Lines) const {
  Lines = {};
  int bits = 0;
  if (::ioctl(Fd_, TIOCMGET, &bits) != 0) return FeatureError(errno);
  if (bits & TIOCM_CTS) Lines |= TModemLine::mlCts;
  if (bits & TIOCM_DSR) Lines |= TModemLine::mlDsr;
  if (bits & TIOCM_RI) Lines |= TModemLine::mlRing;
  if (bits & TIOCM_CD) Lines |= TModemLine::mlCarrierDetect;
  return {};
}

TOsError TSerialDevice::ReadLineSettings(TSerialLineSettings& S) const {
  struct termios2 t {};
  if (::ioctl(Fd_, TCGETS2, &t) != 0) return UseError(errno);
  S = TSerialLineSettings{};
  S.BaudRate = t.c_ospeed;
  switch (t.c_cflag & CSIZE) {
    case CS5:
      S.DataBits = 5;
      break;
    case CS6:
      S.DataBits = 6;
      break;
    case CS7:
      S.DataBits = 7;
      break;
    default:
      S.DataBits = 8;
      break;
  }
  if (t.c_cflag & PARENB) {
    const bool odd = (t.c_cflag & PARODD) != 0;
    if (t.c_cflag & CMSPAR)
      S.Parity = odd ? TParity::paMark : TParity::paSpace;
    else
      S.Parity = odd ? TParity::paOdd : TParity::paEven;
  }
  S.StopBits = (t.c_cflag & CSTOPB) ? TStopBits::sbTwo : TStopBits::sbOne;
  S.Binary = true;
  S.CheckParity = (t.c_iflag & INPCK) != 0;
  S.CtsOutputFlow = (t.c_cflag & CRTSCTS) != 0;
  S.DtrControl = DtrControl_;
  S.RtsControl = (t.c_cflag & CRTSCTS) ? TLineControl::lcHandshake : RtsControl_;
  S.XonXoffOutput = (t.c_iflag & IXON) != 0;
  S.XonXoffInput = (t.c_iflag & IXOFF) != 0;
  S.XonChar = t.c_cc[VSTART];
  S.XoffChar = t.c_cc[VSTOP];
  S.EofChar = t.c_cc[VEOF];
  return {};
}

TOsError TSerialDevice::WriteLineSettings(const TSerialLineSettings& S) {
  if (S.BaudRate == 0) return UseError(EINVAL);
  struct termios2 t {};
  if (::ioctl(Fd_, TCGETS2, &t) != 0) return UseError(errno);
  // Raw mode: no input or output processing, no echo, no signals.
  t.c_iflag = 0;
  t.c_oflag = 0;
  t.c_lflag = 0;
  t.c_cflag = CREAD | CLOCAL;
  switch (S.DataBits) {
    case 5:
      t.c_cflag |= CS5;
      break;
    case 6:
      t.c_cflag |= CS6;
      break;
    case 7:
      t.c_cflag |= CS7;
      break;
    default:
      t.c_cflag |= CS8;
      break;
  }
  switch (S.Parity) {
    case TParity::paOdd:
      t.c_cflag |= PARENB | PARODD;
      break;
    case TParity::paEven:
      t.c_cflag |= PARENB;
      break;
    case TParity::paMark:
      t.c_cflag |= PARENB | PARODD | CMSPAR;
      break;
    case TParity::paSpace:
      t.c_cflag |= PARENB | CMSPAR;
      break;
    default:
      break;
  }
  if (S.Parity != TParity::paNone) t.c_iflag |= S.CheckParity ? INPCK : IGNPAR;
  if (S.StopBits != TStopBits::sbOne) t.c_cflag |= CSTOPB;
  if (S.CtsOutputFlow || S.RtsControl == TLineControl::lcHandshake) t.c_cflag |= CRTSCTS;
  if (S.XonXoffOutput) t.c_iflag |= IXON;
  if (S.XonXoffInput) t.c_iflag |= IXOFF;
  t.c_cc[VSTART] = static_cast<cc_t>(S.XonChar);
  t.c_cc[VSTOP] = static_cast<cc_t>(S.XoffChar);
  t.c_cc[VEOF] = static_cast<cc_t>(S.EofChar);
  t.c_cc[VMIN] = 0;
  t.c_cc[VTIME] = 0;
  t.c_cflag &= ~(CBAUD | (CBAUD << IBSHIFT));
  t.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
  t.c_ispeed = S.BaudRate;
  t.c_ospeed = S.BaudRate;
  if (::ioctl(Fd_, TCSETS2, &t) != 0) return UseError(errno);

  if (const int e = DriveModemLines(TIOCM_DTR, S.DtrControl != TLineControl::lcDisable))
    return UseError(e);
  if (S.RtsControl != TLineControl::lcHandshake)
    if (const int e = DriveModemLines(TIOCM_RTS, S.RtsControl != TLineControl::lcDisable))
      return UseError(e);
  DtrControl_ = S.DtrControl;
  RtsControl_ = S.RtsControl;
  const std::int64_t halfBits = 2 * (1 + S.DataBits + (S.Parity != TParity::paNone ? 1 : 0)) +
                                (S.StopBits == TStopBits::sbOne          ? 2
                                 : S.StopBits == TStopBits::sbOneAndHalf ? 3
                                                                         : 4);
  CharTime_ = std::chrono::nanoseconds(halfBits * 500'000'000LL / S.BaudRate);
  return {};
}

int TSerialDevice::DriveModemLines(int Bits, bool On) {
  if (::ioctl(Fd_, On ? TIOCMBIS : TIOCMBIC, &Bits) != 0) {
    const int e = errno;
    return IsNoSuchFeature(e) ? 0 : e;
  }
  return 0;
}

TOsError TSerialDevice::SetTimeouts(const TSerialTimeouts& Timeouts) {
  if (Fd_ < 0) return UseError(EBADF);
  Timeouts_ = Timeouts;
  return {};
}

TOsError TSerialDevice::SetEventMask(TLineEvents Events) {
  if (Fd_ < 0) return UseError(EBADF);
  Mask_.store(Events.Bits());
  return {};
}

TOsError TSerialDevice::SetModemLine(TModemLine Line, bool On) {
  switch (Line) {
    case TModemLine::mlDtr:
      return UseError(DriveModemLines(TIOCM_DTR, On));
    case TModemLine::mlRts:
      return UseError(DriveModemLines(TIOCM_RTS, On));
    default:
      return UseError(EINVAL);  // the other lines are inputs
  }
}

TOsError TSerialDevice::SetBreak(bool On) {
  if (::ioctl(Fd_, On ? TIOCSBRK : TIOCCBRK) != 0) return FeatureError(errno);
  return {};
}

TOsError TSerialDevice::Purge(TPurges What) {
  // Reads and writes are synchronous here, so there is nothing to abort.
  const bool in = What.Has(TPurge::puClearInput);
  const bool out = What.Has(TPurge::puClearOutput);
  if (!in && !out) return Fd_ < 0 ? UseError(EBADF) : TOsError{};
  const int queue = in && out ? TCIOFLUSH : (in ? TCIFLUSH : TCOFLUSH);
  if (::ioctl(Fd_, TCFLSH, queue) != 0) return UseError(errno);
  return {};
}

TOsError TSerialDevice::ReadLineStatus(TLineFaults& Faults, std::uint32_t& InQueue) {
  Faults = {};
  InQueue = 0;
  int waiting = 0;
  if (::ioctl(Fd_, FIONREAD, &waiting) != 0) return UseError(errno);
  InQueue = waiting > 0 ? static_cast<std::uint32_t>(waiting) : 0;
  struct serial_icounter_struct c {};
  // No counters: no faults to report.
  if (::ioctl(Fd_, TIOCGICOUNT, &c) != 0) return FeatureError(errno);
  std::lock_guard guard(CountersLock_);
  if (CountersKnown_) {
    if (c.buf_overrun != BufOverrun_) Faults |= TLineFault::lfInputOverflow;
    if (c.overrun != Overrun_) Faults |= TLineFault::lfOverrun;
    if (c.parity != Parity_) Faults |= TLineFault::lfParity;
    if (c.frame != Frame_) Faults |= TLineFault::lfFraming;
    if (c.brk != Break_) Faults |= TLineFault::lfBreak;
  }
  CountersKnown_ = true;
  BufOverrun_ = c.buf_overrun;
  Overrun_ = c.overrun;
  Parity_ = c.parity;
  Frame_ = c.frame;
  Break_ = c.brk;
  return {};
}

TOsError TSerialDevice::Read(std::uint8_t* Buffer, std::uint32_t Count, std::uint32_t& Done,
                             bool Whole) {
  Done = 0;
  if (Count == 0) return {};
  if (Fd_ < 0) return UseError(EBADF);
  std::optional<TClock::time_point> end;
  if (Timeouts_.ReadMs >= 0) end = TClock::now() + std::chrono::milliseconds(Timeouts_.ReadMs);
  for (;;) {
    short revents = 0;
    const int r = WaitDescriptor(Fd_, POLLIN, end, revents);
    if (r == ETIMEDOUT) return {};  // nothing within the timeout
    if (r != 0) return UseError(r);
    const int e = TakeReadable(revents, Buffer, Count, Done);
    if (e != 0) return UseError(e);
    if (Done > 0) break;
    // Another reader was faster: wait on for the rest of the time.
  }
  if (!Whole || Done >= Count || CharTime_.count() == 0) return {};
  // The rest comes at the line's rate: a wake-up per chunk (a byte or two at 9600) would cost
  // a dozen per reply. One wait for the time the rest takes, with half a character to spare,
  // then what has come; a device that pauses is read on by the caller, as after any short read.
  auto until = TClock::now() + (Count - Done) * CharTime_ + CharTime_ / 2;
  if (end && *end < until) until = *end;
  short revents = 0;
  const int r = WaitDescriptor(Fd_, 0, until, revents);
  if (r != 0 && r != ETIMEDOUT) return UseError(r);
  std::uint32_t more = 0;
  // The bytes in hand are the caller's; a failure shows at the next read.
  (void)TakeReadable(POLLIN, Buffer + Done, Count - Done, more);
  Done += more;
  return {};
}

TOsError TSerialDevice::ReadAvailable(std::uint8_t* Buffer, std::uint32_t Count,
                                      std::uint32_t& Done) {
  Done = 0;
  if (Count == 0) return {};
  if (Fd_ < 0) return UseError(EBADF);
  short revents = 0;
  const int r = WaitDescriptor(Fd_, POLLIN, TClock::now(), revents);
  if (r == ETIMEDOUT) return {};
  if (r != 0) return UseError(r);
  return UseError(TakeReadable(revents, Buffer, Count, Done));
}

int TSerialDevice::TakeReadable(short Revents, std::uint8_t* Buffer, std::uint32_t Count,
                                std::uint32_t& Done) {
  if (Revents & POLLNVAL) return EBADF;
  if (Revents & POLLIN) {
    for (;;) {
      const ssize_t n = ::read(Fd_, Buffer, std::min<std::size_t>(Count, SSIZE_MAX));
      if (n > 0) {
        Done = static_cast<std::uint32_t>(n);
        return 0;
      }
      // Readable but no data: the other side is gone.
      if (n == 0) return EIO;
      if (errno == EINTR) continue;
      return errno == EAGAIN ? 0 : errno;
    }
  }
  if (Revents & (POLLHUP | POLLERR)) return EIO;
  return 0;
}

TOsError TSerialDevice::Write(const std::uint8_t* Data, std::uint32_t Count, std::uint32_t& Done) {
  Done = 0;
  if (Fd_ < 0) return UseError(EBADF);
  std::optional<TClock::time_point> end;
  if (Timeouts_.WriteMs >= 0) end = TClock::now() + std::chrono::milliseconds(Timeouts_.WriteMs);
  while (Done < Count) {
    const ssize_t n = ::write(Fd_, Data + Done, Count - Done);
    if (n > 0) {
      Done += static_cast<std::uint32_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN) return UseError(errno);
    // The output queue is full: wait for room.
    short revents = 0;
    if (const int r = WaitDescriptor(Fd_, POLLOUT, end, revents)) return UseError(r);
    if (revents & POLLNVAL) return UseError(EBADF);
    if (!(revents & POLLOUT) && (revents & (POLLHUP | POLLERR))) return UseError(EIO);
  }
  return {};
}

TSerialLineEventState::~TSerialLineEventState() {
  if (Poll >= 0) ::close(Poll);
}

TLineEvents TSerialDevice::CheckLines(TSerialLineEventState& S) const {
  TLineEvents events;
  // The counters also count modem line changes, and reading them never reaches the device.
  if (!S.NoCounters) {
    struct serial_icounter_struct c {};
    ++S.LineQueries;
    if (::ioctl(Fd_, TIOCGICOUNT, &c) == 0) {
      if (S.CountersKnown) {
        if (c.brk != S.Break) events |= TLineEvent::leBreak;
        if (c.frame != S.Frame || c.overrun != S.Overrun || c.parity != S.Parity ||
            c.buf_overrun != S.BufOverrun)
          events |= TLineEvent::leLineFault;
        if (c.cts != S.Cts) events |= TLineEvent::leCts;
        if (c.dsr != S.Dsr) events |= TLineEvent::leDsr;
        if (c.dcd != S.Dcd) events |= TLineEvent::leCarrierDetect;
        if (c.rng != S.Ring) events |= TLineEvent::leRing;
      }
      S.CountersKnown = true;
      S.Frame = c.frame;
      S.Overrun = c.overrun;
      S.Parity = c.parity;
      S.BufOverrun = c.buf_overrun;
      S.Break = c.brk;
      S.Cts = c.cts;
      S.Dsr = c.dsr;
      S.Dcd = c.dcd;
      S.Ring = c.rng;
      return events;
    }
    if (!IsNoSuchFeature(errno)) return events;
    S.NoCounters = true;
  }
  if (!S.NoModemLines) {
    int lines = 0;
    ++S.LineQueries;
    if (::ioctl(Fd_, TIOCMGET, &lines) == 0) {
      if (S.ModemKnown) {
        const int changed = lines ^ S.ModemLines;
        if (changed & TIOCM_CTS) events |= TLineEvent::leCts;
        if (changed & TIOCM_DSR) events |= TLineEvent::leDsr;
        if (changed & TIOCM_CD) events |= TLineEvent::leCarrierDetect;
        if (changed & TIOCM_RI) events |= TLineEvent::leRing;
      }
      S.ModemKnown = true;
      S.ModemLines = lines;
    } else if (IsNoSuchFeature(errno)) {
      S.NoModemLines = true;
    }
  }
  return events;
}

TOsError TSerialDevice::WaitLineEvents(TSerialLineEventState& S, const TSerialWakeEvent& Wake,
                                       int SliceMs, TLineEvents& Result) {
  Result = {};
  if (Fd_ < 0) return UseError(EBADF);
  constexpr std::uint32_t DeviceTag = 0, WakeTag = 1;
  if (S.Poll < 0) {
    S.Poll = ::epoll_create1(EPOLL_CLOEXEC);
    if (S.Poll < 0) return UseError(errno);
    // Edge-triggered: the device wakes the wait when bytes arrive, not while they wait. Bytes
    // already there count as one arrival.
    struct epoll_event device {};
    device.events = EPOLLIN | EPOLLET;
    device.data.u32 = DeviceTag;
    struct epoll_event woken {};
    woken.events = EPOLLIN;
    woken.data.u32 = WakeTag;
    if (::epoll_ctl(S.Poll, EPOLL_CTL_ADD, Fd_, &device) != 0 ||
        ::epoll_ctl(S.Poll, EPOLL_CTL_ADD, Wake.Fd(), &woken) != 0) {
      const int e = errno;
      ::close(S.Poll);
      S.Poll = -1;
      return UseError(e);
    }
    S.NextLineCheck = TClock::now();
    S.WatchingInput = true;
  }
  // Bytes wake the wait only for a caller that takes them; re-armed, input already waiting
  // counts as an arrival.
  if (const bool watch = !S.IgnoreInput && EventMask().Has(TLineEvent::leReceived);
      watch != S.WatchingInput) {
    struct epoll_event device {};
    device.events = watch ? EPOLLIN | EPOLLET : EPOLLET;
    device.data.u32 = DeviceTag;
    if (::epoll_ctl(S.Poll, EPOLL_CTL_MOD, Fd_, &device) != 0) return UseError(errno);
    S.WatchingInput = watch;
  }
  const auto end = TClock::now() + std::chrono::milliseconds(SliceMs);
  for (;;) {
    struct epoll_event ready[2];
    const int n = ::epoll_wait(S.Poll, ready, 2, RemainingMs(end));
    if (n < 0) {
      if (errno == EINTR) continue;
      return UseError(errno);
    }
    ++S.WakeUps;
    TLineEvents events;
    bool wakeSet = false;
    for (int i = 0; i < n; ++i) {
      if (ready[i].data.u32 == WakeTag) {
        wakeSet = true;
        continue;
      }
      if (ready[i].events & (EPOLLHUP | EPOLLERR)) return UseError(EIO);
      if (ready[i].events & EPOLLIN) events |= TLineEvent::leReceived;
    }
    const auto now = TClock::now();
    if (now >= S.NextLineCheck) {
      events |= CheckLines(S);
      S.NextLineCheck = now + std::chrono::milliseconds(SliceMs);
    }
    events = events & EventMask();
    if (!events.Empty() || wakeSet || n == 0) {
      Result = events;
      return {};
    }
  }
}

}  // namespace probrix::platform
