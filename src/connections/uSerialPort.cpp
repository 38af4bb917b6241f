#include "connections/uSerialPort.h"

#include <algorithm>
#include <chrono>
#include <limits>

#include "foundation/appExceptions.h"
#include "foundation/appSysUtils.h"
#include "platform/platCrashSignals.h"

namespace probrix {

namespace {

using platform::TErrorKind;
using platform::TLineControl;
using platform::TLineEvent;
using platform::TLineEvents;
using platform::TLineFault;
using platform::TLineFaults;
using platform::TOsError;

// Every event but the transmit queue running empty.
constexpr TLineEvents AllLineEvents = {TLineEvent::leReceived,      TLineEvent::leEventChar,
                                       TLineEvent::leCts,           TLineEvent::leDsr,
                                       TLineEvent::leCarrierDetect, TLineEvent::leBreak,
                                       TLineEvent::leLineFault,     TLineEvent::leRing};
constexpr TLineEvents PinEvents = {TLineEvent::leCts, TLineEvent::leDsr,
                                   TLineEvent::leCarrierDetect, TLineEvent::leBreak,
                                   TLineEvent::leRing};
constexpr TLineFaults ReportedFaults = {TLineFault::lfInputOverflow, TLineFault::lfOverrun,
                                        TLineFault::lfParity, TLineFault::lfFraming,
                                        TLineFault::lfTransmitFull};

constexpr int StopCheckMs = 100;

constexpr const char* SetPropertyFailed = "Ошибка при установке значения свойства %s.";
constexpr const char* PortClosedProperty = "Порт закрыт. Нельзя получить значение свойства %s.";
constexpr const char* PortClosedOperation = "Порт закрыт. Нельзя выполнить операцию %s.";
constexpr const char* BadPropertyValue = "Неверное значение свойства %s.";
// Open refusals the operator can act on; the port name goes in.
constexpr const char* NoRightsText =
    "Нет прав доступа к порту %s: у пользователя нет прав на чтение и запись этого устройства. "
    "Обычно достаточно добавить пользователя в группу dialout и войти в систему заново.";
constexpr const char* BusyText =
    "Доступ к порту %s закрыт. Возможно он используется другой программой.";
// ... and the program that holds it.
constexpr const char* HeldText = "Порт %s используется другой программой: %s";

bool IsRtsHandshake(THandshake H) {
  return H == THandshake::hsRequestToSend || H == THandshake::hsRequestToSendXOnXOff;
}

// The platform's wait for a read or write timeout: InfiniteTimeout waits without limit; a
// read timeout of 0 takes what has arrived at once.
std::int32_t WaitLimit(std::int32_t Timeout) {
  return Timeout == TSerialPort::InfiniteTimeout ? platform::TSerialTimeouts::NoLimit : Timeout;
}

bool IsDigit(char C) { return C >= '0' && C <= '9'; }

char LowerAscii(char C) { return (C >= 'A' && C <= 'Z') ? static_cast<char>(C - 'A' + 'a') : C; }

int NaturalCompare(std::string_view X, std::string_view Y) {
  std::size_t i = 0, j = 0;
  while (i < X.size() && j < Y.size()) {
    if (IsDigit(X[i]) && IsDigit(Y[j])) {
      std::size_t endI = i, endJ = j;
      while (endI < X.size() && IsDigit(X[endI])) ++endI;
      while (endJ < Y.size() && IsDigit(Y[endJ])) ++endJ;
      std::string_view a = X.substr(i, endI - i), b = Y.substr(j, endJ - j);
      while (a.size() > 1 && a.front() == '0') a.remove_prefix(1);
      while (b.size() > 1 && b.front() == '0') b.remove_prefix(1);
      if (a.size() != b.size()) return a.size() < b.size() ? -1 : 1;
      if (const int c = a.compare(b); c != 0) return c < 0 ? -1 : 1;
      i = endI;
      j = endJ;
      continue;
    }
    const auto a = static_cast<unsigned char>(LowerAscii(X[i]));
    const auto b = static_cast<unsigned char>(LowerAscii(Y[j]));
    if (a != b) return a < b ? -1 : 1;
    ++i;
    ++j;
  }
  if (i < X.size()) return 1;
  if (j < Y.size()) return -1;
  return 0;
}

}  // namespace

// --- TCommEventThread -------------------------------------------------------------------

TCommEventThread::TCommEventThread(TSerialHandle Handle, TEventQueue& Queue)
    : Handle_(std::move(Handle)),
      Queue_(Queue),
      Thread_(platform::WithSignalStack([this](std::stop_token Stop) { Execute(Stop); })) {}

TCommEventThread::~TCommEventThread() {
  Terminate();
  WaitFor();
}

void TCommEventThread::Terminate() {
  Thread_.request_stop();
  Event_.Set();
}

void TCommEventThread::WaitFor() {
  if (Thread_.joinable()) Thread_.join();
}

void TCommEventThread::Execute(std::stop_token Stop) {
  platform::TSerialLineEventState state;
  while (!Stop.stop_requested()) {
    try {
      Event_.Reset();
      if (Stop.stop_requested()) break;
      TLineEvents events;
      // Bytes that nobody takes cost no wake-up, no queued mask and no status query.
      state.IgnoreInput = !Queue_.ReceiveWanted();
      if (const TOsError error = Handle_->WaitLineEvents(state, Event_, StopCheckMs, events)) {
        // A device that went away is not watched any longer.
        if (error.Kind == TErrorKind::ekGone) break;
        Event_.WaitFor(StopCheckMs);
        continue;
      }
      if (!Stop.stop_requested() && !events.Empty()) Queue_.Add(events);
    } catch (...) {
    }
  }
  Finished_.store(true);
}

// --- TEventQueue ------------------------------------------------------------------------

TEventQueue::TEventQueue(TSerialPort& Port, TSerialHandle Handle)
    : Port_(Port),
      Handle_(std::move(Handle)),
      Thread_(platform::WithSignalStack([this](std::stop_token Stop) { Execute(Stop); })) {}

TEventQueue::~TEventQueue() {
  Thread_.request_stop();
  Add({});
  if (Thread_.joinable()) Thread_.join();
}

void TEventQueue::Add(TLineEvents Events) {
  {
    std::lock_guard guard(Lock_);
    List_.push_back(Events);
  }
  Ready_.notify_one();
}

bool TEventQueue::ReceiveWanted() const { return Port_.ReceiveEventsWanted(); }

void TEventQueue::Execute(std::stop_token Stop) {
  while (!Stop.stop_requested()) {
    TLineEvents events;
    {
      // Sleeps until a mask comes (a semaphore's timed wait spins first), looking at the stop
      // request at least every StopCheckMs.
      std::unique_lock guard(Lock_);
      Ready_.wait_for(guard, std::chrono::milliseconds(StopCheckMs),
                      [&] { return !List_.empty() || Stop.stop_requested(); });
      if (Stop.stop_requested()) break;
      if (List_.empty()) continue;
      events = List_.front();
      List_.pop_front();
    }
    try {
      Dispatch(events);
    } catch (...) {
    }
  }
}

void TEventQueue::Dispatch(TLineEvents Events) {
  if (Events.HasAny({TLineEvent::leReceived, TLineEvent::leLineFault})) {
    TLineFaults faults;
    std::uint32_t inQueue = 0;
    if (Handle_->ReadLineStatus(faults, inQueue)) return;
    faults = faults & ReportedFaults;
    if (!faults.Empty()) Port_.DoErrorReceived(faults);
  }
  if (Events.HasAny(PinEvents)) Port_.DoPinChanged(Events);
  if (Events.HasAny({TLineEvent::leReceived, TLineEvent::leEventChar}))
    Port_.DoDataReceived(Events);
}

// --- TSerialPort ------------------------------------------------------------------------

TSerialPort::TSerialPort() = default;

TSerialPort::~TSerialPort() {
  try {
    Close();
  } catch (...) {
  }
  ReleaseLostHandle();
}

std::string TSerialPort::DevicePathOf(std::string_view Name) {
  return platform::SerialDevicePathOf(Name);
}

void TSerialPort::RaiseIOError(const TOsError& Error, std::string_view Context) const {
  std::string msg;
  if (Error.Kind == TErrorKind::ekNotFound) {
    msg = FormatExceptionMessage("%s Порт %s не существует", {UpperCaseAscii(Context), PortName_});
  } else if (Error.Kind == TErrorKind::ekAccessDenied) {
    // Missing rights, not a competitor: say what the user lacks.
    msg = FormatExceptionMessage("%s ", {UpperCaseAscii(Context)}) +
          FormatExceptionMessage(NoRightsText, {PortName_});
  } else if (Error.Kind == TErrorKind::ekBusy) {
    msg = FormatExceptionMessage("%s ", {UpperCaseAscii(Context)}) +
          FormatExceptionMessage(BusyText, {PortName_});
  } else {
    msg = FormatExceptionMessage("Порт %s. ", {PortName_}) + std::string(Context) +
          FormatExceptionMessage(" %s (%d)", {Error.Text, Error.Code});
  }
  EInOutError e(std::move(msg));
  e.ErrorCode = Error.Code;
  throw e;
}

void TSerialPort::RaiseIOErrorFmt(const TOsError& Error, std::string_view Fmt,
                                  std::string_view Arg) const {
  RaiseIOError(Error, FormatExceptionMessage(Fmt, {Arg}));
}

void TSerialPort::Open() {
  if (IsOpen()) throw EInvalidOperation::Create("Порт уже открыт");
  ReleaseLostHandle();

  TOsError error;
  OpenRefusal_.clear();
  TSerialHandle dev = platform::TSerialDevice::Open(DevicePath(), error, Holder_);
  if (!dev) {
    if (error.Kind == TErrorKind::ekBusy && !Holder_.empty())
      OpenRefusal_ = FormatExceptionMessage(HeldText, {PortName_, Holder_});
    else if (error.Kind == TErrorKind::ekBusy)
      OpenRefusal_ = FormatExceptionMessage(BusyText, {PortName_});
    else if (error.Kind == TErrorKind::ekAccessDenied)
      OpenRefusal_ = FormatExceptionMessage(NoRightsText, {PortName_});
    RaiseIOError(error, "");
  }
  Handle_ = std::move(dev);
  try {
    const platform::TDeviceFileType fileType = Handle_->FileType();
    if (fileType != platform::TDeviceFileType::ftUnknown &&
        fileType != platform::TDeviceFileType::ftCharacter)
      throw EInvalidArgument::CreateFmt("Порт %s не существует", {UpperCaseAscii(PortName_)});

    if (const TOsError e = Handle_->ReadProperties(CommProp_)) RaiseIOError(e, "");
    platform::TModemLines modemLines;
    if (const TOsError e = Handle_->ReadModemLines(modemLines)) RaiseIOError(e, "");

    if (CommProp_.MaxBaudRate != 0 && CommProp_.MaxBaudRate < BaudRate_)
      throw EPropertyError::CreateFmt(BadPropertyValue, {"BaudRate"});

    UpdateDcb();
    SetDtrEnable(DtrEnable_);
    if (!IsRtsHandshake(Handshake_)) SetRtsEnable(RtsEnable_);

    CommTimeouts_.ReadMs = WaitLimit(ReadTimeout_);
    CommTimeouts_.WriteMs = WaitLimit(WriteTimeout_);
    if (const TOsError e = Handle_->SetTimeouts(CommTimeouts_)) RaiseIOError(e, "");
    if (const TOsError e = Handle_->SetEventMask(AllLineEvents)) RaiseIOError(e, "");

    // The queue exists before the thread that feeds it.
    EventQueue_ = std::make_unique<TEventQueue>(*this, Handle_);
    EventThread_ = std::make_unique<TCommEventThread>(Handle_, *EventQueue_);
  } catch (...) {
    EventThread_.reset();
    EventQueue_.reset();
    Handle_->Close();
    Handle_.reset();
    throw;
  }
  // The line settles; a stop request cuts the wait short (the next read or write reports it).
  platform::CancellableSleep(100);
}

void TSerialPort::UpdateDcb() {
  Dcb_ = platform::TSerialLineSettings{};
  if (const TOsError e = Handle_->ReadLineSettings(Dcb_)) RaiseIOError(e, "");
  Dcb_.BaudRate = BaudRate_;
  Dcb_.DataBits = DataBits_;
  Dcb_.StopBits = StopBits_;
  Dcb_.Parity = Parity_;

  const bool rtsFlow = IsRtsHandshake(Handshake_);
  const bool xonXoff =
      Handshake_ == THandshake::hsXOnXOff || Handshake_ == THandshake::hsRequestToSendXOnXOff;
  const bool withParity = Parity_ != platform::TParity::paNone;
  Dcb_.Binary = true;
  Dcb_.CheckParity = withParity;
  Dcb_.CtsOutputFlow = rtsFlow;
  Dcb_.DsrOutputFlow = false;
  Dcb_.DtrControl = DtrEnable_ ? TLineControl::lcEnable : TLineControl::lcDisable;
  Dcb_.DsrSensitivity = false;
  Dcb_.XonXoffOutput = xonXoff;
  Dcb_.XonXoffInput = xonXoff;
  Dcb_.ReplaceErrors = withParity && ParityReplace_ != 0;
  Dcb_.ErrorChar = withParity ? ParityReplace_ : 0;
  Dcb_.DiscardNull = DiscardNull_;
  if (rtsFlow)
    Dcb_.RtsControl = TLineControl::lcHandshake;
  else if (Dcb_.RtsControl == TLineControl::lcHandshake)
    Dcb_.RtsControl = TLineControl::lcDisable;

  Dcb_.XonChar = 11;
  Dcb_.XoffChar = 13;
  const auto limit = std::min<std::uint32_t>(CommProp_.InputQueueSize / 4, 0xFFFF);
  Dcb_.XonLimit = static_cast<std::uint16_t>(limit);
  Dcb_.XoffLimit = static_cast<std::uint16_t>(limit);
  Dcb_.EofChar = EofChar_;
  Dcb_.EventChar = EvtChar_;
  if (const TOsError e = Handle_->WriteLineSettings(Dcb_)) RaiseIOError(e, "");
}

void TSerialPort::Close() {
  if (!IsOpen()) {
    ReleaseLostHandle();
    return;
  }
  std::exception_ptr failure;
  try {
    if (EventThread_) {
      EventThread_->Terminate();
      Handle_->SetEventMask({});
      EventThread_->WaitFor();
    }
    // A device without modem lines or one that is already gone must still close.
    Handle_->SetModemLine(platform::TModemLine::mlDtr, false);
    DiscardInBuffer();
    DiscardOutBuffer();
  } catch (...) {
    failure = std::current_exception();
  }
  EventThread_.reset();
  EventQueue_.reset();
  Handle_->Close();
  Handle_.reset();
  if (failure) std::rethrow_exception(failure);
}

void TSerialPort::HandleLost() {
  if (EventThread_) EventThread_->Terminate();
  Handle_.reset();
}

void TSerialPort::ReleaseLostHandle() {
  // The threads hold the last references to the lost device; freeing them closes it.
  EventThread_.reset();
  EventQueue_.reset();
}

void TSerialPort::DiscardInBuffer() {
  if (IsOpen()) Handle_->Purge({platform::TPurge::puAbortInput, platform::TPurge::puClearInput});
}

void TSerialPort::DiscardOutBuffer() {
  if (IsOpen()) Handle_->Purge({platform::TPurge::puAbortOutput, platform::TPurge::puClearOutput});
}

std::int32_t TSerialPort::Read(std::uint8_t* Buffer, std::int32_t Count, bool Whole) {
  std::optional<ETimeoutException> timedOut;
  const std::int32_t done = ReadOrTimeOut(Buffer, Count, Whole, timedOut);
  if (timedOut) throw *timedOut;
  return done;
}

std::int32_t TSerialPort::ReadOrTimeOut(std::uint8_t* Buffer, std::int32_t Count, bool Whole,
                                        std::optional<ETimeoutException>& TimedOut) {
  if (Count <= 0) return 0;
  if (!IsOpen()) throw EInvalidOperation::CreateFmt(PortClosedOperation, {"Read"});
  std::uint32_t done = 0;
  if (const TOsError error = Handle_->Read(Buffer, static_cast<std::uint32_t>(Count), done, Whole))
    RaiseReadError(error);
  // Only a read that was allowed to wait reports its empty end as a timeout.
  if (done == 0 && ReadTimeout_ != 0) {
    TimedOut = ETimeoutException::CreateFmt(
        "Нет прочитанных даных. Чтение данных из порта %s не было выполнено до истечения "
        "таймаута ожидания чтения",
        {PortName_});
  }
  return static_cast<std::int32_t>(done);
}

std::int32_t TSerialPort::ReadAvailable(std::uint8_t* Buffer, std::int32_t Count) {
  if (Count <= 0) return 0;
  if (!IsOpen()) throw EInvalidOperation::CreateFmt(PortClosedOperation, {"Read"});
  std::uint32_t done = 0;
  if (const TOsError error =
          Handle_->ReadAvailable(Buffer, static_cast<std::uint32_t>(Count), done))
    RaiseReadError(error);
  return static_cast<std::int32_t>(done);
}

void TSerialPort::RaiseReadError(const TOsError& Error) {
  if (Error.Kind == TErrorKind::ekCancelled) Abort();
  if (Error.Kind == TErrorKind::ekGone) HandleLost();
  RaiseIOError(Error, FormatExceptionMessage("Ошибка чтения из порта %s.", {PortName_}));
}

void TSerialPort::Write(const std::uint8_t* Data, std::int32_t Count) {
  if (Count <= 0) return;
  if (!IsOpen()) throw EInvalidOperation::CreateFmt(PortClosedOperation, {"Write"});
  if (BreakState_)
    throw EInvalidOperation::CreateFmt(
        "Порт находится в состоянии разрыва. Нельзя выполнить операцию %s.", {"Write"});
  std::uint32_t done = 0;
  const TOsError error = Handle_->Write(Data, static_cast<std::uint32_t>(Count), done);
  if (error.Kind == TErrorKind::ekCancelled) Abort();
  if (error.Kind == TErrorKind::ekTimedOut || (!error && done < static_cast<std::uint32_t>(Count)))
    throw ETimeoutException::CreateFmt(
        "Запись в порт %s не была завершена до истечения таймаута ожидания записи", {PortName_});
  if (error) {
    if (error.Kind == TErrorKind::ekGone) HandleLost();
    RaiseIOError(error, FormatExceptionMessage("Ошибка записи в порт %s.", {PortName_}));
  }
}

void TSerialPort::SetBaudRate(std::uint32_t Value) {
  if (Value == 0) throw EPropertyError::CreateFmt(BadPropertyValue, {"BaudRate"});
  if (!IsOpen()) {
    BaudRate_ = Value;
    return;
  }
  if (CommProp_.MaxBaudRate != 0 && Value > CommProp_.MaxBaudRate)
    throw EPropertyError::CreateFmt(BadPropertyValue, {"BaudRate"});
  if (Value == Dcb_.BaudRate) return;
  Close();
  BaudRate_ = Value;
  Open();
}

void TSerialPort::SetDataBits(std::uint8_t Value) {
  if (Value < 5 || Value > 8) throw EPropertyError::CreateFmt(BadPropertyValue, {"DataBits"});
  DataBits_ = Value;
  if (IsOpen()) UpdateDcb();
}

void TSerialPort::SetParity(platform::TParity Value) {
  if (static_cast<int>(Value) > static_cast<int>(platform::TParity::paSpace))
    throw EPropertyError::CreateFmt(BadPropertyValue, {"Parity"});
  Parity_ = Value;
  if (IsOpen()) UpdateDcb();
}

void TSerialPort::SetStopBits(platform::TStopBits Value) {
  if (static_cast<int>(Value) > static_cast<int>(platform::TStopBits::sbTwo))
    throw EPropertyError::CreateFmt(BadPropertyValue, {"StopBits"});
  StopBits_ = Value;
  if (IsOpen()) UpdateDcb();
}

platform::TSerialLineSettings TSerialPort::ReadLineSettingsInEffect() const {
  if (!IsOpen()) throw EInvalidOperation::CreateFmt(PortClosedProperty, {"LineSettings"});
  platform::TSerialLineSettings settings;
  if (const TOsError e = Handle_->ReadLineSettings(settings)) RaiseIOError(e, "");
  return settings;
}

void TSerialPort::SetPortName(std::string_view Value) {
  if (IsOpen())
    throw EInvalidOperation::CreateFmt("Порт открыт. Нельзя установить значение свойства %s.",
                                       {"PortName"});
  PortName_ = Trim(Value);
}

bool TSerialPort::BreakState() const {
  if (!IsOpen()) throw EInvalidOperation::CreateFmt(PortClosedProperty, {"BreakState"});
  return BreakState_;
}

std::int32_t TSerialPort::BytesToRead() {
  if (!IsOpen()) throw EInvalidOperation::CreateFmt(PortClosedProperty, {"BytesToRead"});
  TLineFaults faults;
  std::uint32_t inQueue = 0;
  if (const TOsError e = Handle_->ReadLineStatus(faults, inQueue))
    RaiseIOErrorFmt(e, "Ошибка при получении значения свойства %s.", "BytesToRead");
  return static_cast<std::int32_t>(
      std::min<std::uint32_t>(inQueue, std::numeric_limits<std::int32_t>::max()));
}

bool TSerialPort::DtrEnable() const {
  if (IsOpen()) DtrEnable_ = Dcb_.DtrControl == TLineControl::lcEnable;
  return DtrEnable_;
}

void TSerialPort::SetLineControl(TLineControl& Control, platform::TModemLine Line, bool Value,
                                 std::string_view Property) {
  const TLineControl old = Control;
  Control = Value ? TLineControl::lcEnable : TLineControl::lcDisable;
  TOsError e = Handle_->WriteLineSettings(Dcb_);
  if (!e) e = Handle_->SetModemLine(Line, Value);
  if (e) {
    Control = old;
    RaiseIOErrorFmt(e, SetPropertyFailed, Property);
  }
}

void TSerialPort::SetDtrEnable(bool Value) {
  if (IsOpen()) SetLineControl(Dcb_.DtrControl, platform::TModemLine::mlDtr, Value, "DtrEnable");
  DtrEnable_ = Value;
}

void TSerialPort::SetRtsEnable(bool Value) {
  if (IsOpen()) {
    if (IsRtsHandshake(Handshake_))
      throw EInvalidOperation::Create(
          "Параметр RtsEnable недоступен, если Handshake установлен на hsRequestToSend или "
          "hsRequestToSendXOnXOff.");
    if (Value == RtsEnable_) return;
    SetLineControl(Dcb_.RtsControl, platform::TModemLine::mlRts, Value, "RtsEnable");
  }
  RtsEnable_ = Value;
}

void TSerialPort::SetReadTimeout(std::int32_t Value) {
  if (Value < 0 && Value != InfiniteTimeout)
    throw ERangeError::CreateFmt(
        "Ошибка при установке значения свойства %s. Время ожидания должно быть больше или "
        "равно -1.",
        {"ReadTimeout"});
  if (IsOpen()) {
    const std::int32_t old = CommTimeouts_.ReadMs;
    CommTimeouts_.ReadMs = WaitLimit(Value);
    if (const TOsError e = Handle_->SetTimeouts(CommTimeouts_)) {
      CommTimeouts_.ReadMs = old;
      RaiseIOErrorFmt(e, SetPropertyFailed, "ReadTimeout");
    }
  }
  ReadTimeout_ = Value;
}

void TSerialPort::SetWriteTimeout(std::int32_t Value) {
  if (Value < 1 && Value != InfiniteTimeout)
    throw ERangeError::CreateFmt(
        "Ошибка при установке значения свойства %s. Время ожидания должно быть положительным "
        "числом или -1.",
        {"WriteTimeout"});
  if (IsOpen()) {
    const std::int32_t old = CommTimeouts_.WriteMs;
    CommTimeouts_.WriteMs = WaitLimit(Value);
    if (const TOsError e = Handle_->SetTimeouts(CommTimeouts_)) {
      CommTimeouts_.WriteMs = old;
      RaiseIOErrorFmt(e, SetPropertyFailed, "WriteTimeout");
    }
  }
  WriteTimeout_ = Value;
}

void TSerialPort::DoDataReceived(TLineEvents Events) {
  if (!OnDataReceived) return;
  if (Events.Has(TLineEvent::leReceived)) OnDataReceived(*this, TSerialData::sdChars);
  if (Events.Has(TLineEvent::leEventChar)) OnDataReceived(*this, TSerialData::sdEof);
}

void TSerialPort::DoPinChanged(TLineEvents Events) {
  if (!OnPinChanged) return;
  if (Events.Has(TLineEvent::leCts)) OnPinChanged(*this, TSerialPinChange::pcCts);
  if (Events.Has(TLineEvent::leDsr)) OnPinChanged(*this, TSerialPinChange::pcDsr);
  if (Events.Has(TLineEvent::leCarrierDetect))
    OnPinChanged(*this, TSerialPinChange::pcCarrierDetect);
  if (Events.Has(TLineEvent::leRing)) OnPinChanged(*this, TSerialPinChange::pcRing);
  if (Events.Has(TLineEvent::leBreak)) OnPinChanged(*this, TSerialPinChange::pcBreak);
}

void TSerialPort::DoErrorReceived(TLineFaults Faults) {
  if (!OnErrorReceived) return;
  if (Faults.Has(TLineFault::lfTransmitFull)) OnErrorReceived(*this, TSerialError::seTxFull);
  if (Faults.Has(TLineFault::lfInputOverflow)) OnErrorReceived(*this, TSerialError::seRxOver);
  if (Faults.Has(TLineFault::lfOverrun)) OnErrorReceived(*this, TSerialError::seOverrun);
  if (Faults.Has(TLineFault::lfParity)) OnErrorReceived(*this, TSerialError::seRxParity);
  if (Faults.Has(TLineFault::lfFraming)) OnErrorReceived(*this, TSerialError::seFrame);
}

// --- Port list --------------------------------------------------------------------------

int ComparePortNames(std::string_view X, std::string_view Y) {
  if (X.starts_with("COM") && Y.starts_with("COM")) {
    const int a = StrToIntDef(X.substr(3), 0);
    const int b = StrToIntDef(Y.substr(3), 0);
    return a < b ? -1 : (a > b ? 1 : 0);
  }
  return NaturalCompare(X, Y);
}

void TSerialPort::GetPortNames(std::vector<std::string>& List) {
  static std::mutex PortListLock;
  std::lock_guard guard(PortListLock);
  List.clear();
  std::vector<std::string> names = platform::SystemSerialPortNames();
  SortPortNames(names);
  List = std::move(names);
}

void SortPortNames(std::vector<std::string>& Names) {
  const auto client = std::stable_partition(Names.begin(), Names.end(), [](const std::string& N) {
    return !N.starts_with("\\\\tsclient\\");
  });
  // A stable merge sort stays within the list even where the order of mixed COM and other
  // names is not transitive.
  const auto byName = [](const std::string& A, const std::string& B) {
    return ComparePortNames(A, B) < 0;
  };
  std::stable_sort(Names.begin(), client, byName);
  std::stable_sort(client, Names.end(), byName);
}

TSerialPortDescription TSerialPort::DescribePort(std::string_view Name) {
  return platform::DescribeSystemSerialPort(Name);
}

std::string PortByIdPath(const TSerialPortDescription& Description) {
  return platform::SerialPortByIdPath(Description);
}

std::string PortDescriptionText(const TSerialPortDescription& D) {
  std::string text = D.Product;
  // Many adapters repeat their maker at the start of the product name.
  if (!D.Manufacturer.empty() && !D.Product.starts_with(D.Manufacturer))
    text = D.Product.empty() ? D.Manufacturer : D.Manufacturer + " " + D.Product;
  auto append = [&text](const std::string& Part) {
    if (!text.empty()) text += ", ";
    text += Part;
  };
  if (!D.SerialNumber.empty()) append("серийный номер " + D.SerialNumber);
  if (!D.ById.empty()) append(PortByIdPath(D));
  return text;
}

}  // namespace probrix
