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
  const auto Left = std::chrono::ceil<std::chrono::milliseconds>(End - TClock::now()).count();
  if (Left <= 0) return 0;
  return Left > INT_MAX ? INT_MAX : static_cast<int>(Left);
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
  const auto Refuse = [&Error](int Code) {
    Error = OsError(Code, TErrorContext::ecOpen);
    return nullptr;
  };
  // A lock file may be there before its program opens the device: the device is not touched.
  if (FindSerialLockHolder(Path, LockFolders, Holder)) return Refuse(EBUSY);
  int Fd = ::open(Path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (Fd < 0) {
    const int Code = errno;
    // A terminal that another program made exclusive refuses the open itself: still name it.
    if (Code == EBUSY) FindSerialDeviceHolder(Path, Holder);
    return Refuse(Code);
  }
  std::shared_ptr<TSerialDevice> Dev(new TSerialDevice(Fd));
  // Only a terminal has holders to respect (/dev/null is open everywhere). Opening a terminal
  // that another program uses changes nothing for it, and from here this process counts
  // itself out. Root even opens a terminal that another program made exclusive; the holder is
  // looked for all the same, so that the operator learns whom to ask.
  const bool IsTerminal = ::isatty(Fd) != 0;
  if (IsTerminal) {
    int AlreadyExclusive = 0;
    const bool Exclusive = ::ioctl(Fd, TIOCGEXCL, &AlreadyExclusive) == 0 && AlreadyExclusive != 0;
    if (FindSerialDeviceHolder(Path, Holder) || Exclusive) {
      Dev->Close();
      return Refuse(EBUSY);
    }
  }
  // flock also stops root and other descriptors of this process; TIOCEXCL refuses further
  // opens of the terminal (except to root).
  if (::flock(Fd, LOCK_EX | LOCK_NB) != 0) {
    const int Code = errno;
    Dev->Close();
    return Refuse(Code);
  }
  Dev->OwnExclusive_ = IsTerminal && ::ioctl(Fd, TIOCEXCL) == 0;
  int LockPid = 0;
  if (CreateSerialLock(Path, LockFolders, Dev->LockFile_, LockPid) != 0) {
    Holder = DescribeSerialHolder(LockPid);
    Dev->Close();
    return Refuse(EBUSY);
  }
  if (IsTerminal) {
    // The control of DTR and RTS starts as the lines are after opening.
    int Lines = 0;
    if (::ioctl(Fd, TIOCMGET, &Lines) == 0) {
      Dev->DtrControl_ = (Lines & TIOCM_DTR) ? TLineControl::lcEnable : TLineControl::lcDisable;
      Dev->RtsControl_ = (Lines & TIOCM_RTS) ? TLineControl::lcEnable : TLineControl::lcDisable;
    }
  }
  return Dev;
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
  struct stat St {};
  if (::fstat(Fd_, &St) != 0) return TDeviceFileType::ftUnknown;
  if (S_ISCHR(St.st_mode)) return TDeviceFileType::ftCharacter;
  if (S_ISREG(St.st_mode) || S_ISBLK(St.st_mode) || S_ISDIR(St.st_mode))
    return TDeviceFileType::ftDisk;
  if (S_ISFIFO(St.st_mode) || S_ISSOCK(St.st_mode)) return TDeviceFileType::ftPipe;
  return TDeviceFileType::ftUnknown;
}

TOsError TSerialDevice::ReadProperties(TSerialProperties& Properties) const {
  struct termios2 T {};
  if (::ioctl(Fd_, TCGETS2, &T) != 0) return UseError(errno);
  // The driver does not tell its maximum rate; the line discipline buffers 4096 bytes.
  Properties.MaxBaudRate = 0;
  Properties.InputQueueSize = 4096;
  return {};
}

TOsError TSerialDevice::ReadModemLines(TModemLines& Lines) const {
  Lines = {};
  int Bits = 0;
  if (::ioctl(Fd_, TIOCMGET, &Bits) != 0) return FeatureError(errno);
  if (Bits & TIOCM_CTS) Lines |= TModemLine::mlCts;
  if (Bits & TIOCM_DSR) Lines |= TModemLine::mlDsr;
  if (Bits & TIOCM_RI) Lines |= TModemLine::mlRing;
  if (Bits & TIOCM_CD) Lines |= TModemLine::mlCarrierDetect;
  return {};
}

