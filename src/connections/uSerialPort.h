#pragma once

// One serial port: its line settings as properties, open and close, reads and writes with
// timeouts, and two worker threads per open port that watch the line events and hand them
// to optional handlers. Failures are the runtime's exceptions (EInOutError, EPropertyError,
// EInvalidOperation, ERangeError) and the serial layer's ETimeoutException and
// EInvalidArgument, with Russian messages that name the port and the property or operation.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "foundation/appExceptions.h"
#include "platform/platSerialDevice.h"
#include "platform/platSerialPorts.h"

namespace probrix {

enum class THandshake : std::uint8_t {
  hsNone = 0,
  hsXOnXOff = 1,
  hsRequestToSend = 2,
  hsRequestToSendXOnXOff = 3,
};

// What identifies the adapter behind a port (the port list's description).
using platform::TSerialPortDescription;

// What OnDataReceived reports.
enum class TSerialData : std::uint8_t { sdChars = 0, sdEof = 1 };
// What OnPinChanged reports.
enum class TSerialPinChange : std::uint8_t {
  pcBreak = 0,
  pcCarrierDetect = 1,
  pcCts = 2,
  pcDsr = 3,
  pcRing = 4,
};
// What OnErrorReceived reports.
enum class TSerialError : std::uint8_t {
  seFrame = 0,
  seOverrun = 1,
  seRxOver = 2,  // the input queue overflowed
  seRxParity = 3,
  seTxFull = 4,
};

class TSerialPort;
class TEventQueue;

// The line-event handlers: the port and the kind of event or error.
using TSerialDataReceivedEvent = std::function<void(TSerialPort& Port, TSerialData Kind)>;
using TSerialPinChangedEvent = std::function<void(TSerialPort& Port, TSerialPinChange Kind)>;
using TSerialErrorReceivedEvent = std::function<void(TSerialPort& Port, TSerialError Kind)>;

// The open handle's device; empty while the port is closed.
using TSerialHandle = std::shared_ptr<platform::TSerialDevice>;

// Waits for line events on its own copy of the handle and passes them to the event queue.
class TCommEventThread {
 public:
  TCommEventThread(TSerialHandle Handle, TEventQueue& Queue);
  ~TCommEventThread();
  TCommEventThread(const TCommEventThread&) = delete;
  TCommEventThread& operator=(const TCommEventThread&) = delete;

  // Asks the thread to stop and wakes its wait; does not wait for the end.
  void Terminate();
  void WaitFor();
  bool Finished() const { return Finished_.load(); }

 private:
  void Execute(std::stop_token Stop);

  TSerialHandle Handle_;
  TEventQueue& Queue_;
  platform::TSerialWakeEvent Event_;
  std::atomic<bool> Finished_{false};
  std::jthread Thread_;
};

// Hands the event masks to the port's handlers on a thread of its own.
class TEventQueue {
 public:
  TEventQueue(TSerialPort& Port, TSerialHandle Handle);
  ~TEventQueue();
  TEventQueue(const TEventQueue&) = delete;
  TEventQueue& operator=(const TEventQueue&) = delete;

  void Add(platform::TLineEvents Events);
  // Whether the port has anybody for received-data events (the event thread does not wake for
  // bytes otherwise).
  bool ReceiveWanted() const;

 private:
  void Execute(std::stop_token Stop);
  void Dispatch(platform::TLineEvents Events);

  TSerialPort& Port_;
  TSerialHandle Handle_;
  std::mutex Lock_;
  std::condition_variable Ready_;  // a mask was added (or a stop asked for)
  std::deque<platform::TLineEvents> List_;
  std::jthread Thread_;
};

// The event queue calls the virtual Do* operations on its own thread until the port is closed,
// so a subclass closes the port in its own destructor.
class TSerialPort {
 public:
  static constexpr std::int32_t InfiniteTimeout = -1;

  TSerialPort();
  virtual ~TSerialPort();
  TSerialPort(const TSerialPort&) = delete;
  TSerialPort& operator=(const TSerialPort&) = delete;

  bool IsOpen() const { return Handle_ != nullptr; }
  // Fails with EInOutError of an access-denied code when another program holds the port.
  void Open();
  // The program that held the port at the last Open ("minicom (pid 4711)"); empty when the
  // port was free or its holder is not known.
  const std::string& Holder() const { return Holder_; }
  // Why the last Open was refused, in words the operator can act on: another program holds
  // the port (named where known), or the user lacks the rights to it. Empty when it opened or
  // failed for another reason.
  const std::string& OpenRefusal() const { return OpenRefusal_; }
  void Close();
  // Waits per ReadTimeout for the first byte and returns the bytes waiting then (up to Count).
  // A wait cut short by the calling thread's cancel event (platCancel.h) raises EAbort, as a
  // write does.
  // Whole: the caller needs all Count bytes (platform::TSerialDevice::Read).
  std::int32_t Read(std::uint8_t* Buffer, std::int32_t Count, bool Whole = false);
  // As Read, except that a wait in vain returns 0 with its ETimeoutException in TimedOut,
  // unthrown.
  std::int32_t ReadOrTimeOut(std::uint8_t* Buffer, std::int32_t Count, bool Whole,
                             std::optional<ETimeoutException>& TimedOut);
  // The bytes already received (up to Count), without waiting; 0 when there are none.
  std::int32_t ReadAvailable(std::uint8_t* Buffer, std::int32_t Count);
  void Write(const std::uint8_t* Data, std::int32_t Count);
  void DiscardInBuffer();
  void DiscardOutBuffer();

