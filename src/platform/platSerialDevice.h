#pragma once

// The Linux half of the serial-port layer. It offers the serial port the operations it is
// written against (open a device exclusively, read and program a line settings block, keep
// timeouts, read and write with them, drive modem lines, purge, count waiting bytes, report
// line errors and wait for line events) on top of termios and poll(). Every operation
// returns 0 or the errno code of its failure.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/platCancel.h"
#include "platform/platSerialClaim.h"

namespace probrix {

// Line settings block: what the serial port programs, with the usual codes.
struct TSerialLineSettings {
  std::uint32_t BaudRate = 0;
  std::uint8_t ByteSize = 0;  // 5 to 8
  std::uint8_t Parity = 0;    // 0 none, 1 odd, 2 even, 3 mark, 4 space
  std::uint8_t StopBits = 0;  // 0 one, 1 one and a half, 2 two
  bool fBinary = false;
  bool fParity = false;
  bool fOutxCtsFlow = false;
  bool fOutxDsrFlow = false;
  std::uint8_t fDtrControl = 0;  // 0 disable, 1 enable, 2 handshake
  bool fDsrSensitivity = false;
  bool fTXContinueOnXoff = false;
  bool fOutX = false;
  bool fInX = false;
  bool fErrorChar = false;
  bool fNull = false;
  std::uint8_t fRtsControl = 0;  // 0 disable, 1 enable, 2 handshake, 3 toggle
  bool fAbortOnError = false;
  std::uint16_t XonLim = 0;
  std::uint16_t XoffLim = 0;
  std::uint8_t XonChar = 0;
  std::uint8_t XoffChar = 0;
  std::uint8_t ErrorChar = 0;
  std::uint8_t EofChar = 0;
  std::uint8_t EvtChar = 0;
};

// Device facts. dwMaxBaud 0 means the maximum is not known.
struct TSerialProperties {
  std::uint32_t dwMaxBaud = 0;
  std::uint32_t dwCurrentRxQueue = 0;
};

// Timeouts with the classic meaning: an interval of 0xFFFFFFFF with multiplier and constant 0
// reads what is there at once; an interval and multiplier of 0xFFFFFFFF with a constant T
// waits up to T ms for the first byte (T of 0x7FFFFFFF and above: no limit). A write must
// finish within WriteTotalTimeoutConstant ms (0: no limit).
struct TSerialTimeouts {
  std::uint32_t ReadIntervalTimeout = 0;
  std::uint32_t ReadTotalTimeoutMultiplier = 0;
  std::uint32_t ReadTotalTimeoutConstant = 0;
  std::uint32_t WriteTotalTimeoutMultiplier = 0;
  std::uint32_t WriteTotalTimeoutConstant = 0;
};

// File type codes of GetFileType.
inline constexpr int SerialFileTypeUnknown = 0;
inline constexpr int SerialFileTypeDisk = 1;
inline constexpr int SerialFileTypeChar = 2;
inline constexpr int SerialFileTypePipe = 3;

// Line event bits.
inline constexpr std::uint32_t EV_RXCHAR = 0x0001;
inline constexpr std::uint32_t EV_RXFLAG = 0x0002;
inline constexpr std::uint32_t EV_TXEMPTY = 0x0004;
inline constexpr std::uint32_t EV_CTS = 0x0008;
inline constexpr std::uint32_t EV_DSR = 0x0010;
inline constexpr std::uint32_t EV_RLSD = 0x0020;
inline constexpr std::uint32_t EV_BREAK = 0x0040;
inline constexpr std::uint32_t EV_ERR = 0x0080;
inline constexpr std::uint32_t EV_RING = 0x0100;

// Line error bits of ClearCommError.
inline constexpr std::uint32_t CE_RXOVER = 0x0001;
inline constexpr std::uint32_t CE_OVERRUN = 0x0002;
inline constexpr std::uint32_t CE_RXPARITY = 0x0004;
inline constexpr std::uint32_t CE_FRAME = 0x0008;
inline constexpr std::uint32_t CE_BREAK = 0x0010;
inline constexpr std::uint32_t CE_TXFULL = 0x0100;

// Modem status bits of GetCommModemStatus.
inline constexpr std::uint32_t MS_CTS_ON = 0x0010;
inline constexpr std::uint32_t MS_DSR_ON = 0x0020;
inline constexpr std::uint32_t MS_RING_ON = 0x0040;
inline constexpr std::uint32_t MS_RLSD_ON = 0x0080;

// EscapeCommFunction codes.
inline constexpr std::uint32_t SETRTS = 3;
inline constexpr std::uint32_t CLRRTS = 4;
inline constexpr std::uint32_t SETDTR = 5;
inline constexpr std::uint32_t CLRDTR = 6;
inline constexpr std::uint32_t SETBREAK = 8;
inline constexpr std::uint32_t CLRBREAK = 9;

// PurgeComm flags.
inline constexpr std::uint32_t PURGE_TXABORT = 0x0001;
inline constexpr std::uint32_t PURGE_RXABORT = 0x0002;
inline constexpr std::uint32_t PURGE_TXCLEAR = 0x0004;
inline constexpr std::uint32_t PURGE_RXCLEAR = 0x0008;

// Errors that mean the device went away under an open handle (an unplugged adapter, a
// pseudo terminal whose other side closed).
bool IsSerialHandleLostError(int Error);
// errno classes as the open of a port reports them.
bool IsSerialNotFoundError(int Error);
bool IsSerialAccessDeniedError(int Error);
// The platform's text for an error code.
std::string SerialErrorText(int Error);

// A manual-reset event that a thread can wait on together with a device (an eventfd).
using TSerialWakeEvent = platform::TCancelEvent;

// What the line-event wait of one watcher keeps between calls: its wait set (the device,
// edge-triggered, so that bytes left unread do not keep it awake, and the wake event) and the
// line state last seen.
struct TSerialLineEventState {
  TSerialLineEventState() = default;
  ~TSerialLineEventState();
  TSerialLineEventState(const TSerialLineEventState&) = delete;
  TSerialLineEventState& operator=(const TSerialLineEventState&) = delete;

