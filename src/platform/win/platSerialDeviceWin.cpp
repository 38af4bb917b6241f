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

constexpr DWORD kLineFaults = CE_RXOVER | CE_OVERRUN | CE_RXPARITY | CE_FRAME;
constexpr DWORD kAllFaults = kLineFaults | CE_BREAK | CE_TXFULL;

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
  const DWORD Code = ::GetLastError();
  return IsNoSuchFeature(Code) ? TOsError{} : UseError(Code);
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
  static constexpr std::pair<DWORD, const char*> kNames[] = {
      {CE_FRAME, "ошибка кадра"},
      {CE_RXPARITY, "ошибка чётности"},
      {CE_OVERRUN, "переполнение приёмника"},
      {CE_RXOVER, "переполнение входного буфера"},
      {CE_BREAK, "разрыв линии"},
      {CE_TXFULL, "переполнение выходного буфера"}};
  std::string Text = "Операция прервана драйвером порта из-за ошибки на линии";
  const char* Separator = ": ";
  for (const auto& [Bit, Name] : kNames) {
    if (!(Faults & Bit)) continue;
    Text += Separator;
    Text += Name;
    Separator = ", ";
  }
  return Text;
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
  static constexpr std::pair<DWORD, std::uint32_t> kRates[] = {
      {BAUD_075, 75},      {BAUD_110, 110},       {BAUD_134_5, 134},   {BAUD_150, 150},
      {BAUD_300, 300},     {BAUD_600, 600},       {BAUD_1200, 1200},   {BAUD_1800, 1800},
      {BAUD_2400, 2400},   {BAUD_4800, 4800},     {BAUD_7200, 7200},   {BAUD_9600, 9600},
      {BAUD_14400, 14400}, {BAUD_19200, 19200},   {BAUD_38400, 38400}, {BAUD_56K, 56000},
      {BAUD_57600, 57600}, {BAUD_115200, 115200}, {BAUD_128K, 128000}};
  for (const auto& [Bit, Rate] : kRates)
    if (Flag == Bit) return Rate;
  return 0;  // BAUD_USER and anything unknown: programmable
}

// --- TSerialDevice ----------------------------------------------------------------------

