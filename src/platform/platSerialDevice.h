#pragma once

// One serial device of the operating system, in the terms the serial port is written against:
// open it exclusively, read and program its line settings, keep its timeouts, read and write
// with them, drive its modem lines, purge its queues, count waiting bytes, report line faults
// and wait for line events. The Linux half realises it on top of termios, ioctl and poll().
// Failures are TOsError values (platError.h): a lost device is ekGone, a wait cut short by
// the calling thread's cancel event ekCancelled.

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <string>
#include <type_traits>
#include <vector>

#include "platform/platCancel.h"
#include "platform/platError.h"
#include "platform/platSerialClaim.h"

namespace probrix::platform {

// A set of the values of a flag enumeration (whose values are distinct bits).
template <class E>
class TFlags {
 public:
  using TBits = std::underlying_type_t<E>;

  constexpr TFlags() = default;
  constexpr TFlags(E Flag) : Bits_(static_cast<TBits>(Flag)) {}  // NOLINT: a flag is a set
  constexpr TFlags(std::initializer_list<E> Flags) {
    for (const E Flag : Flags) Bits_ = static_cast<TBits>(Bits_ | static_cast<TBits>(Flag));
  }
  static constexpr TFlags FromBits(TBits Bits) {
    TFlags Flags;
    Flags.Bits_ = Bits;
    return Flags;
  }

  constexpr bool Has(E Flag) const { return (Bits_ & static_cast<TBits>(Flag)) != 0; }
  constexpr bool HasAny(TFlags Other) const { return (Bits_ & Other.Bits_) != 0; }
  constexpr bool Empty() const { return Bits_ == 0; }
  constexpr TBits Bits() const { return Bits_; }

  constexpr TFlags& operator|=(TFlags Other) {
    Bits_ = static_cast<TBits>(Bits_ | Other.Bits_);
    return *this;
  }
  friend constexpr TFlags operator|(TFlags A, TFlags B) { return A |= B; }
  friend constexpr TFlags operator&(TFlags A, TFlags B) {
    return FromBits(static_cast<TBits>(A.Bits_ & B.Bits_));
  }
  friend constexpr bool operator==(TFlags A, TFlags B) = default;