  int Poll = -1;  // the epoll descriptor, made by the first wait
  std::chrono::steady_clock::time_point NextLineCheck;
  bool NoCounters = false;  // the driver keeps no counters (pseudo terminals)
  bool CountersKnown = false;
  std::int64_t Frame = 0, Overrun = 0, Parity = 0, BufOverrun = 0, Break = 0;
  std::int64_t Cts = 0, Dsr = 0, Ring = 0, Dcd = 0;
  bool NoModemLines = false;  // the driver has no modem lines either
  bool ModemKnown = false;
  int ModemLines = 0;

  // What the waits cost, for tests: returns from the wait set, and questions to the driver.
  std::uint64_t WakeUps = 0;
  std::uint64_t LineQueries = 0;
};

// One open serial device. The handle is shared: the port and its worker threads each hold a
// reference, so the object outlives every thread that may still look at it.
class TSerialDevice {
 public:
  // Opens Path for reading and writing without making it the controlling terminal, unless
  // another program holds it: another process has it open, a live lock file in LockFolders
  // names it, or the terminal is already exclusive (EBUSY; Holder names the program where it
  // is known). Claims it with flock, TIOCEXCL and a lock file of this process, so that later
  // openers are refused. nullptr and Error on failure.
  static std::shared_ptr<TSerialDevice> Open(
      const std::string& Path, int& Error, std::string& Holder,
      const std::vector<std::filesystem::path>& LockFolders = DefaultSerialLockFolders());
  ~TSerialDevice();
  TSerialDevice(const TSerialDevice&) = delete;
  TSerialDevice& operator=(const TSerialDevice&) = delete;

  // Releases the claim (the exclusive mode only if this device set it, the lock file) and
  // closes the descriptor. Only when no other thread uses the handle.
  void CloseHandle();
  int Fd() const { return Fd_; }

  int GetFileType() const;
  int GetCommProperties(TSerialProperties& Props) const;
  int GetCommModemStatus(std::uint32_t& Status) const;
  int GetCommState(TSerialLineSettings& Settings) const;
  int SetCommState(const TSerialLineSettings& Settings);
  int SetCommTimeouts(const TSerialTimeouts& Timeouts);
  int SetCommMask(std::uint32_t Mask);
  std::uint32_t GetCommMask() const { return Mask_.load(); }
  int EscapeCommFunction(std::uint32_t Func);
  int PurgeComm(std::uint32_t Flags);
  // Line errors since the last call (CE_ bits) and the bytes in the input queue.
  int ClearCommError(std::uint32_t& Errors, std::uint32_t& InQueue);

  // Waits as the timeouts say: returns with the waiting bytes (up to Count) as soon as there is
  // at least one; Done 0 means nothing arrived in time. A lost device gives EIO, a set cancel
  // event of the calling thread (platCancel.h) ECANCELED.
  int ReadFile(std::uint8_t* Buffer, std::uint32_t Count, std::uint32_t& Done);
  // Writes all of Data within the write timeout; ETIMEDOUT (with Done below Count) otherwise,
  // ECANCELED when the calling thread's cancel event is set while the output queue is full.
  int WriteFile(const std::uint8_t* Data, std::uint32_t Count, std::uint32_t& Done);
  // What has already arrived (up to Count), without waiting; Done 0 when nothing has.
  int ReadAvailable(std::uint8_t* Buffer, std::uint32_t Count, std::uint32_t& Done);

  // Waits up to SliceMs for line events of the current mask; Mask receives them (0 when the
  // slice passed or Wake was set). Received bytes wake the wait as they arrive; the line
  // errors and modem lines, which Linux cannot wait for together with them, are read at most
  // once per slice. EIO when the device is gone: the caller stops watching. State and Wake
  // stay the same from call to call.
  int WaitCommEvent(TSerialLineEventState& State, const TSerialWakeEvent& Wake, int SliceMs,
                    std::uint32_t& Mask);

 private:
  explicit TSerialDevice(int Fd) : Fd_(Fd) {}
  int SetModemLine(int Line, bool On);
  // The line events since the last check, from the error counters or the modem lines.
  std::uint32_t CheckLines(TSerialLineEventState& State) const;
  // Reads what a wait reported readable (Revents of poll); EIO for a device that went away.
  int TakeReadable(short Revents, std::uint8_t* Buffer, std::uint32_t Count, std::uint32_t& Done);

  int Fd_ = -1;
  // Whether this device made the terminal exclusive, and the lock file it wrote (if any).
  bool OwnExclusive_ = false;
  std::filesystem::path LockFile_;
  TSerialTimeouts Timeouts_;
  std::atomic<std::uint32_t> Mask_{0};
  // DTR and RTS control as last programmed (termios has no place for them).
  std::uint8_t DtrControl_ = 0;
  std::uint8_t RtsControl_ = 0;
  // Error counters at the last ClearCommError; the port's caller and its event queue both
  // ask for them.
  std::mutex CountersLock_;
  bool CountersKnown_ = false;
  std::int64_t Frame_ = 0, Overrun_ = 0, Parity_ = 0, BufOverrun_ = 0, Break_ = 0;
};

}  // namespace probrix
