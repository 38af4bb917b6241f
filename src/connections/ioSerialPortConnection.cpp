#include "connections/ioSerialPortConnection.h"

#include <filesystem>
#include <memory>
#include <system_error>

#include "connections/ioConnectionFactory.h"
#include "foundation/appExceptions.h"
#include "foundation/ioExceptions.h"
#include "platform/platSerialPorts.h"

namespace probrix {

namespace {

// Any entry of that name except a folder counts; its content does not matter.
bool NoDtrFileExists() {
  std::error_code ec;
  const auto status = std::filesystem::status(TSerialPortConnection::NoDtrFileName, ec);
  return !ec && std::filesystem::exists(status) && !std::filesystem::is_directory(status);
}

}  // namespace

TSerialPortConnection::TSerialPortConnection(const std::string& PortName, bool DtrEnable,
                                             std::uint32_t BaudRate) {
  Port.SetPortName(PortName);
  Port.SetBaudRate(BaudRate);
  Port.SetDtrEnable(DtrEnable);
}

std::string TSerialPortConnection::ConnectionString() const {
  TSerialPortConnectionStringBuilder builder(Port.PortName(), Port.DtrEnable(), Port.BaudRate());
  builder.LineFormat = LineFormat();
  return builder.GetConnectionString();
}

TLineFormat TSerialPortConnection::LineFormat() const {
  return {Port.DataBits(), Port.Parity(), Port.StopBits()};
}

void TSerialPortConnection::SetLineFormat(const TLineFormat& Value) {
  Port.SetDataBits(Value.DataBits);
  Port.SetParity(Value.Parity);
  Port.SetStopBits(Value.StopBits);
}

std::string TSerialPortConnection::GetDefaultUniqueName() const { return Port.PortName(); }

std::string TSerialPortConnection::GetDefaultDisplayName() const {
  return FormatExceptionMessage("%s:%d", {Port.PortName(), Port.BaudRate()});
}

std::int32_t TSerialPortConnection::BytesToRead() { return Port.BytesToRead(); }

void TSerialPortConnection::Open() {
  if (IsOpen()) return;
  try {
    if (NoDtrFileExists()) Port.SetDtrEnable(false);
    Port.Open();
  } catch (const std::exception& e) {
    // The attempt's log tells the operator whom to ask for the port.
    if (!Port.Holder().empty()) WriteLog(HolderLogKind, Port.OpenRefusal());
    auto failure =
        EConnectionOpenError::CreateFmt("[%s] Ошибка открытия COM-порта", {ConnectionString()}, &e);
    failure.Reason = Port.OpenRefusal();
    throw failure;
  }
  CheckLineFormatTaken();
}

void TSerialPortConnection::CheckLineFormatTaken() {
  const TLineFormat wanted = LineFormat();
  TLineFormat inEffect;
  try {
    const platform::TSerialLineSettings settings = Port.ReadLineSettingsInEffect();
    inEffect = {settings.DataBits, settings.Parity, settings.StopBits};
  } catch (const std::exception&) {
    return;  // a driver that cannot say what it holds is taken at its word
  }
  // The search goes on with what the line carries; the attempt log says so instead of
  // pretending the format was set.
  if (inEffect != wanted)
    WriteLog(LineFormatLogKind,
             FormatExceptionMessage(
                 "Драйвер порта %s не принял формат линии %s: действует %s",
                 {Port.PortName(), LineFormatName(wanted), LineFormatName(inEffect)}));
}

void TSerialPortConnection::Close() {
  try {
    Port.Close();
  } catch (const std::exception& e) {
    throw EConnectionCloseError::CreateFmt("[%s] Ошибка закрытия COM-порта", {ConnectionString()},
                                           &e);
  }
}

void TSerialPortConnection::CloseQuietly() {
  try {
    Close();
  } catch (...) {
  }
}

std::int32_t TSerialPortConnection::Read(std::uint8_t* Buffer, std::int32_t Count) {
  return ReadFromPort(Buffer, Count, false);
}

std::int32_t TSerialPortConnection::ReadWhole(std::uint8_t* Buffer, std::int32_t Count) {
  return ReadFromPort(Buffer, Count, true);
}

std::int32_t TSerialPortConnection::ReadFromPort(std::uint8_t* Buffer, std::int32_t Count,
                                                 bool Whole) {
  std::unique_ptr<Exception> timedOut;
  const std::int32_t done = ReadOrTimeOut(Buffer, Count, Whole, timedOut);
  if (timedOut) timedOut->Raise();
  return done;
}

std::int32_t TSerialPortConnection::ReadOrTimeOut(std::uint8_t* Buffer, std::int32_t Count,
                                                  bool Whole,
                                                  std::unique_ptr<Exception>& TimedOut) {
  std::optional<ETimeoutException> timedOut;
  std::int32_t done = 0;
  try {
    done = Port.ReadOrTimeOut(Buffer, Count, Whole, timedOut);
  } catch (const EInOutError& e) {
    throw EConnectionIOError::CreateFmt("[%s] Данные не прочитаны из-за ошибки вввод-вывода.",
                                        {ConnectionString()}, &e);
  }
  // A silent device's usual end: the port's exception goes into this one unthrown.
  if (timedOut) {
    TimedOut = std::make_unique<EReadTimeoutError>(EReadTimeoutError::CreateFmt(
        "[%s] Операция чтения данных из COM-порта не была завершена до истечения срока "
        "ожидания (%d ms). ",
        {ConnectionString(), Port.ReadTimeout()}, &*timedOut));
  }
  return done;
}

std::int32_t TSerialPortConnection::ReadAvailable(std::uint8_t* Buffer, std::int32_t Count) {
  try {
    return Port.ReadAvailable(Buffer, Count);
  } catch (const EInOutError& e) {
    throw EConnectionIOError::CreateFmt("[%s] Данные не прочитаны из-за ошибки вввод-вывода.",
                                        {ConnectionString()}, &e);
  }
}

void TSerialPortConnection::Write(const std::uint8_t* Data, std::int32_t Count) {
  try {
    Port.Write(Data, Count);
  } catch (const ETimeoutException& e) {
    throw EWriteTimeoutError::CreateFmt(
        "[%s] Операция записи данных в COM-порт не была завершена до истечения срока ожидания "
        "(%d ms). ",
        {ConnectionString(), Port.WriteTimeout()}, &e);
  } catch (const EInOutError& e) {
    throw EConnectionIOError::CreateFmt("[%s] Данные не отправлены из-за ошибки вввод-вывода.",
                                        {ConnectionString()}, &e);
  }
}

bool TSerialPortConnection::Matches(std::string_view ConnectionString) const {
  TSerialPortConnectionStringBuilder builder("COM1", true, 9600);
  builder.SetConnectionString(ConnectionString);
  return platform::SameSerialPortName(builder.PortName, Port.PortName());
}

void TSerialPortConnection::ApplyConnectionString(std::string_view ConnectionString) {
  TSerialPortConnectionStringBuilder builder("COM1", true, 9600);
  builder.SetConnectionString(ConnectionString);
  Port.SetBaudRate(builder.BaudRate);
  Port.SetDtrEnable(builder.DtrEnable);
  SetLineFormat(builder.LineFormat);
}

// The connection factory creates serial port connections through this function.
std::shared_ptr<IDeviceConnection> CreateSerialPortConnection(const std::string& PortName,
                                                              bool DtrEnable,
                                                              std::uint32_t BaudRate) {
  return std::make_shared<TSerialPortConnection>(PortName, DtrEnable, BaudRate);
}

}  // namespace probrix