 private:
  TBits Bits_ = 0;
};

enum class TParity : std::uint8_t { paNone = 0, paOdd = 1, paEven = 2, paMark = 3, paSpace = 4 };
enum class TStopBits : std::uint8_t { sbOne = 0, sbOneAndHalf = 1, sbTwo = 2 };

// How the device drives its DTR or RTS line.
enum class TLineControl : std::uint8_t {
  lcDisable = 0,    // off
  lcEnable = 1,     // on
  lcHandshake = 2,  // flow control
  lcToggle = 3,     // RTS on while sending
};

// The line settings of a device.
struct TSerialLineSettings {
  std::uint32_t BaudRate = 0;
  std::uint8_t DataBits = 0;  // 5 to 8
  TParity Parity = TParity::paNone;
  TStopBits StopBits = TStopBits::sbOne;
  bool Binary = false;         // no end-of-file character in the data
  bool CheckParity = false;    // received bytes with a parity error are flagged
  bool CtsOutputFlow = false;  // send only while CTS is on
  bool DsrOutputFlow = false;  // send only while DSR is on
  TLineControl DtrControl = TLineControl::lcDisable;
  bool DsrSensitivity = false;  // drop received bytes while DSR is off
  bool ContinueOnXoff = false;  // go on sending after sending XOFF
  bool XonXoffOutput = false;   // stop sending at XOFF, go on at XON
  bool XonXoffInput = false;    // send XOFF and XON as the input queue fills and empties
  bool ReplaceErrors = false;   // bytes with a parity error become ErrorChar
  bool DiscardNull = false;
  TLineControl RtsControl = TLineControl::lcDisable;
  bool AbortOnError = false;
  std::uint16_t XonLimit = 0;
  std::uint16_t XoffLimit = 0;
  std::uint8_t XonChar = 0;
  std::uint8_t XoffChar = 0;
  std::uint8_t ErrorChar = 0;
  std::uint8_t EofChar = 0;
  std::uint8_t EventChar = 0;
};

// Device facts.
struct TSerialProperties {
  std::uint32_t MaxBaudRate = 0;     // 0: the maximum is not known
  std::uint32_t InputQueueSize = 0;  // the bytes the driver buffers
};

// The waits of reads and writes, in milliseconds.
struct TSerialTimeouts {
  static constexpr std::int32_t NoLimit = -1;
  // How long a read waits for its first byte: 0 takes what is there at once, a negative value
  // waits without limit.
  std::int32_t ReadMs = NoLimit;
  // How long a whole write may take; a negative value: without limit.
  std::int32_t WriteMs = NoLimit;
};

// What a device path leads to.
enum class TDeviceFileType : std::uint8_t {
  ftUnknown = 0,
  ftDisk = 1,  // a file, a block device or a folder
  ftCharacter = 2,
  ftPipe = 3,  // a pipe or a socket
};

// Line events; a watcher waits for a set of them.
enum class TLineEvent : std::uint16_t {
  leReceived = 0x0001,       // bytes arrived
  leEventChar = 0x0002,      // the event character arrived
  leTransmitEmpty = 0x0004,  // the last byte left
  leCts = 0x0008,            // CTS changed
  leDsr = 0x0010,            // DSR changed
  leCarrierDetect = 0x0020,  // the carrier detect line changed
  leBreak = 0x0040,          // a break was received
  leLineFault = 0x0080,      // a framing, overrun or parity fault
  leRing = 0x0100,           // the ring indicator changed
};
using TLineEvents = TFlags<TLineEvent>;

// Faults of the line, reported once each.
enum class TLineFault : std::uint16_t {
  lfInputOverflow = 0x0001,  // the input queue was full
  lfOverrun = 0x0002,        // the device lost a byte
  lfParity = 0x0004,
  lfFraming = 0x0008,
  lfBreak = 0x0010,
  lfTransmitFull = 0x0100,  // the output queue was full
};
using TLineFaults = TFlags<TLineFault>;

// The modem lines: DTR and RTS are driven, the others are read.
enum class TModemLine : std::uint8_t {
  mlDtr = 0x01,
  mlRts = 0x02,
  mlCts = 0x10,
  mlDsr = 0x20,
  mlRing = 0x40,
  mlCarrierDetect = 0x80,
};
using TModemLines = TFlags<TModemLine>;

// What a purge discards: the queued bytes of each direction, and (where the system keeps such
// a thing) a read or write in progress.
enum class TPurge : std::uint8_t {
  puAbortOutput = 0x01,
  puAbortInput = 0x02,
  puClearOutput = 0x04,
  puClearInput = 0x08,
};
using TPurges = TFlags<TPurge>;

// A manual-reset event that a thread can wait on together with a device.
using TSerialWakeEvent = TCancelEvent;

// What the line-event wait of one watcher keeps between calls, and what the waits cost (for
// tests: returns from the wait, and questions to the driver).
struct TSerialLineEventState {
  TSerialLineEventState() = default;
  ~TSerialLineEventState();
  TSerialLineEventState(const TSerialLineEventState&) = delete;
  TSerialLineEventState& operator=(const TSerialLineEventState&) = delete;

#if defined(_WIN32)
  // A WaitCommEvent stays pending from one call to the next: its record, its event and the
  // mask it fills.
  alignas(std::max_align_t) unsigned char Overlapped[32] = {};
  void* Event = nullptr;
  void* Device = nullptr;  // the device the pending wait runs on
  unsigned long Mask = 0;
  bool Pending = false;
  // The driver cannot wait for events (Wine on a pseudo terminal): the input queue, the line
  // faults and the modem lines are looked at once per slice instead.
  bool NoCommEvents = false;
  std::uint32_t InQueue = 0;
  bool NoModemLines = false;
  bool ModemKnown = false;
  unsigned long ModemLines = 0;
#else
  // Its wait set (the device, edge-triggered, so that bytes left unread do not keep it awake,
  // and the wake event) and the line state last seen.
  int Poll = -1;  // the epoll descriptor, made by the first wait
  std::chrono::steady_clock::time_point NextLineCheck;
  bool NoCounters = false;  // the driver keeps no counters (pseudo terminals)
  bool CountersKnown = false;
  std::int64_t Frame = 0, Overrun = 0, Parity = 0, BufOverrun = 0, Break = 0;
  std::int64_t Cts = 0, Dsr = 0, Ring = 0, Dcd = 0;
  bool NoModemLines = false;  // the driver has no modem lines either
  bool ModemKnown = false;
  int ModemLines = 0;
#endif

