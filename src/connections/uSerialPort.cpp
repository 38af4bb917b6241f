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
  std::size_t I = 0, J = 0;
  while (I < X.size() && J < Y.size()) {
    if (IsDigit(X[I]) && IsDigit(Y[J])) {
      std::size_t EndI = I, EndJ = J;
      while (EndI < X.size() && IsDigit(X[EndI])) ++EndI;
      while (EndJ < Y.size() && IsDigit(Y[EndJ])) ++EndJ;
      std::string_view A = X.substr(I, EndI - I), B = Y.substr(J, EndJ - J);
      while (A.size() > 1 && A.front() == '0') A.remove_prefix(1);
      while (B.size() > 1 && B.front() == '0') B.remove_prefix(1);
      if (A.size() != B.size()) return A.size() < B.size() ? -1 : 1;
      if (const int C = A.compare(B); C != 0) return C < 0 ? -1 : 1;
      I = EndI;
      J = EndJ;
      continue;
    }
    const auto A = static_cast<unsigned char>(LowerAscii(X[I]));
    const auto B = static_cast<unsigned char>(LowerAscii(Y[J]));
    if (A != B) return A < B ? -1 : 1;
    ++I;
    ++J;
  }
  if (I < X.size()) return 1;
  if (J < Y.size()) return -1;
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
  platform::TSerialLineEventState State;
  while (!Stop.stop_requested()) {
    try {
      Event_.Reset();
      if (Stop.stop_requested()) break;
      TLineEvents Events;
      // Bytes that nobody takes cost no wake-up, no queued mask and no status query.
      State.IgnoreInput = !Queue_.ReceiveWanted();
      if (const TOsError Error = Handle_->WaitLineEvents(State, Event_, StopCheckMs, Events)) {
        // A device that went away is not watched any longer.
        if (Error.Kind == TErrorKind::ekGone) break;
        Event_.WaitFor(StopCheckMs);
        continue;
      }
      if (!Stop.stop_requested() && !Events.Empty()) Queue_.Add(Events);
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
    std::lock_guard Guard(Lock_);
    List_.push_back(Events);
  }
  Ready_.notify_one();
}

bool TEventQueue::ReceiveWanted() const { return Port_.ReceiveEventsWanted(); }

void TEventQueue::Execute(std::stop_token Stop) {
  while (!Stop.stop_requested()) {
    TLineEvents Events;
    {
      // Sleeps until a mask comes (a semaphore's timed wait spins first), looking at the stop
      // request at least every StopCheckMs.
      std::unique_lock Guard(Lock_);
      Ready_.wait_for(Guard, std::chrono::milliseconds(StopCheckMs),
                      [&] { return !List_.empty() || Stop.stop_requested(); });
      if (Stop.stop_requested()) break;
      if (List_.empty()) continue;
      Events = List_.front();
      List_.pop_front();
    }
    try {
      Dispatch(Events);
    } catch (...) {
    }
  }
}