std::shared_ptr<TSerialDevice> TSerialDevice::Open(
    const std::string& Path, TOsError& Error, std::string& Holder,
    const std::vector<std::filesystem::path>& /*LockFolders*/) {
  Error = {};
  Holder.clear();
  // No sharing: the system refuses every further opener of the device while it is open here.
  const HANDLE Handle = ::CreateFileW(WideFromUtf8(Path).c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                                      nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
  if (Handle == INVALID_HANDLE_VALUE) {
    Error = SerialOpenError(::GetLastError());
    return nullptr;
  }
  std::shared_ptr<TSerialDevice> Dev(new TSerialDevice(Handle));
  // The layer times every transfer itself (a wait on the transfer's event with a deadline):
  // the driver's own timeouts stay off, so a read waits until its bytes are there.
  COMMTIMEOUTS None{};
  if (::GetFileType(Handle) == FILE_TYPE_CHAR && !::SetCommTimeouts(Handle, &None)) {
    Error = SerialOpenError(::GetLastError());
    Dev->Close();
    return nullptr;
  }
  return Dev;
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
  COMMPROP Prop{};
  if (!::GetCommProperties(Native(Handle_), &Prop)) return LastUseError();
  Properties.MaxBaudRate = BaudRateOfFlag(Prop.dwMaxBaud);
  Properties.InputQueueSize = Prop.dwCurrentRxQueue;
  return {};
}

TOsError TSerialDevice::ReadModemLines(TModemLines& Lines) const {
  Lines = {};
  DWORD Status = 0;
  if (!::GetCommModemStatus(Native(Handle_), &Status)) return FeatureError();
  if (Status & MS_CTS_ON) Lines |= TModemLine::mlCts;
  if (Status & MS_DSR_ON) Lines |= TModemLine::mlDsr;
  if (Status & MS_RING_ON) Lines |= TModemLine::mlRing;
  if (Status & MS_RLSD_ON) Lines |= TModemLine::mlCarrierDetect;
  return {};
}

TOsError TSerialDevice::ReadLineSettings(TSerialLineSettings& S) const {
  DCB D{};
  D.DCBlength = sizeof(D);
  if (!::GetCommState(Native(Handle_), &D)) return LastUseError();
  S = TSerialLineSettings{};
  S.BaudRate = D.BaudRate;
  S.DataBits = D.ByteSize;
  S.Parity = static_cast<TParity>(D.Parity);
  S.StopBits = static_cast<TStopBits>(D.StopBits);
  S.Binary = D.fBinary;
  S.CheckParity = D.fParity;
  S.CtsOutputFlow = D.fOutxCtsFlow;
  S.DsrOutputFlow = D.fOutxDsrFlow;
  S.DtrControl = static_cast<TLineControl>(D.fDtrControl);
  S.DsrSensitivity = D.fDsrSensitivity;
  S.ContinueOnXoff = D.fTXContinueOnXoff;
  S.XonXoffOutput = D.fOutX;
  S.XonXoffInput = D.fInX;
  S.ReplaceErrors = D.fErrorChar;
  S.DiscardNull = D.fNull;
  S.RtsControl = static_cast<TLineControl>(D.fRtsControl);
  S.AbortOnError = D.fAbortOnError;
  S.XonLimit = D.XonLim;
  S.XoffLimit = D.XoffLim;
  S.XonChar = static_cast<std::uint8_t>(D.XonChar);
  S.XoffChar = static_cast<std::uint8_t>(D.XoffChar);
  S.ErrorChar = static_cast<std::uint8_t>(D.ErrorChar);
  S.EofChar = static_cast<std::uint8_t>(D.EofChar);
  S.EventChar = static_cast<std::uint8_t>(D.EvtChar);
  return {};
}

TOsError TSerialDevice::WriteLineSettings(const TSerialLineSettings& S) {
  if (S.BaudRate == 0) return UseError(ERROR_INVALID_PARAMETER);
  DCB D{};
  D.DCBlength = sizeof(D);
  // Reserved bits keep what the driver has.
  if (!::GetCommState(Native(Handle_), &D)) return LastUseError();
  D.BaudRate = S.BaudRate;
  D.ByteSize = S.DataBits;
  D.Parity = static_cast<BYTE>(S.Parity);
  D.StopBits = static_cast<BYTE>(S.StopBits);
  D.fBinary = S.Binary;
  D.fParity = S.CheckParity;
  D.fOutxCtsFlow = S.CtsOutputFlow;
  D.fOutxDsrFlow = S.DsrOutputFlow;
  D.fDtrControl = static_cast<DWORD>(S.DtrControl);
  D.fDsrSensitivity = S.DsrSensitivity;
  D.fTXContinueOnXoff = S.ContinueOnXoff;
  D.fOutX = S.XonXoffOutput;
  D.fInX = S.XonXoffInput;
  D.fErrorChar = S.ReplaceErrors;
  D.fNull = S.DiscardNull;
  D.fRtsControl = static_cast<DWORD>(S.RtsControl);
  D.fAbortOnError = S.AbortOnError;
  D.XonLim = S.XonLimit;
  D.XoffLim = S.XoffLimit;
  D.XonChar = static_cast<char>(S.XonChar);
  D.XoffChar = static_cast<char>(S.XoffChar);
  D.ErrorChar = static_cast<char>(S.ErrorChar);
  D.EofChar = static_cast<char>(S.EofChar);
  D.EvtChar = static_cast<char>(S.EventChar);
  if (!::SetCommState(Native(Handle_), &D)) return LastUseError();
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
  DWORD Function = 0;
  switch (Line) {
    case TModemLine::mlDtr:
      Function = On ? SETDTR : CLRDTR;
      break;
    case TModemLine::mlRts:
      Function = On ? SETRTS : CLRRTS;
      break;
    default:
      return UseError(ERROR_INVALID_PARAMETER);  // the other lines are inputs
  }
  if (!::EscapeCommFunction(Native(Handle_), Function)) return FeatureError();
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
  DWORD Errors = 0;
  COMSTAT Stat{};
  if (!::ClearCommError(Native(Handle_), &Errors, &Stat)) return LastUseError();
  InQueue = Stat.cbInQue;
  std::lock_guard Guard(FaultsLock_);
  // Faults the line-event watcher cleared on its way are reported here all the same.
  Faults = TLineFaults::FromBits(static_cast<std::uint16_t>((Errors | SeenFaults_) & kAllFaults));
  SeenFaults_ = 0;
  return {};
}

std::uint32_t TSerialDevice::TakeInQueue(TOsError& Error) {
  DWORD Errors = 0;
  COMSTAT Stat{};
  if (!::ClearCommError(Native(Handle_), &Errors, &Stat)) {
    Error = LastUseError();
    return 0;
  }
  if (Errors & kAllFaults) {
    std::lock_guard Guard(FaultsLock_);
    SeenFaults_ |= Errors & kAllFaults;
  }
  return Stat.cbInQue;
}

TOsError TSerialDevice::ReadAvailable(std::uint8_t* Buffer, std::uint32_t Count,
                                      std::uint32_t& Done) {
  Done = 0;
  if (Count == 0) return {};
  if (Handle_ == INVALID_HANDLE_VALUE) return UseError(ERROR_INVALID_HANDLE);
  TOsError Error;
  const std::uint32_t Waiting = TakeInQueue(Error);
  if (Error || Waiting == 0) return Error;
  // No more than the queue holds, so the read ends at once without a timeout of the driver.
  const HANDLE Device = Native(Handle_);
  const DWORD Want = std::min(Count, Waiting);
  DWORD Moved = 0;
  const DWORD R = Transfer(
      Device, [&](OVERLAPPED* Ov) { return ::ReadFile(Device, Buffer, Want, nullptr, Ov); },
      std::nullopt, Moved);
  Done = Moved;
  if (R != 0 && Moved == 0) return TransferError(R);
  return {};
}

TOsError TSerialDevice::Read(std::uint8_t* Buffer, std::uint32_t Count, std::uint32_t& Done,
                             bool /*Whole*/) {
  Done = 0;
  if (Count == 0) return {};
  if (Handle_ == INVALID_HANDLE_VALUE) return UseError(ERROR_INVALID_HANDLE);
  // What is there already is taken at once.
  if (TOsError Error = ReadAvailable(Buffer, Count, Done); Error || Done > 0) return Error;
  if (Timeouts_.ReadMs == 0) return {};
  // Otherwise a read of one byte waits for the first arrival, as long as the timeout allows,
  // and then whatever came with it is taken as well.
  std::optional<TClock::time_point> End;
  if (Timeouts_.ReadMs > 0) End = TClock::now() + std::chrono::milliseconds(Timeouts_.ReadMs);
  const HANDLE Device = Native(Handle_);
  DWORD Moved = 0;
  const DWORD R = Transfer(
      Device, [&](OVERLAPPED* Ov) { return ::ReadFile(Device, Buffer, 1, nullptr, Ov); }, End,
      Moved);
  if (Moved == 0) {
    if (R == WAIT_TIMEOUT || R == 0) return {};  // nothing within the timeout
    return TransferError(R);
  }
  Done = Moved;
  std::uint32_t More = 0;
  if (Count > Done && !ReadAvailable(Buffer + Done, Count - Done, More)) Done += More;
  return {};
}

TOsError TSerialDevice::Write(const std::uint8_t* Data, std::uint32_t Count, std::uint32_t& Done) {
  Done = 0;
  if (Handle_ == INVALID_HANDLE_VALUE) return UseError(ERROR_INVALID_HANDLE);
  if (Count == 0) return {};
  std::optional<TClock::time_point> End;
  if (Timeouts_.WriteMs >= 0) End = TClock::now() + std::chrono::milliseconds(Timeouts_.WriteMs);
  const HANDLE Device = Native(Handle_);
  DWORD Moved = 0;
  const DWORD R = Transfer(
      Device, [&](OVERLAPPED* Ov) { return ::WriteFile(Device, Data, Count, nullptr, Ov); }, End,
      Moved);
  Done = Moved;
  if (R == 0 && Done < Count) return WinError(WAIT_TIMEOUT);
  if (R != 0) return R == WAIT_TIMEOUT ? WinError(WAIT_TIMEOUT) : TransferError(R);
  return {};
}

TOsError TSerialDevice::TransferError(unsigned long Code) {
  const bool Stop = CancelRequested();
  DWORD Faults = 0;
  if (Code == ERROR_OPERATION_ABORTED && !Stop) {
    // The driver refuses every transfer until the fault is acknowledged.
    TOsError Ignored;
    TakeInQueue(Ignored);
    std::lock_guard Guard(FaultsLock_);
    Faults = SeenFaults_;
  }
  return SerialTransferError(Code, Stop, Faults);
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
    DWORD Unused = 0;
    ::CancelIoEx(Native(Device), OverlappedOf(*this));
    ::GetOverlappedResult(Native(Device), OverlappedOf(*this), &Unused, TRUE);
  }
  if (Event) ::CloseHandle(Native(Event));
}