  // Set by the caller when nobody takes received-data events: bytes arriving do not wake the
  // wait then (a device that goes away still does).
  bool IgnoreInput = false;
  // Whether the device is watched for received data now (the epoll registration of the device,
  // the event mask of the Windows device).
  bool WatchingInput = true;

  std::uint64_t WakeUps = 0;
  std::uint64_t LineQueries = 0;
};

// One open serial device. The handle is shared: the port and its worker threads each hold a
// reference, so the object outlives every thread that may still look at it.
class TSerialDevice {
 public:
  // Opens Path for reading and writing without making it the controlling terminal, unless
  // another program holds it: another process has it open, a live lock file in LockFolders
  // names it, or the terminal is already exclusive (ekBusy; Holder names the program where it
  // is known, also when it made the terminal exclusive). Claims it with flock, TIOCEXCL and a lock
  // file of this process, so that later openers are refused. (Windows: opened without sharing, the
  // system itself refuses later openers and keeps no holders or lock files to look at.) nullptr and
  // Error on failure; a device that is not there is ekNotFound, one the user may not open
  // ekAccessDenied.
  static std::shared_ptr<TSerialDevice> Open(
      const std::string& Path, TOsError& Error, std::string& Holder,
      const std::vector<std::filesystem::path>& LockFolders = DefaultSerialLockFolders());
  ~TSerialDevice();
  TSerialDevice(const TSerialDevice&) = delete;
  TSerialDevice& operator=(const TSerialDevice&) = delete;

  // Releases the claim (the exclusive mode only if this device set it, the lock file) and
  // closes the device. Only when no other thread uses the handle.
  void Close();

  TDeviceFileType FileType() const;
  TOsError ReadProperties(TSerialProperties& Properties) const;
  // The input lines (CTS, DSR, ring, carrier detect) that are on; none on a device without
  // modem lines.
  TOsError ReadModemLines(TModemLines& Lines) const;
  TOsError ReadLineSettings(TSerialLineSettings& Settings) const;
  TOsError WriteLineSettings(const TSerialLineSettings& Settings);
  TOsError SetTimeouts(const TSerialTimeouts& Timeouts);
  // The events WaitLineEvents reports; an empty set also ends a wait in progress.
  TOsError SetEventMask(TLineEvents Events);
  TLineEvents EventMask() const { return TLineEvents::FromBits(Mask_.load()); }
  // Turns DTR or RTS on or off; a device without the line ignores it.
  TOsError SetModemLine(TModemLine Line, bool On);
  TOsError SetBreak(bool On);
  TOsError Purge(TPurges What);
  // The line faults since the last call and the bytes in the input queue.
  TOsError ReadLineStatus(TLineFaults& Faults, std::uint32_t& InQueue);

