#include "search/uFinderEngineSearchers.h"

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
    std::lock_guard Guard(SourceLock());
    if (InjectedSource().GetConnection) return InjectedSource();
  }
  return FactorySource();
}

}  // namespace

TSearcherConnectionSource SetSearcherConnectionSource(TSearcherConnectionSource Source) {
  std::lock_guard Guard(SourceLock());
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

TDeviceSearcher::~TDeviceSearcher() {
  Transceiver_.reset();
  if (!Closed_ && Connection_) Connection_->CloseQuietly();
}

TMessageTransceiver& TDeviceSearcher::Transceiver() {
  if (!Transceiver_) Transceiver_ = CreateTransceiver(Connection_);
  return *Transceiver_;
}

void TDeviceSearcher::Search(std::uint8_t Address, TDeviceInfo& Info) {
  TMessageTransceiver& transceiver = Transceiver();
  transceiver.SetLog(Log_);
  transceiver.SetStartOfPacketReadTimeout(StartOfPacketReadTimeout_);
  transceiver.SetReadTimeout(ReadTimeout_);
  transceiver.SetWriteTimeout(ReadTimeout_);
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
  std::int32_t tries = 0;
  std::int32_t crcErrors = 0;
  std::int32_t timeouts = 0;
  const std::int32_t timeoutLimit = RequestRetryCount_ < 1 ? 1 : RequestRetryCount_;
  for (;;) {
    try {
      Attempt(++tries);
      return;
    } catch (const Exception& E) {
      LogFailure(DescribeException(&E));
      if (E.Is<EInvalidCRC>()) {
        if (++crcErrors >= 3) throw;
      } else if (E.Is<ETimeoutError>()) {
        if (++timeouts >= timeoutLimit) throw;
      } else {
        throw;
      }
    }
  }
}

void TDeviceSearcher::LogLine(std::string_view Text) {
  if (Log_) Log_->Add(Text, SystemTime().Now());
}

void TDeviceSearcher::LogFmt(std::string_view Fmt, TFormatArgs Args) {
  if (Log_) Log_->AddFmt(Fmt, Args, SystemTime().Now());
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

void TModbusDeviceSearcher::SearchAt(std::uint8_t Address, TDeviceInfo& Info) {
  RunAttempts(
      [&](std::int32_t Try) {
        LogFmt("Попытка %d поиска прибора MODBUS с адресом %d...", {Try, Address});
        const TBytes body = BuildRequestBody(Address);
        LogFmt("--q> (size=%d) %s (modbus request body)", {body.size(), HexDumpText(body)});
        const TBytes reply = Transceiver().Exchange(PackRequest(body));
        Info = ParseResponse(reply, Address);
        LogFmt("Найден прибор MODBUS с адресом %d", {Info.Address});
      },
      [&](const std::string& Description) {
        LogFmt("Ошибка поиска прибора MODBUS с адресом %d: %s", {Address, Description});
      });
}

TDeviceInfo TModbusDeviceSearcher::ParseResponse(const TBytes& Reply, std::uint8_t Address) {
  const TBytes body = UnpackResponse(Reply);
  LogFmt("<a-- (size=%d) %s (modbus response body)", {body.size(), HexDumpText(body)});

  TBytesStream stream(body);
  TBigEndianBinaryReader reader(&stream, stream.Size());
  TDeviceInfo info{};
  try {
    const std::uint8_t replyAddress = reader.ReadByte();
    if (replyAddress != Address) {
      throw ESlaveAddressMismatch::CreateFmt(
          "Адрес получателя запроса не соответствует адресу отправителя в ответе. Адрес "
          "slave-устройства в ответе: %d, ожидаемый адрес: %d.",
          {replyAddress, Address});
    }
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
  } catch (const EEndOfStreamError& E) {
    throw ECorruptMessageFrame::Create("Фрейм ответа не содержит достаточного количества байт.",
                                       &E);
  } catch (const EBadStreamFormatError& E) {
    throw ECorruptMessageFrame::Create("Неверный формат фрейма ответа.", &E);
  }
  return info;
}

// --- RTU and TCP framing ---------------------------------------------------------------

TBytes TModbusRtuDeviceSearcher::PackRequest(const TBytes& Body) {
  return ModbusUtils::BuildRtuFrame(Body);
}

TBytes TModbusRtuDeviceSearcher::UnpackResponse(const TBytes& Frame) {
  return ModbusUtils::ParseRtuFrame(Frame);
}

std::unique_ptr<TMessageTransceiver> TModbusTcpDeviceSearcher::CreateTransceiver(
    std::shared_ptr<IDeviceConnection> Connection) {
  return std::make_unique<TModbusTcpTransceiver>(std::move(Connection));
}

TBytes TModbusTcpDeviceSearcher::PackRequest(const TBytes& Body) {
  ++TransactionId;  // wraps from 65535 to 0
  return ModbusUtils::BuildTcpFrame(Body, TransactionId);
}

TBytes TModbusTcpDeviceSearcher::UnpackResponse(const TBytes& Frame) {
  return ModbusUtils::ParseTcpFrame(Frame, TransactionId);
}

}  // namespace probrix