  std::uint32_t BaudRate() const { return BaudRate_; }
  void SetBaudRate(std::uint32_t Value);
  const std::string& PortName() const { return PortName_; }
  void SetPortName(std::string_view Value);
  bool BreakState() const;
  std::int32_t BytesToRead();
  // While open, the DTR control last programmed; while closed, the stored value.
  bool DtrEnable() const;
  void SetDtrEnable(bool Value);
  bool RtsEnable() const { return RtsEnable_; }
  void SetRtsEnable(bool Value);
  std::int32_t ReadTimeout() const { return ReadTimeout_; }
  void SetReadTimeout(std::int32_t Value);
  std::int32_t WriteTimeout() const { return WriteTimeout_; }
  void SetWriteTimeout(std::int32_t Value);

  std::uint8_t DataBits() const { return DataBits_; }
  // The character format: 5 to 8 data bits, parity and stop bits (EPropertyError otherwise).
  // While open the line is set again at once.
  void SetDataBits(std::uint8_t Value);
  void SetParity(platform::TParity Value);
  void SetStopBits(platform::TStopBits Value);
  // The line settings the driver holds now, read back from it: a driver may leave out what it
  // cannot do (a pseudo terminal carries no parity). EInvalidOperation while closed.
  platform::TSerialLineSettings ReadLineSettingsInEffect() const;
  bool DiscardNull() const { return DiscardNull_; }
  THandshake Handshake() const { return Handshake_; }
  platform::TParity Parity() const { return Parity_; }
  std::uint8_t ParityReplace() const { return ParityReplace_; }
  platform::TStopBits StopBits() const { return StopBits_; }
  std::uint8_t EvtChar() const { return EvtChar_; }
  std::uint8_t EofChar() const { return EofChar_; }

  // The device file: a name that begins with "/" or "./" is a path, any other /dev/NAME.
  static std::string DevicePathOf(std::string_view Name);
  std::string DevicePath() const { return DevicePathOf(PortName_); }

  // The computer's serial ports, sorted with ComparePortNames; replaces the content of List.
  static void GetPortNames(std::vector<std::string>& List);
  // What identifies the adapter behind a port of that list (empty for a port without one).
  static TSerialPortDescription DescribePort(std::string_view Name);

  TSerialDataReceivedEvent OnDataReceived;
  TSerialErrorReceivedEvent OnErrorReceived;
  TSerialPinChangedEvent OnPinChanged;

 protected:
  friend class TEventQueue;
  // Whether received bytes and line faults are wanted: a handler for them is set. A subclass
  // that overrides DoDataReceived or DoErrorReceived overrides this too.
  virtual bool ReceiveEventsWanted() const { return OnDataReceived || OnErrorReceived; }
  virtual void DoDataReceived(platform::TLineEvents Events);
  virtual void DoPinChanged(platform::TLineEvents Events);
  virtual void DoErrorReceived(platform::TLineFaults Faults);

  // EInOutError with Error's code, its message by Error's kind.
  [[noreturn]] void RaiseIOError(const platform::TOsError& Error, std::string_view Context) const;
  [[noreturn]] void RaiseIOErrorFmt(const platform::TOsError& Error, std::string_view Fmt,
                                    std::string_view Arg) const;
  void UpdateDcb();
  // Sets Control (a member of the settings) for Value, writes the settings and the modem line;
  // on a failure Control is put back and the property's error raised.
  void SetLineControl(platform::TLineControl& Control, platform::TModemLine Line, bool Value,
                      std::string_view Property);
  // A read or write found the device gone: the port counts as closed from now on.
  void HandleLost();
  [[noreturn]] void RaiseReadError(const platform::TOsError& Error);
  // Stops and frees the threads of a handle that was lost.
  void ReleaseLostHandle();

  TSerialHandle Handle_;
  platform::TSerialLineSettings Dcb_;
  platform::TSerialProperties CommProp_;
  platform::TSerialTimeouts CommTimeouts_;
  std::unique_ptr<TCommEventThread> EventThread_;
  std::unique_ptr<TEventQueue> EventQueue_;

 private:
  std::uint32_t BaudRate_ = 9600;
  bool BreakState_ = false;
  std::uint8_t DataBits_ = 8;
  bool DiscardNull_ = false;
  mutable bool DtrEnable_ = false;  // refreshed from Dcb when read while open
  THandshake Handshake_ = THandshake::hsNone;
  platform::TParity Parity_ = platform::TParity::paNone;
  std::uint8_t ParityReplace_ = 63;
  std::string PortName_ = "COM1";
  std::int32_t ReadTimeout_ = InfiniteTimeout;
  bool RtsEnable_ = false;
  platform::TStopBits StopBits_ = platform::TStopBits::sbOne;
  std::int32_t WriteTimeout_ = InfiniteTimeout;
  std::uint8_t EvtChar_ = 26;
  std::uint8_t EofChar_ = 26;
  std::string Holder_;
  std::string OpenRefusal_;
};

// Orders port names: two names that begin with "COM" by the number after it (0 when that is
// not a number); any other pair naturally, without regard to case, runs of digits compared
// as numbers (ttyUSB2 before ttyUSB10).
int ComparePortNames(std::string_view X, std::string_view Y);

// Sorts a port list: the local ports with ComparePortNames, then the ports a remote-desktop
// client redirects (\\tsclient\COM1), sorted the same way among themselves.
void SortPortNames(std::vector<std::string>& Names);

// One line for the operator: "FTDI FT232R USB UART, серийный номер A50285BI,
// /dev/serial/by-id/usb-FTDI_..."; empty when nothing is known.
std::string PortDescriptionText(const TSerialPortDescription& Description);
// The by-id name as a path the port can be opened by; empty when there is none.
std::string PortByIdPath(const TSerialPortDescription& Description);

}  // namespace probrix