  // Waits as the timeouts say: returns with the waiting bytes (up to Count) as soon as there is
  // at least one; Done 0 means nothing arrived in time. Whole: the caller needs all Count bytes,
  // so once the first are in, the rest is waited for in one wait, as long as it takes at the
  // line's rate (never past the read's deadline), rather than taken chunk by chunk.
  TOsError Read(std::uint8_t* Buffer, std::uint32_t Count, std::uint32_t& Done, bool Whole = false);
  // Writes all of Data within the write timeout; ekTimedOut (with Done below Count) otherwise,
  // ekCancelled when the calling thread's cancel event is set while the output queue is full.
  TOsError Write(const std::uint8_t* Data, std::uint32_t Count, std::uint32_t& Done);
  // What has already arrived (up to Count), without waiting; Done 0 when nothing has.
  TOsError ReadAvailable(std::uint8_t* Buffer, std::uint32_t Count, std::uint32_t& Done);

  // Waits up to SliceMs for line events of the event mask; Events receives them (none when the
  // slice passed or Wake was set). Received bytes wake the wait as they arrive; the line
  // faults and modem lines, which Linux cannot wait for together with them, are read at most
  // once per slice. ekGone when the device is gone: the caller stops watching. State and Wake
  // stay the same from call to call.
  TOsError WaitLineEvents(TSerialLineEventState& State, const TSerialWakeEvent& Wake, int SliceMs,
                          TLineEvents& Events);

 private:
#if defined(_WIN32)
  explicit TSerialDevice(void* Handle) : Handle_(Handle) {}
  // The line events since the last check (a driver without event waits); ekGone when the
  // device went away.
  TOsError CheckLines(TSerialLineEventState& State, TLineEvents& Events);
  // The bytes in the input queue; line faults met on the way are kept for ReadLineStatus.
  std::uint32_t TakeInQueue(TOsError& Error);
  // A transfer that failed with Code (SerialTransferError): a fault of the line that made the
  // driver abort it is acknowledged first, which lets the next transfer run.
  TOsError TransferError(unsigned long Code);
  // Acknowledges a fault that made the driver abort a wait for line events: leLineFault when
  // one is known.
  TLineEvents AcknowledgeAbort();

  void* Handle_ = reinterpret_cast<void*>(~std::uintptr_t{0});  // INVALID_HANDLE_VALUE
  TSerialTimeouts Timeouts_;
  std::atomic<TLineEvents::TBits> Mask_{0};
  // Line faults that other requests cleared (the system reports each once) until
  // ReadLineStatus reports them.
  std::mutex FaultsLock_;
  unsigned long SeenFaults_ = 0;
#else
  explicit TSerialDevice(int Fd) : Fd_(Fd) {}
  // errno of a failed ioctl that sets or clears modem line bits (TIOCM_*); 0 on success.
  int DriveModemLines(int Bits, bool On);
  // The line events since the last check, from the fault counters or the modem lines.
  TLineEvents CheckLines(TSerialLineEventState& State) const;
  // Reads what a wait reported readable (Revents of poll); EIO for a device that went away.
  int TakeReadable(short Revents, std::uint8_t* Buffer, std::uint32_t Count, std::uint32_t& Done);

  int Fd_ = -1;
  // Whether this device made the terminal exclusive, and the lock file it wrote (if any).
  bool OwnExclusive_ = false;
  std::filesystem::path LockFile_;
  TSerialTimeouts Timeouts_;
  std::atomic<TLineEvents::TBits> Mask_{0};
  // DTR and RTS control as last programmed (termios has no place for them).
  TLineControl DtrControl_ = TLineControl::lcDisable;
  TLineControl RtsControl_ = TLineControl::lcDisable;
  // How long one character takes on the line as programmed (start, data, parity, stop bits).
  std::chrono::nanoseconds CharTime_{0};
  // Fault counters at the last ReadLineStatus; the port's caller and its event queue both
  // ask for them.
  std::mutex CountersLock_;
  bool CountersKnown_ = false;
  std::int64_t Frame_ = 0, Overrun_ = 0, Parity_ = 0, BufOverrun_ = 0, Break_ = 0;
#endif
};

}  // namespace probrix::platform