TOsError TSerialDevice::CheckLines(TSerialLineEventState& S, TLineEvents& Events) {
  Events = {};
  ++S.LineQueries;
  DWORD Errors = 0;
  COMSTAT Stat{};
  if (!::ClearCommError(Native(Handle_), &Errors, &Stat)) {
    // A device that went away is not looked at again.
    if (TOsError Error = LastUseError(); Error.Kind == TErrorKind::ekGone) return Error;
  } else {
    if (Stat.cbInQue > 0 && Stat.cbInQue != S.InQueue) Events |= TLineEvent::leReceived;
    S.InQueue = Stat.cbInQue;
    if (Errors & kLineFaults) Events |= TLineEvent::leLineFault;
    if (Errors & CE_BREAK) Events |= TLineEvent::leBreak;
    if (Errors & kAllFaults) {
      std::lock_guard Guard(FaultsLock_);
      SeenFaults_ |= Errors & kAllFaults;
    }
  }
  DWORD Status = 0;
  if (!S.NoModemLines && ::GetCommModemStatus(Native(Handle_), &Status)) {
    if (S.ModemKnown) {
      const DWORD Changed = Status ^ S.ModemLines;
      if (Changed & MS_CTS_ON) Events |= TLineEvent::leCts;
      if (Changed & MS_DSR_ON) Events |= TLineEvent::leDsr;
      if (Changed & MS_RLSD_ON) Events |= TLineEvent::leCarrierDetect;
      if (Changed & MS_RING_ON) Events |= TLineEvent::leRing;
    }
    S.ModemKnown = true;
    S.ModemLines = Status;
  } else if (!S.NoModemLines) {
    const DWORD Code = ::GetLastError();
    S.NoModemLines = IsNoSuchFeature(Code);
    if (TOsError Error = UseError(Code); Error.Kind == TErrorKind::ekGone) return Error;
  }
  return {};
}