void TEventQueue::Dispatch(TLineEvents Events) {
  if (Events.HasAny({TLineEvent::leReceived, TLineEvent::leLineFault})) {
    TLineFaults Faults;
    std::uint32_t InQueue = 0;
    if (Handle_->ReadLineStatus(Faults, InQueue)) return;
    Faults = Faults & ReportedFaults;
    if (!Faults.Empty()) Port_.DoErrorReceived(Faults);
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
  std::string Msg;
  if (Error.Kind == TErrorKind::ekNotFound) {
    Msg = FormatExceptionMessage("%s Порт %s не существует", {UpperCaseAscii(Context), PortName_});
  } else if (Error.Kind == TErrorKind::ekAccessDenied) {
    // Missing rights, not a competitor: say what the user lacks.
    Msg = FormatExceptionMessage("%s ", {UpperCaseAscii(Context)}) +
          FormatExceptionMessage(NoRightsText, {PortName_});
  } else if (Error.Kind == TErrorKind::ekBusy) {
    Msg = FormatExceptionMessage("%s ", {UpperCaseAscii(Context)}) +
          FormatExceptionMessage(BusyText, {PortName_});
  } else {
    Msg = FormatExceptionMessage("Порт %s. ", {PortName_}) + std::string(Context) +
          FormatExceptionMessage(" %s (%d)", {Error.Text, Error.Code});
  }
  EInOutError E(std::move(Msg));
  E.ErrorCode = Error.Code;
  throw E;
}

void TSerialPort::RaiseIOErrorFmt(const TOsError& Error, std::string_view Fmt,
                                  std::string_view Arg) const {
  RaiseIOError(Error, FormatExceptionMessage(Fmt, {Arg}));
}

void TSerialPort::Open() {
  if (IsOpen()) throw EInvalidOperation::Create("Порт уже открыт");
  ReleaseLostHandle();

  TOsError Error;
  OpenRefusal_.clear();
  TSerialHandle Dev = platform::TSerialDevice::Open(DevicePath(), Error, Holder_);
  if (!Dev) {
    if (Error.Kind == TErrorKind::ekBusy && !Holder_.empty())
      OpenRefusal_ = FormatExceptionMessage(HeldText, {PortName_, Holder_});
    else if (Error.Kind == TErrorKind::ekBusy)
      OpenRefusal_ = FormatExceptionMessage(BusyText, {PortName_});
    else if (Error.Kind == TErrorKind::ekAccessDenied)
      OpenRefusal_ = FormatExceptionMessage(NoRightsText, {PortName_});
    RaiseIOError(Error, "");
  }
  Handle_ = std::move(Dev);
  try {
    const platform::TDeviceFileType FileType = Handle_->FileType();
    if (FileType != platform::TDeviceFileType::ftUnknown &&
        FileType != platform::TDeviceFileType::ftCharacter)
      throw EInvalidArgument::CreateFmt("Порт %s не существует", {UpperCaseAscii(PortName_)});

    if (const TOsError E = Handle_->ReadProperties(CommProp_)) RaiseIOError(E, "");
    platform::TModemLines ModemLines;
    if (const TOsError E = Handle_->ReadModemLines(ModemLines)) RaiseIOError(E, "");

    if (CommProp_.MaxBaudRate != 0 && CommProp_.MaxBaudRate < BaudRate_)
      throw EPropertyError::CreateFmt(BadPropertyValue, {"BaudRate"});

    UpdateDcb();
    SetDtrEnable(DtrEnable_);
    if (!IsRtsHandshake(Handshake_)) SetRtsEnable(RtsEnable_);

    CommTimeouts_.ReadMs = WaitLimit(ReadTimeout_);
    CommTimeouts_.WriteMs = WaitLimit(WriteTimeout_);
    if (const TOsError E = Handle_->SetTimeouts(CommTimeouts_)) RaiseIOError(E, "");
    if (const TOsError E = Handle_->SetEventMask(AllLineEvents)) RaiseIOError(E, "");

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
  if (const TOsError E = Handle_->ReadLineSettings(Dcb_)) RaiseIOError(E, "");
  Dcb_.BaudRate = BaudRate_;
  Dcb_.DataBits = DataBits_;
  Dcb_.StopBits = StopBits_;
  Dcb_.Parity = Parity_;

  const bool RtsFlow = IsRtsHandshake(Handshake_);
  const bool XonXoff =
      Handshake_ == THandshake::hsXOnXOff || Handshake_ == THandshake::hsRequestToSendXOnXOff;
  const bool WithParity = Parity_ != platform::TParity::paNone;
  Dcb_.Binary = true;
  Dcb_.CheckParity = WithParity;
  Dcb_.CtsOutputFlow = RtsFlow;
  Dcb_.DsrOutputFlow = false;
  Dcb_.DtrControl = DtrEnable_ ? TLineControl::lcEnable : TLineControl::lcDisable;
  Dcb_.DsrSensitivity = false;
  Dcb_.XonXoffOutput = XonXoff;
  Dcb_.XonXoffInput = XonXoff;
  Dcb_.ReplaceErrors = WithParity && ParityReplace_ != 0;
  Dcb_.ErrorChar = WithParity ? ParityReplace_ : 0;
  Dcb_.DiscardNull = DiscardNull_;
  if (RtsFlow)
    Dcb_.RtsControl = TLineControl::lcHandshake;
  else if (Dcb_.RtsControl == TLineControl::lcHandshake)
    Dcb_.RtsControl = TLineControl::lcDisable;

  Dcb_.XonChar = 11;
  Dcb_.XoffChar = 13;
  const auto Limit = std::min<std::uint32_t>(CommProp_.InputQueueSize / 4, 0xFFFF);
  Dcb_.XonLimit = static_cast<std::uint16_t>(Limit);
  Dcb_.XoffLimit = static_cast<std::uint16_t>(Limit);
  Dcb_.EofChar = EofChar_;
  Dcb_.EventChar = EvtChar_;
  if (const TOsError E = Handle_->WriteLineSettings(Dcb_)) RaiseIOError(E, "");
}

void TSerialPort::Close() {
  if (!IsOpen()) {
    ReleaseLostHandle();
    return;
  }
  std::exception_ptr Failure;
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
    Failure = std::current_exception();
  }
  EventThread_.reset();
  EventQueue_.reset();
  Handle_->Close();
  Handle_.reset();
  if (Failure) std::rethrow_exception(Failure);
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

std::int32_t TSerialPort::Read(std::uint8_t* Buffer, std::int32_t Count) {
  if (Count <= 0) return 0;
  if (!IsOpen()) throw EInvalidOperation::CreateFmt(PortClosedOperation, {"Read"});
  std::uint32_t Done = 0;
  if (const TOsError Error = Handle_->Read(Buffer, static_cast<std::uint32_t>(Count), Done))
    RaiseReadError(Error);
  // Only a read that was allowed to wait reports its empty end as a timeout.
  if (Done == 0 && ReadTimeout_ != 0)
    throw ETimeoutException::CreateFmt(
        "Нет прочитанных даных. Чтение данных из порта %s не было выполнено до истечения "
        "таймаута ожидания чтения",
        {PortName_});
  return static_cast<std::int32_t>(Done);
}

std::int32_t TSerialPort::ReadAvailable(std::uint8_t* Buffer, std::int32_t Count) {
  if (Count <= 0) return 0;
  if (!IsOpen()) throw EInvalidOperation::CreateFmt(PortClosedOperation, {"Read"});
  std::uint32_t Done = 0;
  if (const TOsError Error =
          Handle_->ReadAvailable(Buffer, static_cast<std::uint32_t>(Count), Done))
    RaiseReadError(Error);
  return static_cast<std::int32_t>(Done);
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
  std::uint32_t Done = 0;
  const TOsError Error = Handle_->Write(Data, static_cast<std::uint32_t>(Count), Done);
  if (Error.Kind == TErrorKind::ekCancelled) Abort();
  if (Error.Kind == TErrorKind::ekTimedOut || (!Error && Done < static_cast<std::uint32_t>(Count)))
    throw ETimeoutException::CreateFmt(
        "Запись в порт %s не была завершена до истечения таймаута ожидания записи", {PortName_});
  if (Error) {
    if (Error.Kind == TErrorKind::ekGone) HandleLost();
    RaiseIOError(Error, FormatExceptionMessage("Ошибка записи в порт %s.", {PortName_}));
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
  platform::TSerialLineSettings Settings;
  if (const TOsError E = Handle_->ReadLineSettings(Settings)) RaiseIOError(E, "");
  return Settings;
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
  TLineFaults Faults;
  std::uint32_t InQueue = 0;
  if (const TOsError E = Handle_->ReadLineStatus(Faults, InQueue))
    RaiseIOErrorFmt(E, "Ошибка при получении значения свойства %s.", "BytesToRead");
  return static_cast<std::int32_t>(
      std::min<std::uint32_t>(InQueue, std::numeric_limits<std::int32_t>::max()));
}

bool TSerialPort::DtrEnable() const {
  if (IsOpen()) DtrEnable_ = Dcb_.DtrControl == TLineControl::lcEnable;
  return DtrEnable_;
}

void TSerialPort::SetDtrEnable(bool Value) {
  if (IsOpen()) {
    const TLineControl Old = Dcb_.DtrControl;
    Dcb_.DtrControl = Value ? TLineControl::lcEnable : TLineControl::lcDisable;
    if (const TOsError E = Handle_->WriteLineSettings(Dcb_)) {
      Dcb_.DtrControl = Old;
      RaiseIOErrorFmt(E, SetPropertyFailed, "DtrEnable");
    }
    if (const TOsError E = Handle_->SetModemLine(platform::TModemLine::mlDtr, Value)) {
      Dcb_.DtrControl = Old;
      RaiseIOErrorFmt(E, SetPropertyFailed, "DtrEnable");
    }
  }
  DtrEnable_ = Value;
}

void TSerialPort::SetRtsEnable(bool Value) {
  if (IsOpen()) {
    if (IsRtsHandshake(Handshake_))
      throw EInvalidOperation::Create(
          "Параметр RtsEnable недоступен, если Handshake установлен на hsRequestToSend или "
          "hsRequestToSendXOnXOff.");
    if (Value == RtsEnable_) return;
    const TLineControl Old = Dcb_.RtsControl;
    Dcb_.RtsControl = Value ? TLineControl::lcEnable : TLineControl::lcDisable;
    if (const TOsError E = Handle_->WriteLineSettings(Dcb_)) {
      Dcb_.RtsControl = Old;
      RaiseIOErrorFmt(E, SetPropertyFailed, "RtsEnable");
    }
    if (const TOsError E = Handle_->SetModemLine(platform::TModemLine::mlRts, Value)) {
      Dcb_.RtsControl = Old;
      RaiseIOErrorFmt(E, SetPropertyFailed, "RtsEnable");
    }
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
    const std::int32_t Old = CommTimeouts_.ReadMs;
    CommTimeouts_.ReadMs = WaitLimit(Value);
    if (const TOsError E = Handle_->SetTimeouts(CommTimeouts_)) {
      CommTimeouts_.ReadMs = Old;
      RaiseIOErrorFmt(E, SetPropertyFailed, "ReadTimeout");
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
    const std::int32_t Old = CommTimeouts_.WriteMs;
    CommTimeouts_.WriteMs = WaitLimit(Value);
    if (const TOsError E = Handle_->SetTimeouts(CommTimeouts_)) {
      CommTimeouts_.WriteMs = Old;
      RaiseIOErrorFmt(E, SetPropertyFailed, "WriteTimeout");
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
    const int A = StrToIntDef(X.substr(3), 0);
    const int B = StrToIntDef(Y.substr(3), 0);
    return A < B ? -1 : (A > B ? 1 : 0);
  }
  return NaturalCompare(X, Y);
}

void TSerialPort::GetPortNames(std::vector<std::string>& List) {
  static std::mutex PortListLock;
  std::lock_guard Guard(PortListLock);
  List.clear();
  std::vector<std::string> Names = platform::SystemSerialPortNames();
  SortPortNames(Names);
  List = std::move(Names);
}

void SortPortNames(std::vector<std::string>& Names) {
  const auto Client = std::stable_partition(Names.begin(), Names.end(), [](const std::string& N) {
    return !N.starts_with("\\\\tsclient\\");
  });
  // A stable merge sort stays within the list even where the order of mixed COM and other
  // names is not transitive.
  const auto ByName = [](const std::string& A, const std::string& B) {
    return ComparePortNames(A, B) < 0;
  };
  std::stable_sort(Names.begin(), Client, ByName);
  std::stable_sort(Client, Names.end(), ByName);
}

TSerialPortDescription TSerialPort::DescribePort(std::string_view Name) {
  return platform::DescribeSystemSerialPort(Name);
}

std::string PortByIdPath(const TSerialPortDescription& Description) {
  return platform::SerialPortByIdPath(Description);
}

std::string PortDescriptionText(const TSerialPortDescription& D) {
  std::string Text = D.Product;
  // Many adapters repeat their maker at the start of the product name.
  if (!D.Manufacturer.empty() && !D.Product.starts_with(D.Manufacturer))
    Text = D.Product.empty() ? D.Manufacturer : D.Manufacturer + " " + D.Product;
  auto Append = [&Text](const std::string& Part) {
    if (!Text.empty()) Text += ", ";
    Text += Part;
  };
  if (!D.SerialNumber.empty()) Append("серийный номер " + D.SerialNumber);
  if (!D.ById.empty()) Append(PortByIdPath(D));
  return Text;
}

}  // namespace probrix
