#include "connections/uSerialPort.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <limits>

#include "foundation/appExceptions.h"
#include "foundation/appSysUtils.h"
#include "platform/platCrashSignals.h"

namespace probrix {

namespace {

constexpr std::uint32_t AllLineEvents =
    EV_RXCHAR | EV_RXFLAG | EV_CTS | EV_DSR | EV_RLSD | EV_BREAK | EV_ERR | EV_RING;  // 0x1FB
constexpr std::uint32_t PinEvents = EV_CTS | EV_DSR | EV_RLSD | EV_BREAK | EV_RING;   // 0x178
constexpr std::uint32_t ReportedErrors =
    CE_RXOVER | CE_OVERRUN | CE_RXPARITY | CE_FRAME | CE_TXFULL;  // 0x10F

constexpr int StopCheckMs = 100;

constexpr const char* SetPropertyFailed = "Ошибка при установке значения свойства %s.";
constexpr const char* PortClosedProperty = "Порт закрыт. Нельзя получить значение свойства %s.";
constexpr const char* PortClosedOperation = "Порт закрыт. Нельзя выполнить операцию %s.";
constexpr const char* BadPropertyValue = "Неверное значение свойства %s.";

bool IsRtsHandshake(THandshake H) {
  return H == THandshake::hsRequestToSend || H == THandshake::hsRequestToSendXOnXOff;
}

void ComputeReadTimeouts(std::int32_t Value, TSerialTimeouts& T) {
  T.ReadIntervalTimeout = 0xFFFFFFFFu;
  if (Value == 0) {
    T.ReadTotalTimeoutMultiplier = 0;
    T.ReadTotalTimeoutConstant = 0;
  } else if (Value == TSerialPort::InfiniteTimeout) {
    T.ReadTotalTimeoutMultiplier = 0xFFFFFFFFu;
    T.ReadTotalTimeoutConstant = 0xFFFFFFFEu;
  } else {
    T.ReadTotalTimeoutMultiplier = 0xFFFFFFFFu;
    T.ReadTotalTimeoutConstant = static_cast<std::uint32_t>(Value);
  }
}

std::uint32_t WriteConstantFor(std::int32_t Value) {
  return Value == TSerialPort::InfiniteTimeout ? 0 : static_cast<std::uint32_t>(Value);
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
  TSerialLineEventState State;
  while (!Stop.stop_requested()) {
    try {
      Event_.Reset();
      if (Stop.stop_requested()) break;
      std::uint32_t Mask = 0;
      const int Error = Handle_->WaitCommEvent(State, Event_, StopCheckMs, Mask);
      if (Error != 0) {
        // A device that went away is not watched any longer.
        if (IsSerialHandleLostError(Error)) break;
        Event_.WaitFor(StopCheckMs);
        continue;
      }
      if (!Stop.stop_requested() && Mask != 0) Queue_.Add(Mask);
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
  Add(0);
  if (Thread_.joinable()) Thread_.join();
}

void TEventQueue::Add(std::uint32_t Mask) {
  {
    std::lock_guard Guard(Lock_);
    List_.push_back(Mask);
  }
  Count_.release();
}

void TEventQueue::Execute(std::stop_token Stop) {
  while (!Stop.stop_requested()) {
    if (!Count_.try_acquire_for(std::chrono::milliseconds(StopCheckMs))) continue;
    if (Stop.stop_requested()) break;
    std::uint32_t Mask = 0;
    {
      std::lock_guard Guard(Lock_);
      if (List_.empty()) continue;
      Mask = List_.front();
      List_.pop_front();
    }
    try {
      Dispatch(Mask);
    } catch (...) {
    }
  }
}

void TEventQueue::Dispatch(std::uint32_t Mask) {
  if (Mask & (EV_RXCHAR | EV_ERR)) {
    std::uint32_t Errors = 0, InQueue = 0;
    if (Handle_->ClearCommError(Errors, InQueue) != 0) return;
    Errors &= ReportedErrors;
    if (Errors != 0) Port_.DoErrorReceived(Errors);
  }
  if (Mask & PinEvents) Port_.DoPinChanged(Mask);
  if (Mask & (EV_RXCHAR | EV_RXFLAG)) Port_.DoDataReceived(Mask);
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

std::string TSerialPort::DevicePathOf(std::string_view Name) { return SerialDevicePathOf(Name); }

void TSerialPort::RaiseIOError(int Code, std::string_view Context, bool AtOpen) const {
  std::string Msg;
  const bool NotFound = AtOpen ? IsSerialNotFoundError(Code) : (Code == ENOENT || Code == ENOTDIR);
  if (NotFound) {
    Msg = FormatExceptionMessage("%s Порт %s не существует", {UpperCaseAscii(Context), PortName_});
  } else if (Code == EACCES || Code == EPERM) {
    // Missing rights, not a competitor: say what the user lacks.
    Msg = FormatExceptionMessage(
        "%s Нет прав доступа к порту %s: у пользователя нет прав на чтение и запись этого "
        "устройства. Обычно достаточно добавить пользователя в группу dialout и войти в "
        "систему заново.",
        {UpperCaseAscii(Context), PortName_});
  } else if (IsSerialAccessDeniedError(Code)) {
    Msg = FormatExceptionMessage(
        "%s Доступ к порту %s закрыт. Возможно он используется другой программой.",
        {UpperCaseAscii(Context), PortName_});
  } else {
    Msg = FormatExceptionMessage("Порт %s. ", {PortName_}) + std::string(Context) +
          FormatExceptionMessage(" %s (%d)", {SerialErrorText(Code), Code});
  }
  EInOutError E(std::move(Msg));
  E.ErrorCode = Code;
  throw E;
}

void TSerialPort::RaiseIOErrorFmt(int Code, std::string_view Fmt, std::string_view Arg) const {
  RaiseIOError(Code, FormatExceptionMessage(Fmt, {Arg}));
}

void TSerialPort::Open() {
  if (IsOpen()) throw EInvalidOperation::Create("Порт уже открыт");
  ReleaseLostHandle();

  int Error = 0;
  TSerialHandle Dev = TSerialDevice::Open(DevicePath(), Error, Holder_);
  if (!Dev) RaiseIOError(Error, "", true);
  Handle = std::move(Dev);
  try {
    const int FileType = Handle->GetFileType();
    if (FileType != SerialFileTypeUnknown && FileType != SerialFileTypeChar)
      throw EInvalidArgument::CreateFmt("Порт %s не существует", {UpperCaseAscii(PortName_)});

    if (int E = Handle->GetCommProperties(CommProp)) RaiseIOError(E, "");
    std::uint32_t ModemStatus = 0;
    if (int E = Handle->GetCommModemStatus(ModemStatus)) RaiseIOError(E, "");

    if (CommProp.dwMaxBaud != 0 && CommProp.dwMaxBaud < BaudRate_)
      throw EPropertyError::CreateFmt(BadPropertyValue, {"BaudRate"});

    UpdateDcb();
    SetDtrEnable(DtrEnable_);
    if (!IsRtsHandshake(Handshake_)) SetRtsEnable(RtsEnable_);

    ComputeReadTimeouts(ReadTimeout_, CommTimeouts);
    CommTimeouts.WriteTotalTimeoutConstant = WriteConstantFor(WriteTimeout_);
    if (int E = Handle->SetCommTimeouts(CommTimeouts)) RaiseIOError(E, "");
    if (int E = Handle->SetCommMask(AllLineEvents)) RaiseIOError(E, "");

    // The queue exists before the thread that feeds it.
    EventQueue = std::make_unique<TEventQueue>(*this, Handle);
    EventThread = std::make_unique<TCommEventThread>(Handle, *EventQueue);
  } catch (...) {
    EventThread.reset();
    EventQueue.reset();
    Handle->CloseHandle();
    Handle.reset();
    throw;
  }
  // The line settles; a stop request cuts the wait short (the next read or write reports it).
  platform::CancellableSleep(100);
}

void TSerialPort::UpdateDcb() {
  Dcb = TSerialLineSettings{};
  if (int E = Handle->GetCommState(Dcb)) RaiseIOError(E, "");
  Dcb.BaudRate = BaudRate_;
  Dcb.ByteSize = DataBits_;
  Dcb.StopBits = StopBits_;
  Dcb.Parity = Parity_;

  const bool RtsFlow = IsRtsHandshake(Handshake_);
  const bool XonXoff =
      Handshake_ == THandshake::hsXOnXOff || Handshake_ == THandshake::hsRequestToSendXOnXOff;
  Dcb.fBinary = true;
  Dcb.fParity = Parity_ != 0;
  Dcb.fOutxCtsFlow = RtsFlow;
  Dcb.fOutxDsrFlow = false;
  Dcb.fDtrControl = DtrEnable_ ? 1 : 0;
  Dcb.fDsrSensitivity = false;
  Dcb.fOutX = XonXoff;
  Dcb.fInX = XonXoff;
  Dcb.fErrorChar = Parity_ != 0 && ParityReplace_ != 0;
  Dcb.ErrorChar = Parity_ != 0 ? ParityReplace_ : 0;
  Dcb.fNull = DiscardNull_;
  if (RtsFlow)
    Dcb.fRtsControl = 2;
  else if (Dcb.fRtsControl == 2)
    Dcb.fRtsControl = 0;

  Dcb.XonChar = 11;
  Dcb.XoffChar = 13;
  const auto Limit = std::min<std::uint32_t>(CommProp.dwCurrentRxQueue / 4, 0xFFFF);
  Dcb.XonLim = static_cast<std::uint16_t>(Limit);
  Dcb.XoffLim = static_cast<std::uint16_t>(Limit);
  Dcb.EofChar = EofChar_;
  Dcb.EvtChar = EvtChar_;
  if (int E = Handle->SetCommState(Dcb)) RaiseIOError(E, "");
}

void TSerialPort::Close() {
  if (!IsOpen()) {
    ReleaseLostHandle();
    return;
  }
  std::exception_ptr Failure;
  try {
    if (EventThread) {
      EventThread->Terminate();
      Handle->SetCommMask(0);
      EventThread->WaitFor();
    }
    // A device without modem lines or one that is already gone must still close.
    Handle->EscapeCommFunction(CLRDTR);
    DiscardInBuffer();
    DiscardOutBuffer();
  } catch (...) {
    Failure = std::current_exception();
  }
  EventThread.reset();
  EventQueue.reset();
  Handle->CloseHandle();
  Handle.reset();
  if (Failure) std::rethrow_exception(Failure);
}

void TSerialPort::HandleLost() {
  if (EventThread) EventThread->Terminate();
  Handle.reset();
}

void TSerialPort::ReleaseLostHandle() {
  // The threads hold the last references to the lost device; freeing them closes it.
  EventThread.reset();
  EventQueue.reset();
}

void TSerialPort::DiscardInBuffer() {
  if (IsOpen()) Handle->PurgeComm(PURGE_RXABORT | PURGE_RXCLEAR);
}

void TSerialPort::DiscardOutBuffer() {
  if (IsOpen()) Handle->PurgeComm(PURGE_TXABORT | PURGE_TXCLEAR);
}

std::int32_t TSerialPort::Read(std::uint8_t* Buffer, std::int32_t Count) {
  if (Count <= 0) return 0;
  if (!IsOpen()) throw EInvalidOperation::CreateFmt(PortClosedOperation, {"Read"});
  std::uint32_t Done = 0;
  const int Error = Handle->ReadFile(Buffer, static_cast<std::uint32_t>(Count), Done);
  if (Error != 0) RaiseReadError(Error);
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
  if (const int Error = Handle->ReadAvailable(Buffer, static_cast<std::uint32_t>(Count), Done))
    RaiseReadError(Error);
  return static_cast<std::int32_t>(Done);
}

void TSerialPort::RaiseReadError(int Error) {
  if (platform::IsCancelledError(Error)) Abort();
  if (IsSerialHandleLostError(Error)) HandleLost();
  RaiseIOError(Error, FormatExceptionMessage("Ошибка чтения из порта %s.", {PortName_}));
}

void TSerialPort::Write(const std::uint8_t* Data, std::int32_t Count) {
  if (Count <= 0) return;
  if (!IsOpen()) throw EInvalidOperation::CreateFmt(PortClosedOperation, {"Write"});
  if (BreakState_)
    throw EInvalidOperation::CreateFmt(
        "Порт находится в состоянии разрыва. Нельзя выполнить операцию %s.", {"Write"});
  std::uint32_t Done = 0;
  const int Error = Handle->WriteFile(Data, static_cast<std::uint32_t>(Count), Done);
  if (platform::IsCancelledError(Error)) Abort();
  if (Error == ETIMEDOUT || (Error == 0 && Done < static_cast<std::uint32_t>(Count)))
    throw ETimeoutException::CreateFmt(
        "Запись в порт %s не была завершена до истечения таймаута ожидания записи", {PortName_});
  if (Error != 0) {
    if (IsSerialHandleLostError(Error)) HandleLost();
    RaiseIOError(Error, FormatExceptionMessage("Ошибка записи в порт %s.", {PortName_}));
  }
}

void TSerialPort::SetBaudRate(std::uint32_t Value) {
  if (Value == 0) throw EPropertyError::CreateFmt(BadPropertyValue, {"BaudRate"});
  if (!IsOpen()) {
    BaudRate_ = Value;
    return;
  }
  if (CommProp.dwMaxBaud != 0 && Value > CommProp.dwMaxBaud)
    throw EPropertyError::CreateFmt(BadPropertyValue, {"BaudRate"});
  if (Value == Dcb.BaudRate) return;
  Close();
  BaudRate_ = Value;
  Open();
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
  std::uint32_t Errors = 0, InQueue = 0;
  if (int E = Handle->ClearCommError(Errors, InQueue))
    RaiseIOErrorFmt(E, "Ошибка при получении значения свойства %s.", "BytesToRead");
  return static_cast<std::int32_t>(
      std::min<std::uint32_t>(InQueue, std::numeric_limits<std::int32_t>::max()));
}

bool TSerialPort::DtrEnable() const {
  if (IsOpen()) DtrEnable_ = Dcb.fDtrControl == 1;
  return DtrEnable_;
}

void TSerialPort::SetDtrEnable(bool Value) {
  if (IsOpen()) {
    const std::uint8_t Old = Dcb.fDtrControl;
    Dcb.fDtrControl = Value ? 1 : 0;
    if (int E = Handle->SetCommState(Dcb)) {
      Dcb.fDtrControl = Old;
      RaiseIOErrorFmt(E, SetPropertyFailed, "DtrEnable");
    }
    if (int E = Handle->EscapeCommFunction(Value ? SETDTR : CLRDTR)) {
      Dcb.fDtrControl = Old;
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
    const std::uint8_t Old = Dcb.fRtsControl;
    Dcb.fRtsControl = Value ? 1 : 0;
    if (int E = Handle->SetCommState(Dcb)) {
      Dcb.fRtsControl = Old;
      RaiseIOErrorFmt(E, SetPropertyFailed, "RtsEnable");
    }
    if (int E = Handle->EscapeCommFunction(Value ? SETRTS : CLRRTS)) {
      Dcb.fRtsControl = Old;
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
    const TSerialTimeouts Old = CommTimeouts;
    ComputeReadTimeouts(Value, CommTimeouts);
    if (int E = Handle->SetCommTimeouts(CommTimeouts)) {
      CommTimeouts.ReadIntervalTimeout = Old.ReadIntervalTimeout;
      CommTimeouts.ReadTotalTimeoutMultiplier = Old.ReadTotalTimeoutMultiplier;
      CommTimeouts.ReadTotalTimeoutConstant = Old.ReadTotalTimeoutConstant;
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
    const std::uint32_t Old = CommTimeouts.WriteTotalTimeoutConstant;
    CommTimeouts.WriteTotalTimeoutConstant = WriteConstantFor(Value);
    if (int E = Handle->SetCommTimeouts(CommTimeouts)) {
      CommTimeouts.WriteTotalTimeoutConstant = Old;
      RaiseIOErrorFmt(E, SetPropertyFailed, "WriteTimeout");
    }
  }
  WriteTimeout_ = Value;
}

void TSerialPort::DoDataReceived(std::uint32_t Mask) {
  if (!OnDataReceived) return;
  if (Mask & EV_RXCHAR) OnDataReceived(*this, 0);
  if (Mask & EV_RXFLAG) OnDataReceived(*this, 1);
}

void TSerialPort::DoPinChanged(std::uint32_t Mask) {
  if (!OnPinChanged) return;
  if (Mask & EV_CTS) OnPinChanged(*this, 2);
  if (Mask & EV_DSR) OnPinChanged(*this, 3);
  if (Mask & EV_RLSD) OnPinChanged(*this, 1);
  if (Mask & EV_RING) OnPinChanged(*this, 4);
  if (Mask & EV_BREAK) OnPinChanged(*this, 0);
}

void TSerialPort::DoErrorReceived(std::uint32_t Errors) {
  if (!OnErrorReceived) return;
  if (Errors & CE_TXFULL) OnErrorReceived(*this, 4);
  if (Errors & CE_RXOVER) OnErrorReceived(*this, 2);
  if (Errors & CE_OVERRUN) OnErrorReceived(*this, 1);
  if (Errors & CE_RXPARITY) OnErrorReceived(*this, 3);
  if (Errors & CE_FRAME) OnErrorReceived(*this, 0);
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
  std::vector<std::string> Names = SystemSerialPortNames();
  // A stable merge sort stays within the list even where the order of mixed COM and other
  // names is not transitive.
  std::stable_sort(Names.begin(), Names.end(), [](const std::string& A, const std::string& B) {
    return ComparePortNames(A, B) < 0;
  });
  List = std::move(Names);
}

TSerialPortDescription TSerialPort::DescribePort(std::string_view Name) {
  return DescribeSystemSerialPort(Name);
}

std::string PortByIdPath(const TSerialPortDescription& Description) {
  return SerialPortByIdPath(Description);
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