TLineEvents TSerialDevice::AcknowledgeAbort() {
  TOsError Ignored;
  TakeInQueue(Ignored);
  std::lock_guard Guard(FaultsLock_);
  return (SeenFaults_ & kLineFaults) ? TLineEvents(TLineEvent::leLineFault) : TLineEvents();
}

TOsError TSerialDevice::WaitLineEvents(TSerialLineEventState& S, const TSerialWakeEvent& Wake,
                                       int SliceMs, TLineEvents& Result) {
  Result = {};
  if (Handle_ == INVALID_HANDLE_VALUE) return UseError(ERROR_INVALID_HANDLE);
  const DWORD Slice = SliceMs < 0 ? 0 : static_cast<DWORD>(SliceMs);
  // Without a taker for received data, arriving bytes are not asked for: the device's event mask
  // goes without them (which also ends a wait in progress, to be started again below).
  TLineEvents Wanted = EventMask();
  if (S.IgnoreInput)
    Wanted =
        TLineEvents::FromBits(Wanted.Bits() & ~static_cast<std::uint16_t>(TLineEvent::leReceived));
  if (const bool Watch = Wanted.Has(TLineEvent::leReceived); Watch != S.WatchingInput) {
    if (!S.NoCommEvents && !::SetCommMask(Native(Handle_), Wanted.Bits())) {
      const TOsError Error = FeatureError();
      if (Error) return Error;
    }
    S.WatchingInput = Watch;
  }
  if (!S.NoCommEvents && !S.Pending) {
    if (!S.Event) {
      S.Event = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
      if (!S.Event) return LastUseError();
    }
    OVERLAPPED* Ov = OverlappedOf(S);
    std::memset(Ov, 0, sizeof(OVERLAPPED));
    Ov->hEvent = Native(S.Event);
    S.Mask = 0;
    if (::WaitCommEvent(Native(Handle_), &S.Mask, Ov)) {
      Result = TLineEvents::FromBits(static_cast<std::uint16_t>(S.Mask)) & Wanted;
      return {};
    }
    const DWORD Error = ::GetLastError();
    if (Error == ERROR_IO_PENDING) {
      S.Pending = true;
      S.Device = Handle_;
    } else if (IsNoSuchFeature(Error)) {
      // A driver that cannot wait for events (Wine on a pseudo terminal): the line is looked
      // at once per slice instead.
      S.NoCommEvents = true;
    } else {
      // A fault of the line that the driver waits to have acknowledged (fAbortOnError); when
      // none is known, the caller waits a slice before it asks again.
      if (Error == ERROR_OPERATION_ABORTED) Result = AcknowledgeAbort() & Wanted;
      return Result.Empty() ? UseError(Error) : TOsError{};
    }
  }
  if (S.NoCommEvents) {
    ::WaitForSingleObject(Wake.Handle(), Slice);
    ++S.WakeUps;
    TLineEvents Events;
    if (TOsError Error = CheckLines(S, Events)) return Error;
    Result = Events & Wanted;
    return {};
  }
  const HANDLE Handles[2] = {Native(S.Event), Wake.Handle()};
  const DWORD R = ::WaitForMultipleObjects(2, Handles, FALSE, Slice);
  ++S.WakeUps;
  if (R != WAIT_OBJECT_0) return {};  // the slice passed or Wake was set: the wait goes on
  S.Pending = false;
  DWORD Unused = 0;
  if (!::GetOverlappedResult(Native(Handle_), OverlappedOf(S), &Unused, FALSE)) {
    const DWORD Error = ::GetLastError();
    if (Error != ERROR_OPERATION_ABORTED) return UseError(Error);
    Result = AcknowledgeAbort() & Wanted;
    return {};
  }
  Result = TLineEvents::FromBits(static_cast<std::uint16_t>(S.Mask)) & Wanted;
  return {};
}

}  // namespace probrix::platform
