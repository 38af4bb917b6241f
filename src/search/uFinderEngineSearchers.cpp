#include "search/uFinderEngineSearchers.h"

#include <exception>
#include <mutex>
#include <utility>

#include "connections/ioConnectionFactory.h"
#include "connections/ioDeviceConnection.h"
#include "connections/ioTcpConnection.h"
#include "foundation/ioExceptions.h"
#include "foundation/utilitySystemTime.h"
#include "messaging/ioBinaryReader.h"
#include "messaging/ioBinaryWriter.h"
#include "messaging/ioMessageTransceiver.h"
#include "messaging/ioModbusCoreTypes.h"
#include "messaging/ioModbusTransceiver.h"
#include "messaging/updStrUtils.h"
#include "search/ioOrvatDevicesDefs.h"

namespace probrix {

// --- Connection source -------------------------------------------------------------------

namespace {

std::mutex& SourceLock() {
  static std::mutex Lock;
  return Lock;
}

TSearcherConnectionSource& InjectedSource() {
  static TSearcherConnectionSource Source;
  return Source;
}

// The connection factory's pools.
TSearcherConnectionSource FactorySource() {
  return TSearcherConnectionSource{
      [](const std::string& ConnectionName, TConnectionType ConnectionType,
         std::int32_t BaudRateOrPort) -> std::shared_ptr<IDeviceConnection> {
        if (ConnectionType == TConnectionType::ctTcp) {
          return GetTcpConnection(ConnectionName, static_cast<std::uint16_t>(BaudRateOrPort));
        }
        return GetSerialPortConnection(ConnectionName, static_cast<std::uint32_t>(BaudRateOrPort),
                                       true);
      },
      [](const std::string& PortName, std::int32_t BaudRate) {
        ReconfigureSerialPortConnection(PortName, static_cast<std::uint32_t>(BaudRate), true);
      }};
}

TSearcherConnectionSource CurrentSource() {
  {
    std::lock_guard guard(SourceLock());
    if (InjectedSource().GetConnection) return InjectedSource();
  }
  return FactorySource();
}

}  // namespace

TSearcherConnectionSource SetSearcherConnectionSource(TSearcherConnectionSource Source) {
  std::lock_guard guard(SourceLock());
  return std::exchange(InjectedSource(), std::move(Source));
}

// --- TDeviceSearcher ---------------------------------------------------------------------

TDeviceSearcher::TDeviceSearcher(const std::string& ConnectionName, TConnectionType ConnectionType,
                                 std::int32_t BaudRateOrPort) {
  const TSearcherConnectionSource source = CurrentSource();
  Connection_ = source.GetConnection(ConnectionName, ConnectionType, BaudRateOrPort);
  if (Connection_ && Connection_->IsOpen()) Connection_->Close();
  if (ConnectionType == TConnectionType::ctSerialPort && source.ReconfigureSerialPort) {
    source.ReconfigureSerialPort(ConnectionName, BaudRateOrPort);
  }
}

TDeviceSearcher::TDeviceSearcher(std::shared_ptr<IDeviceConnection> Connection)
    : Connection_(std::move(Connection)) {
  if (Connection_ && Connection_->IsOpen()) Connection_->Close();
}

void TDeviceSearcher::SetLineFormat(const TLineFormat& Value) {
  if (!Connection_ || Connection_->ConnectionType() != TConnectionType::ctSerialPort) return;
  const TDeviceConnectionLock guard(*Connection_);
  TSerialPortConnectionStringBuilder builder;
  builder.SetConnectionString(Connection_->ConnectionString());
  if (builder.LineFormat == Value) return;
  builder.LineFormat = Value;
  Connection_->ApplyConnectionString(builder.GetConnectionString());
}

TDeviceSearcher::~TDeviceSearcher() {
  Transceiver_.reset();
  if (!Closed_ && Connection_) Connection_->CloseQuietly();
}

TMessageTransceiver& TDeviceSearcher::Transceiver() {
  if (!Transceiver_) Transceiver_ = CreateTransceiver(Connection_);
  return *Transceiver_;
}

void TDeviceSearcher::PrepareTransceiver() {
  TMessageTransceiver& transceiver = Transceiver();
  transceiver.SetLog(LogTraffic_ && KeepLog_ ? Log_ : nullptr);
  transceiver.SetStartOfPacketReadTimeout(StartOfPacketReadTimeout_);
  transceiver.SetReadTimeout(ReadTimeout_);
  transceiver.SetWriteTimeout(ReadTimeout_);
}

void TDeviceSearcher::Search(std::uint8_t Address, TDeviceInfo& Info) {
  PrepareTransceiver();
  SearchAt(Address, Info);
}

void TDeviceSearcher::CloseConnection() {
  if (Closed_) return;
  Closed_ = true;
  Transceiver_.reset();
  if (Connection_) Connection_->Close();
}

void TDeviceSearcher::RunAttempts(
    const std::function<void(std::int32_t Try)>& Attempt,
    const std::function<void(const std::string& Description)>& LogFailure) {
  const std::unique_ptr<Exception> failure = RunAttemptsOrFailure(
      [&](std::int32_t Try) {
        Attempt(Try);
        return std::unique_ptr<Exception>();
      },
      LogFailure);
  if (failure) failure->Raise();
}

std::unique_ptr<Exception> TDeviceSearcher::RunAttemptsOrFailure(
    const std::function<std::unique_ptr<Exception>(std::int32_t Try)>& Attempt,
    const std::function<void(const std::string& Description)>& LogFailure) {
  std::int32_t tries = 0;
  std::int32_t crcErrors = 0;
  std::int32_t timeouts = 0;
  const std::int32_t timeoutLimit = RequestRetryCount_ < 1 ? 1 : RequestRetryCount_;
  for (;;) {
    std::unique_ptr<Exception> failure;
    try {
      failure = Attempt(++tries);
    } catch (const Exception& e) {
      if (dynamic_cast<const EAbort*>(&e) != nullptr) {
        if (KeepsLog()) LogFailure(DescribeException(&e));
        throw;  // a stop passes as it came
      }
      failure = e.Clone();
    }
    if (!failure) return nullptr;
    if (KeepsLog()) LogFailure(DescribeException(failure.get()));
    if (failure->Is<EInvalidCRC>()) {
      if (++crcErrors < 3) continue;
    } else if (failure->Is<ETimeoutError>()) {
      if (++timeouts < timeoutLimit) continue;
    }
    return failure;
  }
}

void TDeviceSearcher::LogLine(std::string_view Text) {
  if (KeepsLog()) Log_->Add(Text, SystemTime().Now());
}

void TDeviceSearcher::LogFmt(std::string_view Fmt, TFormatArgs Args) {
  if (KeepsLog()) Log_->AddFmt(Fmt, Args, SystemTime().Now());
}

// --- TModbusDeviceSearcher ---------------------------------------------------------------

std::unique_ptr<TMessageTransceiver> TModbusDeviceSearcher::CreateTransceiver(
    std::shared_ptr<IDeviceConnection> Connection) {
  return std::make_unique<TModbusRtuTransceiver>(std::move(Connection));
}

TBytes TModbusDeviceSearcher::BuildRequestBody(std::uint8_t Address) {
  TBytesStream stream;
  TBigEndianBinaryWriter writer(&stream);
  writer.WriteByte(Address);
  writer.WriteByte(ReadHoldingRegisters);
  writer.WriteWord(FirstRegister);
  writer.WriteWord(RegisterCount);
  return stream.Bytes();
}

namespace {

// A device's identification object as text: blanks and NULs around it dropped, every byte
// outside printable ASCII (the objects are ASCII strings) shown as '?', so a device cannot
// put control characters or broken UTF-8 into a log, a grid or a JSON line.
std::string DeviceIdText(const TBytes& Value) {
  std::size_t begin = 0;
  std::size_t end = Value.size();
  const auto blank = [](std::uint8_t c) { return c == ' ' || c == 0; };
  while (begin < end && blank(Value[begin])) ++begin;
  while (end > begin && blank(Value[end - 1])) --end;
  std::string text;
  text.reserve(end - begin);
  for (std::size_t i = begin; i < end; ++i) {
    const std::uint8_t c = Value[i];
    text.push_back(c >= 0x20 && c < 0x7F ? static_cast<char>(c) : '?');
  }
  return text;
}

void CheckReplyAddress(std::uint8_t ReplyAddress, std::uint8_t Address) {
  if (ReplyAddress != Address) {
    throw ESlaveAddressMismatch::CreateFmt(
        "Адрес получателя запроса не соответствует адресу отправителя в ответе. Адрес "
        "slave-устройства в ответе: %d, ожидаемый адрес: %d.",
        {ReplyAddress, Address});
  }
}

}  // namespace

void TModbusDeviceSearcher::SearchAt(std::uint8_t Address, TDeviceInfo& Info) {
  std::optional<TLiveReply> live;
  if (const std::unique_ptr<Exception> failure = Identify(Address, Info, live)) failure->Raise();
}

TAttemptResult TModbusDeviceSearcher::Attempt(std::uint8_t Address) {
  PrepareTransceiver();
  TDeviceInfo info;
  std::optional<TLiveReply> live;
  std::unique_ptr<Exception> failure;
  try {
    failure = Identify(Address, info, live);
  } catch (const EAbort&) {
    throw;  // a stop
  } catch (const Exception& e) {
    failure = e.Clone();
  }
  if (!failure) return TAttemptResult::Found(std::move(info));
  if (!live) return TAttemptResult::Failed(*failure);
  // The attempt fails as it would for the maker's instrument; the device that answered goes
  // with the failure.
  TDeviceInfo other = IdentifyAnsweringDevice(Address, *live);
  MarkRepeat(other);
  return TAttemptResult::OtherMaker(std::move(other), *failure);
}

std::unique_ptr<Exception> TModbusDeviceSearcher::Identify(std::uint8_t Address, TDeviceInfo& Info,
                                                           std::optional<TLiveReply>& Live) {
  std::unique_ptr<Exception> failure = RunAttemptsOrFailure(
      [&](std::int32_t Try) {
        Live.reset();
        LogFmt("Попытка %d поиска прибора MODBUS с адресом %d...", {Try, Address});
        std::unique_ptr<Exception> timedOut;
        const TBytes reply = ExchangeBody(BuildRequestBody(Address), &timedOut);
        if (timedOut) return timedOut;
        Info = ParseResponse(reply, Address, Live);
        LogFmt("Найден прибор MODBUS с адресом %d", {Info.Address});
        return std::unique_ptr<Exception>();
      },
      [&](const std::string& Description) {
        LogFmt("Ошибка поиска прибора MODBUS с адресом %d: %s", {Address, Description});
      });
  if (failure) return failure;
  if (DeviceKind(Info.DeviceType, Info.FirmwareVersion) == 0) {
    // The maker's layout with a type the maker's table does not know: perhaps a device of
    // another maker that happens to answer these registers. What it says of itself is shown
    // where it says something; otherwise it stays the maker's undefined type.
    LogFmt("Тип %d прибора MODBUS с адресом %d не известен: запрос идентификации устройства",
           {Info.DeviceType, Address});
    ReadIdentification(Address, Info);
  }
  MarkRepeat(Info);
  return nullptr;
}

TBytes TModbusDeviceSearcher::ExchangeBody(const TBytes& Body,
                                           std::unique_ptr<Exception>* TimedOut) {
  if (KeepsLog())
    LogFmt("--q> (size=%d) %s (modbus request body)", {Body.size(), HexDumpText(Body)});
  if (TimedOut == nullptr) return Transceiver().Exchange(PackRequest(Body));
  return Transceiver().ExchangeOrTimeOut(PackRequest(Body), *TimedOut);
}

TBytes TModbusDeviceSearcher::UnpackAndLog(const TBytes& Reply, std::uint8_t Address) {
  TBytes body;
  try {
    body = UnpackResponse(Reply);
  } catch (const EModbusSpecificError&) {
    CheckReplyAddress(ReplyAddress(Reply), Address);
    throw;
  }
  if (KeepsLog())
    LogFmt("<a-- (size=%d) %s (modbus response body)", {body.size(), HexDumpText(body)});
  return body;
}

TDeviceInfo TModbusDeviceSearcher::ParseResponse(const TBytes& Reply, std::uint8_t Address,
                                                 std::optional<TLiveReply>& Live) {
  TBytes body;
  try {
    body = UnpackAndLog(Reply, Address);
  } catch (const EModbusSpecificError& e) {
    // A checked exception reply: whatever its code says, something answered at its address.
    if (ReplyAddress(Reply) == Address && ExceptionRevealsDevice(e.ErrorCode))
      Live = TLiveReply{e.ErrorCode};
    throw;
  }

  TBytesStream stream(body);
  TBigEndianBinaryReader reader(&stream, stream.Size());
  TDeviceInfo info{};
  try {
    const std::uint8_t replyAddress = reader.ReadByte();
    CheckReplyAddress(replyAddress, Address);
    // A well-formed reply of the probed device: should the maker's layout refuse it, it still
    // proves a device there.
    Live = TLiveReply{};
    const std::uint8_t code = ModbusUtils::DecodeFunctionCode(reader.ReadByte()).Code;
    if (code != ReadHoldingRegisters) {
      throw EUnexpectedCommandCode::CreateFmt(
          "В сообщении обнаружен неожиданный код команды. Ожидаемый код команды: 0x%.2x, код в "
          "сообщении: 0x%.2x",
          {ReadHoldingRegisters, code});
    }
    reader.ReadByte();  // byte count: the registers are read by position
    info.DeviceType = static_cast<std::uint8_t>(reader.ReadWord() & 0xFF);          // 1000
    info.FirmwareVersion = reader.ReadWord();                                       // 1001
    reader.ReadWord();                                                              // 1002
    reader.ReadWord();                                                              // 1003
    info.ExtraWord2 = reader.ReadWord();                                            // 1004
    reader.ReadWord();                                                              // 1005
    reader.ReadWord();                                                              // 1006
    info.SerialNumber = static_cast<std::uint16_t>(reader.ReadInteger() & 0xFFFF);  // 1007-1008
    info.Address = replyAddress;
  } catch (const EEndOfStreamError& e) {
    throw ECorruptMessageFrame::Create("Фрейм ответа не содержит достаточного количества байт.",
                                       &e);
  } catch (const EBadStreamFormatError& e) {
    throw ECorruptMessageFrame::Create("Неверный формат фрейма ответа.", &e);
  }
  Live.reset();
  return info;
}

TDeviceInfo TModbusDeviceSearcher::IdentifyAnsweringDevice(std::uint8_t Address,
                                                           const TLiveReply& Reply) {
  TDeviceInfo info;
  info.Address = Address;
  info.OtherMaker = true;
  info.ModbusException = Reply.ExceptionCode;
  LogFmt("По адресу %d отвечает устройство MODBUS, не опознанное как прибор", {Address});
  ReadIdentification(Address, info);
  return info;
}

void TModbusDeviceSearcher::ReadIdentification(std::uint8_t Address, TDeviceInfo& Info) {
  try {
    std::uint8_t objectId = 0;
    for (int request = 0; request < MaxDeviceIdRequests; ++request) {
      const TModbusDeviceIdReply reply = ReadDeviceId(Address, objectId);
      for (const TModbusDeviceIdObject& object : reply.Objects) {
        std::string* field = object.Id == 0   ? &Info.VendorName
                             : object.Id == 1 ? &Info.ProductCode
                             : object.Id == 2 ? &Info.MajorMinorRevision
                                              : nullptr;
        if (field != nullptr && field->empty()) *field = DeviceIdText(object.Value);
      }
      // A next object that does not move on would ask for the same objects again.
      if (!reply.MoreFollows || reply.NextObjectId <= objectId) break;
      objectId = reply.NextObjectId;
    }
  } catch (const EAbort&) {
    throw;  // a stop
  } catch (const Exception&) {
    // Refused (exception 1: no such function), silent or malformed: the device stays of
    // unknown type, with what earlier replies gave; the failure is in the log.
  }
  LogFmt(
      "Идентификация устройства MODBUS с адресом %d: VendorName \"%s\", ProductCode \"%s\", "
      "MajorMinorRevision \"%s\"",
      {Address, Info.VendorName, Info.ProductCode, Info.MajorMinorRevision});
}

TModbusDeviceIdReply TModbusDeviceSearcher::ReadDeviceId(std::uint8_t Address,
                                                         std::uint8_t ObjectId) {
  TModbusDeviceIdReply result;
  RunAttempts(
      [&](std::int32_t Try) {
        LogFmt("Попытка %d чтения идентификации устройства MODBUS с адресом %d (объект %d)...",
               {Try, Address, ObjectId});
        const TBytes body = UnpackAndLog(ExchangeBody(ModbusUtils::BuildReadDeviceIdRequest(
                                             Address, ModbusUtils::ReadDeviceIdBasic, ObjectId)),
                                         Address);
        CheckReplyAddress(body[0], Address);
        result = ModbusUtils::ParseReadDeviceIdReply(body);
      },
      [&](const std::string& Description) {
        LogFmt("Ошибка чтения идентификации устройства MODBUS с адресом %d: %s",
               {Address, Description});
      });
  return result;
}

void TModbusDeviceSearcher::MarkRepeat(TDeviceInfo& Info) {
  if (!MarksRepeats()) return;
  const bool named =
      !Info.VendorName.empty() || !Info.ProductCode.empty() || !Info.MajorMinorRevision.empty();
  // A device that tells nothing about itself has no identity to compare.
  if (Info.OtherMaker && !named) return;
  const TIdentity identity =
      Info.OtherMaker
          ? TIdentity{true, 0, 0, Info.VendorName, Info.ProductCode, Info.MajorMinorRevision}
          : TIdentity{false, Info.DeviceType, Info.SerialNumber, {}, {}, {}};
  const auto [first, added] = FirstAddresses_.try_emplace(identity, Info.Address);
  if (!added) Info.SameAsUnit = first->second;
}

// --- RTU and TCP framing ---------------------------------------------------------------

TBytes TModbusRtuDeviceSearcher::PackRequest(const TBytes& Body) {
  return ModbusUtils::BuildRtuFrame(Body);
}

TBytes TModbusRtuDeviceSearcher::UnpackResponse(const TBytes& Frame) {
  return ModbusUtils::ParseRtuFrame(Frame);
}

std::uint8_t TModbusRtuDeviceSearcher::ReplyAddress(const TBytes& Frame) const { return Frame[0]; }

std::unique_ptr<TMessageTransceiver> TModbusTcpDeviceSearcher::CreateTransceiver(
    std::shared_ptr<IDeviceConnection> Connection) {
  return std::make_unique<TModbusTcpTransceiver>(std::move(Connection));
}

TBytes TModbusTcpDeviceSearcher::PackRequest(const TBytes& Body) {
  ++TransactionId_;  // wraps from 65535 to 0
  return ModbusUtils::BuildTcpFrame(Body, TransactionId_);
}

TBytes TModbusTcpDeviceSearcher::UnpackResponse(const TBytes& Frame) {
  return ModbusUtils::ParseTcpFrame(Frame, TransactionId_);
}

std::uint8_t TModbusTcpDeviceSearcher::ReplyAddress(const TBytes& Frame) const {
  return Frame[ModbusUtils::TcpHeaderLength];
}

bool TModbusTcpDeviceSearcher::ExceptionRevealsDevice(std::uint8_t Code) const {
  return Code != 0x0A && Code != 0x0B;
}

}  // namespace probrix