TOsError TSerialDevice::ReadLineSettings(TSerialLineSettings& S) const {
  struct termios2 T {};
  if (::ioctl(Fd_, TCGETS2, &T) != 0) return UseError(errno);
  S = TSerialLineSettings{};
  S.BaudRate = T.c_ospeed;
  switch (T.c_cflag & CSIZE) {
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
  if (T.c_cflag & PARENB) {
    const bool Odd = (T.c_cflag & PARODD) != 0;
    if (T.c_cflag & CMSPAR)
      S.Parity = Odd ? TParity::paMark : TParity::paSpace;
    else
      S.Parity = Odd ? TParity::paOdd : TParity::paEven;
  }
  S.StopBits = (T.c_cflag & CSTOPB) ? TStopBits::sbTwo : TStopBits::sbOne;
  S.Binary = true;
  S.CheckParity = (T.c_iflag & INPCK) != 0;
  S.CtsOutputFlow = (T.c_cflag & CRTSCTS) != 0;
  S.DtrControl = DtrControl_;
  S.RtsControl = (T.c_cflag & CRTSCTS) ? TLineControl::lcHandshake : RtsControl_;
  S.XonXoffOutput = (T.c_iflag & IXON) != 0;
  S.XonXoffInput = (T.c_iflag & IXOFF) != 0;
  S.XonChar = T.c_cc[VSTART];
  S.XoffChar = T.c_cc[VSTOP];
  S.EofChar = T.c_cc[VEOF];
  return {};
}

TOsError TSerialDevice::WriteLineSettings(const TSerialLineSettings& S) {
  if (S.BaudRate == 0) return UseError(EINVAL);
  struct termios2 T {};
  if (::ioctl(Fd_, TCGETS2, &T) != 0) return UseError(errno);
  // Raw mode: no input or output processing, no echo, no signals.
  T.c_iflag = 0;
  T.c_oflag = 0;
  T.c_lflag = 0;
  T.c_cflag = CREAD | CLOCAL;
  switch (S.DataBits) {
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
    case TParity::paOdd:
      T.c_cflag |= PARENB | PARODD;
      break;
    case TParity::paEven:
      T.c_cflag |= PARENB;
      break;
    case TParity::paMark:
      T.c_cflag |= PARENB | PARODD | CMSPAR;
      break;
    case TParity::paSpace:
      T.c_cflag |= PARENB | CMSPAR;
      break;
    default:
      break;
  }
  if (S.Parity != TParity::paNone) T.c_iflag |= S.CheckParity ? INPCK : IGNPAR;
  if (S.StopBits != TStopBits::sbOne) T.c_cflag |= CSTOPB;
  if (S.CtsOutputFlow || S.RtsControl == TLineControl::lcHandshake) T.c_cflag |= CRTSCTS;
  if (S.XonXoffOutput) T.c_iflag |= IXON;
  if (S.XonXoffInput) T.c_iflag |= IXOFF;
  T.c_cc[VSTART] = static_cast<cc_t>(S.XonChar);
  T.c_cc[VSTOP] = static_cast<cc_t>(S.XoffChar);
  T.c_cc[VEOF] = static_cast<cc_t>(S.EofChar);
  T.c_cc[VMIN] = 0;
  T.c_cc[VTIME] = 0;
  T.c_cflag &= ~(CBAUD | (CBAUD << IBSHIFT));
  T.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
  T.c_ispeed = S.BaudRate;
  T.c_ospeed = S.BaudRate;
  if (::ioctl(Fd_, TCSETS2, &T) != 0) return UseError(errno);

  if (const int E = DriveModemLines(TIOCM_DTR, S.DtrControl != TLineControl::lcDisable))
    return UseError(E);
  if (S.RtsControl != TLineControl::lcHandshake)
    if (const int E = DriveModemLines(TIOCM_RTS, S.RtsControl != TLineControl::lcDisable))
      return UseError(E);
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
    const int E = errno;
    return IsNoSuchFeature(E) ? 0 : E;
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
  const bool In = What.Has(TPurge::puClearInput);
  const bool Out = What.Has(TPurge::puClearOutput);
  if (!In && !Out) return Fd_ < 0 ? UseError(EBADF) : TOsError{};
  const int Queue = In && Out ? TCIOFLUSH : (In ? TCIFLUSH : TCOFLUSH);
  if (::ioctl(Fd_, TCFLSH, Queue) != 0) return UseError(errno);
  return {};
}

TOsError TSerialDevice::ReadLineStatus(TLineFaults& Faults, std::uint32_t& InQueue) {
  Faults = {};
  InQueue = 0;
  int Waiting = 0;
  if (::ioctl(Fd_, FIONREAD, &Waiting) != 0) return UseError(errno);
  InQueue = Waiting > 0 ? static_cast<std::uint32_t>(Waiting) : 0;
  struct serial_icounter_struct C {};
  // No counters: no faults to report.
  if (::ioctl(Fd_, TIOCGICOUNT, &C) != 0) return FeatureError(errno);
  std::lock_guard Guard(CountersLock_);
  if (CountersKnown_) {
    if (C.buf_overrun != BufOverrun_) Faults |= TLineFault::lfInputOverflow;
    if (C.overrun != Overrun_) Faults |= TLineFault::lfOverrun;
    if (C.parity != Parity_) Faults |= TLineFault::lfParity;
    if (C.frame != Frame_) Faults |= TLineFault::lfFraming;
    if (C.brk != Break_) Faults |= TLineFault::lfBreak;
  }
  CountersKnown_ = true;
  BufOverrun_ = C.buf_overrun;
  Overrun_ = C.overrun;
  Parity_ = C.parity;
  Frame_ = C.frame;
  Break_ = C.brk;
  return {};
}

TOsError TSerialDevice::Read(std::uint8_t* Buffer, std::uint32_t Count, std::uint32_t& Done,
                             bool Whole) {
  Done = 0;
  if (Count == 0) return {};
  if (Fd_ < 0) return UseError(EBADF);
  std::optional<TClock::time_point> End;
  if (Timeouts_.ReadMs >= 0) End = TClock::now() + std::chrono::milliseconds(Timeouts_.ReadMs);
  for (;;) {
    short Revents = 0;
    const int R = WaitDescriptor(Fd_, POLLIN, End, Revents);
    if (R == ETIMEDOUT) return {};  // nothing within the timeout
    if (R != 0) return UseError(R);
    const int E = TakeReadable(Revents, Buffer, Count, Done);
    if (E != 0) return UseError(E);
    if (Done > 0) break;
    // Another reader was faster: wait on for the rest of the time.
  }
  if (!Whole || Done >= Count || CharTime_.count() == 0) return {};
  // The rest comes at the line's rate: a wake-up per chunk (a byte or two at 9600) would cost
  // a dozen per reply. One wait for the time the rest takes, with half a character to spare,
  // then what has come; a device that pauses is read on by the caller, as after any short read.
  auto Until = TClock::now() + (Count - Done) * CharTime_ + CharTime_ / 2;
  if (End && *End < Until) Until = *End;
  short Revents = 0;
  const int R = WaitDescriptor(Fd_, 0, Until, Revents);
  if (R != 0 && R != ETIMEDOUT) return UseError(R);
  std::uint32_t More = 0;
  const int E = TakeReadable(POLLIN, Buffer + Done, Count - Done, More);
  Done += More;
  // The bytes in hand are the caller's; a failure shows at the next read.
  (void)E;
  return {};
}

TOsError TSerialDevice::ReadAvailable(std::uint8_t* Buffer, std::uint32_t Count,
                                      std::uint32_t& Done) {
  Done = 0;
  if (Count == 0) return {};
  if (Fd_ < 0) return UseError(EBADF);
  short Revents = 0;
  const int R = WaitDescriptor(Fd_, POLLIN, TClock::now(), Revents);
  if (R == ETIMEDOUT) return {};
  if (R != 0) return UseError(R);
  return UseError(TakeReadable(Revents, Buffer, Count, Done));
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

TOsError TSerialDevice::Write(const std::uint8_t* Data, std::uint32_t Count, std::uint32_t& Done) {
  Done = 0;
  if (Fd_ < 0) return UseError(EBADF);
  std::optional<TClock::time_point> End;
  if (Timeouts_.WriteMs >= 0) End = TClock::now() + std::chrono::milliseconds(Timeouts_.WriteMs);
  while (Done < Count) {
    const ssize_t N = ::write(Fd_, Data + Done, Count - Done);
    if (N > 0) {
      Done += static_cast<std::uint32_t>(N);
      continue;
    }
    if (N < 0 && errno == EINTR) continue;
    if (N < 0 && errno != EAGAIN) return UseError(errno);
    // The output queue is full: wait for room.
    short Revents = 0;
    if (const int R = WaitDescriptor(Fd_, POLLOUT, End, Revents)) return UseError(R);
    if (Revents & POLLNVAL) return UseError(EBADF);
    if (!(Revents & POLLOUT) && (Revents & (POLLHUP | POLLERR))) return UseError(EIO);
  }
  return {};
}

TSerialLineEventState::~TSerialLineEventState() {
  if (Poll >= 0) ::close(Poll);
}

TLineEvents TSerialDevice::CheckLines(TSerialLineEventState& S) const {
  TLineEvents Events;
  // The counters also count modem line changes, and reading them never reaches the device.
  if (!S.NoCounters) {
    struct serial_icounter_struct C {};
    ++S.LineQueries;
    if (::ioctl(Fd_, TIOCGICOUNT, &C) == 0) {
      if (S.CountersKnown) {
        if (C.brk != S.Break) Events |= TLineEvent::leBreak;
        if (C.frame != S.Frame || C.overrun != S.Overrun || C.parity != S.Parity ||
            C.buf_overrun != S.BufOverrun)
          Events |= TLineEvent::leLineFault;
        if (C.cts != S.Cts) Events |= TLineEvent::leCts;
        if (C.dsr != S.Dsr) Events |= TLineEvent::leDsr;
        if (C.dcd != S.Dcd) Events |= TLineEvent::leCarrierDetect;
        if (C.rng != S.Ring) Events |= TLineEvent::leRing;
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
        if (Changed & TIOCM_CTS) Events |= TLineEvent::leCts;
        if (Changed & TIOCM_DSR) Events |= TLineEvent::leDsr;
        if (Changed & TIOCM_CD) Events |= TLineEvent::leCarrierDetect;
        if (Changed & TIOCM_RI) Events |= TLineEvent::leRing;
      }
      S.ModemKnown = true;
      S.ModemLines = Lines;
    } else if (IsNoSuchFeature(errno)) {
      S.NoModemLines = true;
    }
  }
  return Events;
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
      return UseError(E);
    }
    S.NextLineCheck = TClock::now();
    S.WatchingInput = true;
  }
  // Bytes wake the wait only for a caller that takes them; re-armed, input already waiting
  // counts as an arrival.
  if (const bool Watch = !S.IgnoreInput && EventMask().Has(TLineEvent::leReceived);
      Watch != S.WatchingInput) {
    struct epoll_event Device {};
    Device.events = Watch ? EPOLLIN | EPOLLET : EPOLLET;
    Device.data.u32 = DeviceTag;
    if (::epoll_ctl(S.Poll, EPOLL_CTL_MOD, Fd_, &Device) != 0) return UseError(errno);
    S.WatchingInput = Watch;
  }
  const auto End = TClock::now() + std::chrono::milliseconds(SliceMs);
  for (;;) {
    struct epoll_event Ready[2];
    const int N = ::epoll_wait(S.Poll, Ready, 2, RemainingMs(End));
    if (N < 0) {
      if (errno == EINTR) continue;
      return UseError(errno);
    }
    ++S.WakeUps;
    TLineEvents Events;
    bool WakeSet = false;
    for (int I = 0; I < N; ++I) {
      if (Ready[I].data.u32 == WakeTag) {
        WakeSet = true;
        continue;
      }
      if (Ready[I].events & (EPOLLHUP | EPOLLERR)) return UseError(EIO);
      if (Ready[I].events & EPOLLIN) Events |= TLineEvent::leReceived;
    }
    const auto Now = TClock::now();
    if (Now >= S.NextLineCheck) {
      Events |= CheckLines(S);
      S.NextLineCheck = Now + std::chrono::milliseconds(SliceMs);
    }
    Events = Events & EventMask();
    if (!Events.Empty() || WakeSet || N == 0) {
      Result = Events;
      return {};
    }
  }
}

}  // namespace probrix::platform
