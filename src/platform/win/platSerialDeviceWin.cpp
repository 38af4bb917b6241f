#include <algorithm>
#include <cstring>
#include <optional>

#include "platform/platSerialDevice.h"
#include "platform/win/platWin.h"

namespace probrix::platform {

static_assert(sizeof(OVERLAPPED) <= sizeof(TSerialLineEventState::Overlapped));
static_assert(alignof(OVERLAPPED) <= alignof(std::max_align_t));
// The flag values of the interface are the system's own bits.
static_assert(static_cast<DWORD>(TLineEvent::leReceived) == EV_RXCHAR &&
              static_cast<DWORD>(TLineEvent::leEventChar) == EV_RXFLAG &&
              static_cast<DWORD>(TLineEvent::leTransmitEmpty) == EV_TXEMPTY &&
              static_cast<DWORD>(TLineEvent::leCts) == EV_CTS &&
              static_cast<DWORD>(TLineEvent::leDsr) == EV_DSR &&
              static_cast<DWORD>(TLineEvent::leCarrierDetect) == EV_RLSD &&
              static_cast<DWORD>(TLineEvent::leBreak) == EV_BREAK &&
              static_cast<DWORD>(TLineEvent::leLineFault) == EV_ERR &&
              static_cast<DWORD>(TLineEvent::leRing) == EV_RING);
static_assert(static_cast<DWORD>(TLineFault::lfInputOverflow) == CE_RXOVER &&
              static_cast<DWORD>(TLineFault::lfOverrun) == CE_OVERRUN &&
              static_cast<DWORD>(TLineFault::lfParity) == CE_RXPARITY &&
              static_cast<DWORD>(TLineFault::lfFraming) == CE_FRAME &&
              static_cast<DWORD>(TLineFault::lfBreak) == CE_BREAK &&
              static_cast<DWORD>(TLineFault::lfTransmitFull) == CE_TXFULL);
static_assert(static_cast<DWORD>(TPurge::puAbortOutput) == PURGE_TXABORT &&
              static_cast<DWORD>(TPurge::puAbortInput) == PURGE_RXABORT &&
              static_cast<DWORD>(TPurge::puClearOutput) == PURGE_TXCLEAR &&
              static_cast<DWORD>(TPurge::puClearInput) == PURGE_RXCLEAR);

namespace {

using TClock = std::chrono::steady_clock;

constexpr DWORD LineFaults = CE_RXOVER | CE_OVERRUN | CE_RXPARITY | CE_FRAME;
constexpr DWORD AllFaults = LineFaults | CE_BREAK | CE_TXFULL;

HANDLE Native(void* Handle) { return static_cast<HANDLE>(Handle); }

// Drivers without modem lines or breaks (virtual ports) answer these.
bool IsNoSuchFeature(DWORD Code) {
  return Code == ERROR_NOT_SUPPORTED || Code == ERROR_INVALID_FUNCTION ||
         Code == ERROR_INVALID_PARAMETER || Code == ERROR_CALL_NOT_IMPLEMENTED;
}

TOsError UseError(DWORD Code) { return SerialUseError(Code); }

TOsError LastUseError() { return UseError(::GetLastError()); }

// A request for a modem line or a break: a device without the feature is no error.
TOsError FeatureError() {
  const DWORD code = ::GetLastError();
  return IsNoSuchFeature(code) ? TOsError{} : UseError(code);
}

// One overlapped ReadFile or WriteFile (issued by Start, TRUE when done at once) on Device, as
// OverlappedTransfer does it.
template <class StartFn>
DWORD Transfer(HANDLE Device, StartFn Start, const std::optional<TClock::time_point>& Deadline,
               DWORD& Done) {
  return OverlappedTransfer(
      Device, [&](OVERLAPPED* Ov) -> DWORD { return Start(Ov) ? 0 : ::GetLastError(); },
      [&](OVERLAPPED* Ov, BOOL Wait, DWORD& N) {
        return ::GetOverlappedResult(Device, Ov, &N, Wait);
      },
      Deadline, Done);
}

// What the operator reads for the CE_* faults of a line.
std::string LineFaultText(DWORD Faults) {
  static constexpr std::pair<DWORD, const char*> FaultNames[] = {
      {CE_FRAME, "ошибка кадра"},
      {CE_RXPARITY, "ошибка чётности"},
      {CE_OVERRUN, "переполнение приёмника"},
      {CE_RXOVER, "переполнение входного буфера"},
      {CE_BREAK, "разрыв линии"},
      {CE_TXFULL, "переполнение выходного буфера"}};
  std::string text = "Операция прервана драйвером порта из-за ошибки на линии";
  const char* separator = ": ";
  for (const auto& [bit, name] : FaultNames) {
    if (!(Faults & bit)) continue;
    text += separator;
    text += name;
    separator = ", ";
  }
  return text;
}

}  // namespace

TOsError SerialOpenError(DWORD Code) {
  if (Code == ERROR_ACCESS_DENIED)
    return {TErrorKind::ekBusy, static_cast<int>(Code), SystemErrorText(static_cast<int>(Code))};
  return WinError(Code, TWinErrorContext::ecOpen);
}

TOsError SerialUseError(DWORD Code) {
  if (Code == ERROR_ACCESS_DENIED)
    return {TErrorKind::ekGone, static_cast<int>(Code), SystemErrorText(static_cast<int>(Code))};
  return WinError(Code, TWinErrorContext::ecUse);
}

TOsError SerialTransferError(DWORD Code, bool StopRequested, DWORD Faults) {
  if (Code == ERROR_OPERATION_ABORTED && !StopRequested)
    return {TErrorKind::ekLineFault, static_cast<int>(Code), LineFaultText(Faults)};
  return SerialUseError(Code);
}

std::uint32_t BaudRateOfFlag(DWORD Flag) {
  static constexpr std::pair<DWORD, std::uint32_t> Rates[] = {
      {BAUD_075, 75},      {BAUD_110, 110},       {BAUD_134_5, 134},   {BAUD_150, 150},
      {BAUD_300, 300},     {BAUD_600, 600},       {BAUD_1200, 1200},   {BAUD_1800, 1800},
      {BAUD_2400, 2400},   {BAUD_4800, 4800},     {BAUD_7200, 7200},   {BAUD_9600, 9600},
      {BAUD_14400, 14400}, {BAUD_19200, 19200},   {BAUD_38400, 38400}, {BAUD_56K, 56000},
      {BAUD_57600, 57600}, {BAUD_115200, 115200}, {BAUD_128K, 128000}};
  for (const auto& [bit, rate] : Rates)
    if (Flag == bit) return rate;
  return 0;  // BAUD_USER and anything unknown: programmable
}

// --- TSerialDevice ----------------------------------------------------------------------

std::shared_ptr<TSerialDevice> TSerialDevice::Open(
    const std::string& Path, TOsError& Error, std::string& Holder,
    const std::vector<std::filesystem::path>& /*LockFolders*/) {
  Error = {};
  Holder.clear();
  // No sharing: the system refuses every further opener of the device while it is open here.
  const HANDLE handle = ::CreateFileW(WideFromUtf8(Path).c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                                      nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    Error = SerialOpenError(::GetLastError());
    return nullptr;
  }
  std::shared_ptr<TSerialDevice> dev(new TSerialDevice(handle));
  // The layer times every transfer itself (a wait on the transfer's event with a deadline):
  // the driver's own timeouts stay off, so a read waits until its bytes are there.
  COMMTIMEOUTS none{};
  if (::GetFileType(handle) == FILE_TYPE_CHAR && !::SetCommTimeouts(handle, &none)) {
    Error = SerialOpenError(::GetLastError());
    dev->Close();
    return nullptr;
  }
  return dev;
}

TSerialDevice::~TSerialDevice() { Close(); }

void TSerialDevice::Close() {
  if (Handle_ == INVALID_HANDLE_VALUE) return;
  ::CloseHandle(Native(Handle_));
  Handle_ = INVALID_HANDLE_VALUE;
}

TDeviceFileType TSerialDevice::FileType() const {
  switch (::GetFileType(Native(Handle_))) {
    case FILE_TYPE_CHAR:
      return TDeviceFileType::ftCharacter;
    case FILE_TYPE_DISK:
      return TDeviceFileType::ftDisk;
    case FILE_TYPE_PIPE:
      return TDeviceFileType::ftPipe;
    default:
      return TDeviceFileType::ftUnknown;
  }
}

TOsError TSerialDevice::ReadProperties(TSerialProperties& Properties) const {
  COMMPROP prop{};
  if (!::GetCommProperties(Native(Handle_), &prop)) return LastUseError();
  Properties.MaxBaudRate = BaudRateOfFlag(prop.dwMaxBaud);
  Properties.InputQueueSize = prop.dwCurrentRxQueue;
  return {};
}

TOsError TSerialDevice::ReadModemLines(TModemLines& Lines) const {
  Lines = {};
  DWORD status = 0;
  if (!::GetCommModemStatus(Native(Handle_), &status)) return FeatureError();
  if (status & MS_CTS_ON) Lines |= TModemLine::mlCts;
  if (status & MS_DSR_ON) Lines |= TModemLine::mlDsr;
  if (status & MS_RING_ON) Lines |= TModemLine::mlRing;
  if (status & MS_RLSD_ON) Lines |= TModemLine::mlCarrierDetect;
  return {};
}

TOsError TSerialDevice::ReadLineSettings(TSerialLineSettings& S) const {
  DCB d{};
  d.DCBlength = sizeof(d);
  if (!::GetCommState(Native(Handle_), &d)) return LastUseError();
  S = TSerialLineSettings{};
  S.BaudRate = d.BaudRate;
  S.DataBits = d.ByteSize;
  S.Parity = static_cast<TParity>(d.Parity);
  S.StopBits = static_cast<TStopBits>(d.StopBits);
  S.Binary = d.fBinary;
  S.CheckParity = d.fParity;
  S.CtsOutputFlow = d.fOutxCtsFlow;
  S.DsrOutputFlow = d.fOutxDsrFlow;
  S.DtrControl = static_cast<TLineControl>(d.fDtrControl);
  S.DsrSensitivity = d.fDsrSensitivity;
  S.ContinueOnXoff = d.fTXContinueOnXoff;
  S.XonXoffOutput = d.fOutX;
  S.XonXoffInput = d.fInX;
  S.ReplaceErrors = d.fErrorChar;
  S.DiscardNull = d.fNull;
  S.RtsControl = static_cast<TLineControl>(d.fRtsControl);
  S.AbortOnError = d.fAbortOnError;
  S.XonLimit = d.XonLim;
  S.XoffLimit = d.XoffLim;
  S.XonChar = static_cast<std::uint8_t>(d.XonChar);
  S.XoffChar = static_cast<std::uint8_t>(d.XoffChar);
  S.ErrorChar = static_cast<std::uint8_t>(d.ErrorChar);
  S.EofChar = static_cast<std::uint8_t>(d.EofChar);
  S.EventChar = static_cast<std::uint8_t>(d.EvtChar);
  return {};
}

TOsError TSerialDevice::WriteLineSettings(const TSerialLineSettings& S) {
  if (S.BaudRate == 0) return UseError(ERROR_INVALID_PARAMETER);
  DCB d{};
  d.DCBlength = sizeof(d);
  // Reserved bits keep what the driver has.
  if (!::GetCommState(Native(Handle_), &d)) return LastUseError();
  d.BaudRate = S.BaudRate;
  d.ByteSize = S.DataBits;
  d.Parity = static_cast<BYTE>(S.Parity);
  d.StopBits = static_cast<BYTE>(S.StopBits);
  d.fBinary = S.Binary;
  d.fParity = S.CheckParity;
  d.fOutxCtsFlow = S.CtsOutputFlow;
  d.fOutxDsrFlow = S.DsrOutputFlow;
  d.fDtrControl = static_cast<DWORD>(S.DtrControl);
  d.fDsrSensitivity = S.DsrSensitivity;
  d.fTXContinueOnXoff = S.ContinueOnXoff;
  d.fOutX = S.XonXoffOutput;
  d.fInX = S.XonXoffInput;
  d.fErrorChar = S.ReplaceErrors;
  d.fNull = S.DiscardNull;
  d.fRtsControl = static_cast<DWORD>(S.RtsControl);
  d.fAbortOnError = S.AbortOnError;
  d.XonLim = S.XonLimit;
  d.XoffLim = S.XoffLimit;
  d.XonChar = static_cast<char>(S.XonChar);
  d.XoffChar = static_cast<char>(S.XoffChar);
  d.ErrorChar = static_cast<char>(S.ErrorChar);
  d.EofChar = static_cast<char>(S.EofChar);
  d.EvtChar = static_cast<char>(S.EventChar);
  if (!::SetCommState(Native(Handle_), &d)) return LastUseError();
  return {};
}

TOsError TSerialDevice::SetTimeouts(const TSerialTimeouts& Timeouts) {
  if (Handle_ == INVALID_HANDLE_VALUE) return UseError(ERROR_INVALID_HANDLE);
  Timeouts_ = Timeouts;
  return {};
}

TOsError TSerialDevice::SetEventMask(TLineEvents Events) {
  if (Handle_ == INVALID_HANDLE_VALUE) return UseError(ERROR_INVALID_HANDLE);
  Mask_.store(Events.Bits());
  // An empty mask also ends a WaitCommEvent in progress.
  if (!::SetCommMask(Native(Handle_), Events.Bits())) return FeatureError();
  return {};
}

TOsError TSerialDevice::SetModemLine(TModemLine Line, bool On) {
  DWORD function = 0;
  switch (Line) {
    case TModemLine::mlDtr:
      function = On ? SETDTR : CLRDTR;
      break;
    case TModemLine::mlRts:
      function = On ? SETRTS : CLRRTS;
      break;
    default:
      return UseError(ERROR_INVALID_PARAMETER);  // the other lines are inputs
  }
  if (!::EscapeCommFunction(Native(Handle_), function)) return FeatureError();
  return {};
}

TOsError TSerialDevice::SetBreak(bool On) {
  if (!(On ? ::SetCommBreak(Native(Handle_)) : ::ClearCommBreak(Native(Handle_))))
    return FeatureError();
  return {};
}

TOsError TSerialDevice::Purge(TPurges What) {
  if (Handle_ == INVALID_HANDLE_VALUE) return UseError(ERROR_INVALID_HANDLE);
  if (What.Empty()) return {};
  if (!::PurgeComm(Native(Handle_), What.Bits())) return LastUseError();
  return {};
}

TOsError TSerialDevice::ReadLineStatus(TLineFaults& Faults, std::uint32_t& InQueue) {
  Faults = {};
  InQueue = 0;
  DWORD errors = 0;
  COMSTAT stat{};
  if (!::ClearCommError(Native(Handle_), &errors, &stat)) return LastUseError();
  InQueue = stat.cbInQue;
  std::lock_guard guard(FaultsLock_);
  // Faults the line-event watcher cleared on its way are reported here all the same.
  Faults = TLineFaults::FromBits(static_cast<std::uint16_t>((errors | SeenFaults_) & AllFaults));
  SeenFaults_ = 0;
  return {};
}

std::uint32_t TSerialDevice::TakeInQueue(TOsError& Error) {
  DWORD errors = 0;
  COMSTAT stat{};
  if (!::ClearCommError(Native(Handle_), &errors, &stat)) {
    Error = LastUseError();
    return 0;
  }
  if (errors & AllFaults) {
    std::lock_guard guard(FaultsLock_);
    SeenFaults_ |= errors & AllFaults;
  }
  return stat.cbInQue;
}

TOsError TSerialDevice::ReadAvailable(std::uint8_t* Buffer, std::uint32_t Count,
                                      std::uint32_t& Done) {
  Done = 0;
  if (Count == 0) return {};
  if (Handle_ == INVALID_HANDLE_VALUE) return UseError(ERROR_INVALID_HANDLE);
  TOsError error;
  const std::uint32_t waiting = TakeInQueue(error);
  if (error || waiting == 0) return error;
  // No more than the queue holds, so the read ends at once without a timeout of the driver.
  const HANDLE device = Native(Handle_);
  const DWORD want = std::min(Count, waiting);
  DWORD moved = 0;
  const DWORD r = Transfer(
      device, [&](OVERLAPPED* Ov) { return ::ReadFile(device, Buffer, want, nullptr, Ov); },
      std::nullopt, moved);
  Done = moved;
  if (r != 0 && moved == 0) return TransferError(r);
  return {};
}

TOsError TSerialDevice::Read(std::uint8_t* Buffer, std::uint32_t Count, std::uint32_t& Done,
                             bool /*Whole*/) {
  Done = 0;
  if (Count == 0) return {};
  if (Handle_ == INVALID_HANDLE_VALUE) return UseError(ERROR_INVALID_HANDLE);
  // What is there already is taken at once.
  if (TOsError error = ReadAvailable(Buffer, Count, Done); error || Done > 0) return error;
  if (Timeouts_.ReadMs == 0) return {};
  // Otherwise a read of one byte waits for the first arrival, as long as the timeout allows,
  // and then whatever came with it is taken as well.
  std::optional<TClock::time_point> end;
  if (Timeouts_.ReadMs > 0) end = TClock::now() + std::chrono::milliseconds(Timeouts_.ReadMs);
  const HANDLE device = Native(Handle_);
  DWORD moved = 0;
  const DWORD r = Transfer(
      device, [&](OVERLAPPED* Ov) { return ::ReadFile(device, Buffer, 1, nullptr, Ov); }, end,
      moved);
  if (moved == 0) {
    if (r == WAIT_TIMEOUT || r == 0) return {};  // nothing within the timeout
    return TransferError(r);
  }
  Done = moved;
  std::uint32_t more = 0;
  if (Count > Done && !ReadAvailable(Buffer + Done, Count - Done, more)) Done += more;
  return {};
}

TOsError TSerialDevice::Write(const std::uint8_t* Data, std::uint32_t Count, std::uint32_t& Done) {
  Done = 0;
  if (Handle_ == INVALID_HANDLE_VALUE) return UseError(ERROR_INVALID_HANDLE);
  if (Count == 0) return {};
  std::optional<TClock::time_point> end;
  if (Timeouts_.WriteMs >= 0) end = TClock::now() + std::chrono::milliseconds(Timeouts_.WriteMs);
  const HANDLE device = Native(Handle_);
  DWORD moved = 0;
  const DWORD r = Transfer(
      device, [&](OVERLAPPED* Ov) { return ::WriteFile(device, Data, Count, nullptr, Ov); }, end,
      moved);
  Done = moved;
  if (r == 0 && Done < Count) return WinError(WAIT_TIMEOUT);
  if (r != 0) return r == WAIT_TIMEOUT ? WinError(WAIT_TIMEOUT) : TransferError(r);
  return {};
}

TOsError TSerialDevice::TransferError(unsigned long Code) {
  const bool stop = CancelRequested();
  DWORD faults = 0;
  if (Code == ERROR_OPERATION_ABORTED && !stop) {
    // The driver refuses every transfer until the fault is acknowledged.
    TOsError ignored;
    TakeInQueue(ignored);
    std::lock_guard guard(FaultsLock_);
    faults = SeenFaults_;
  }
  return SerialTransferError(Code, stop, faults);
}

// --- Line events ------------------------------------------------------------------------

namespace {

OVERLAPPED* OverlappedOf(TSerialLineEventState& S) {
  return reinterpret_cast<OVERLAPPED*>(S.Overlapped);
}

}  // namespace

TSerialLineEventState::~TSerialLineEventState() {
  if (Pending) {
    // The record must outlive the wait: end it and wait for its end.
    DWORD unused = 0;
    ::CancelIoEx(Native(Device), OverlappedOf(*this));
    ::GetOverlappedResult(Native(Device), OverlappedOf(*this), &unused, TRUE);
  }
  if (Event) ::CloseHandle(Native(Event));
}

TOsError TSerialDevice::CheckLines(TSerialLineEventState& S, TLineEvents& Events) {
  Events = {};
  ++S.LineQueries;
  DWORD errors = 0;
  COMSTAT stat{};
  if (!::ClearCommError(Native(Handle_), &errors, &stat)) {
    // A device that went away is not looked at again.
    if (TOsError error = LastUseError(); error.Kind == TErrorKind::ekGone) return error;
  } else {
    if (stat.cbInQue > 0 && stat.cbInQue != S.InQueue) Events |= TLineEvent::leReceived;
    S.InQueue = stat.cbInQue;
    if (errors & LineFaults) Events |= TLineEvent::leLineFault;
    if (errors & CE_BREAK) Events |= TLineEvent::leBreak;
    if (errors & AllFaults) {
      std::lock_guard guard(FaultsLock_);
      SeenFaults_ |= errors & AllFaults;
    }
  }
  DWORD status = 0;
  if (!S.NoModemLines && ::GetCommModemStatus(Native(Handle_), &status)) {
    if (S.ModemKnown) {
      const DWORD changed = status ^ S.ModemLines;
      if (changed & MS_CTS_ON) Events |= TLineEvent::leCts;
      if (changed & MS_DSR_ON) Events |= TLineEvent::leDsr;
      if (changed & MS_RLSD_ON) Events |= TLineEvent::leCarrierDetect;
      if (changed & MS_RING_ON) Events |= TLineEvent::leRing;
    }
    S.ModemKnown = true;
    S.ModemLines = status;
  } else if (!S.NoModemLines) {
    const DWORD code = ::GetLastError();
    S.NoModemLines = IsNoSuchFeature(code);
    if (TOsError error = UseError(code); error.Kind == TErrorKind::ekGone) return error;
  }
  return {};
}

TLineEvents TSerialDevice::AcknowledgeAbort() {
  TOsError ignored;
  TakeInQueue(ignored);
  std::lock_guard guard(FaultsLock_);
  return (SeenFaults_ & LineFaults) ? TLineEvents(TLineEvent::leLineFault) : TLineEvents();
}

TOsError TSerialDevice::WaitLineEvents(TSerialLineEventState& S, const TSerialWakeEvent& Wake,
                                       int SliceMs, TLineEvents& Result) {
  Result = {};
  if (Handle_ == INVALID_HANDLE_VALUE) return UseError(ERROR_INVALID_HANDLE);
  const DWORD slice = SliceMs < 0 ? 0 : static_cast<DWORD>(SliceMs);
  // Without a taker for received data, arriving bytes are not asked for: the device's event mask
  // goes without them (which also ends a wait in progress, to be started again below).
  TLineEvents wanted = EventMask();
  if (S.IgnoreInput)
    wanted =
        TLineEvents::FromBits(wanted.Bits() & ~static_cast<std::uint16_t>(TLineEvent::leReceived));
  if (const bool watch = wanted.Has(TLineEvent::leReceived); watch != S.WatchingInput) {
    if (!S.NoCommEvents && !::SetCommMask(Native(Handle_), wanted.Bits())) {
      const TOsError error = FeatureError();
      if (error) return error;
    }
    S.WatchingInput = watch;
  }
  if (!S.NoCommEvents && !S.Pending) {
    if (!S.Event) {
      S.Event = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
      if (!S.Event) return LastUseError();
    }
    OVERLAPPED* ov = OverlappedOf(S);
    std::memset(ov, 0, sizeof(OVERLAPPED));
    ov->hEvent = Native(S.Event);
    S.Mask = 0;
    if (::WaitCommEvent(Native(Handle_), &S.Mask, ov)) {
      Result = TLineEvents::FromBits(static_cast<std::uint16_t>(S.Mask)) & wanted;
      return {};
    }
    const DWORD error = ::GetLastError();
    if (error == ERROR_IO_PENDING) {
      S.Pending = true;
      S.Device = Handle_;
    } else if (IsNoSuchFeature(error)) {
      // A driver that cannot wait for events (Wine on a pseudo terminal): the line is looked
      // at once per slice instead.
      S.NoCommEvents = true;
    } else {
      // A fault of the line that the driver waits to have acknowledged (fAbortOnError); when
      // none is known, the caller waits a slice before it asks again.
      if (error == ERROR_OPERATION_ABORTED) Result = AcknowledgeAbort() & wanted;
      return Result.Empty() ? UseError(error) : TOsError{};
    }
  }
  if (S.NoCommEvents) {
    ::WaitForSingleObject(Wake.Handle(), slice);
    ++S.WakeUps;
    TLineEvents events;
    if (TOsError error = CheckLines(S, events)) return error;
    Result = events & wanted;
    return {};
  }
  const HANDLE handles[2] = {Native(S.Event), Wake.Handle()};
  const DWORD r = ::WaitForMultipleObjects(2, handles, FALSE, slice);
  ++S.WakeUps;
  if (r != WAIT_OBJECT_0) return {};  // the slice passed or Wake was set: the wait goes on
  S.Pending = false;
  DWORD unused = 0;
  if (!::GetOverlappedResult(Native(Handle_), OverlappedOf(S), &unused, FALSE)) {
    const DWORD error = ::GetLastError();
    if (error != ERROR_OPERATION_ABORTED) return UseError(error);
    Result = AcknowledgeAbort() & wanted;
    return {};
  }
  Result = TLineEvents::FromBits(static_cast<std::uint16_t>(S.Mask)) & wanted;
  return {};
}

}  // namespace probrix::platform
