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
  std::error_code Ec;
  const auto Status = std::filesystem::status(TSerialPortConnection::NoDtrFileName, Ec);
  return !Ec && std::filesystem::exists(Status) && !std::filesystem::is_directory(Status);
}

}  // namespace

TSerialPortConnection::TSerialPortConnection(const std::string& PortName, bool DtrEnable,
                                             std::uint32_t BaudRate) {
  Port.SetPortName(PortName);
  Port.SetBaudRate(BaudRate);
  Port.SetDtrEnable(DtrEnable);
}

std::string TSerialPortConnection::ConnectionString() const {
  TSerialPortConnectionStringBuilder Builder(Port.PortName(), Port.DtrEnable(), Port.BaudRate());
  Builder.LineFormat = LineFormat();
  return Builder.GetConnectionString();
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
  } catch (const std::exception& E) {
    // The attempt's log tells the operator whom to ask for the port.
    if (!Port.Holder().empty()) WriteLog(HolderLogKind, Port.OpenRefusal());
    auto Failure =
        EConnectionOpenError::CreateFmt("[%s] Ошибка открытия COM-порта", {ConnectionString()}, &E);
    Failure.Reason = Port.OpenRefusal();
    throw Failure;
  }
  CheckLineFormatTaken();
}

void TSerialPortConnection::CheckLineFormatTaken() {
  const TLineFormat Wanted = LineFormat();
  TLineFormat InEffect;
  try {
    const platform::TSerialLineSettings Settings = Port.ReadLineSettingsInEffect();
    InEffect = {Settings.DataBits, Settings.Parity, Settings.StopBits};
  } catch (const std::exception&) {
    return;  // a driver that cannot say what it holds is taken at its word
  }
  // The search goes on with what the line carries; the attempt log says so instead of
  // pretending the format was set.
  if (InEffect != Wanted)
    WriteLog(LineFormatLogKind,
             FormatExceptionMessage(
                 "Драйвер порта %s не принял формат линии %s: действует %s",
                 {Port.PortName(), LineFormatName(Wanted), LineFormatName(InEffect)}));
}

void TSerialPortConnection::Close() {
  try {
    Port.Close();
  } catch (const std::exception& E) {
    throw EConnectionCloseError::CreateFmt("[%s] Ошибка закрытия COM-порта", {ConnectionString()},
                                           &E);
  }
}

void TSerialPortConnection::CloseQuietly() {
  try {
    Close();
  } catch (...) {
  }
}

std::int32_t TSerialPortConnection::Read(std::uint8_t* Buffer, std::int32_t Count) {
  try {
    return Port.Read(Buffer, Count);
  } catch (const ETimeoutException& E) {
    throw EReadTimeoutError::CreateFmt(
        "[%s] Операция чтения данных из COM-порта не была завершена до истечения срока "
        "ожидания (%d ms). ",
        {ConnectionString(), Port.ReadTimeout()}, &E);
  } catch (const EInOutError& E) {
    throw EConnectionIOError::CreateFmt("[%s] Данные не прочитаны из-за ошибки вввод-вывода.",
                                        {ConnectionString()}, &E);
  }
}

std::int32_t TSerialPortConnection::ReadAvailable(std::uint8_t* Buffer, std::int32_t Count) {
  try {
    return Port.ReadAvailable(Buffer, Count);
  } catch (const EInOutError& E) {
    throw EConnectionIOError::CreateFmt("[%s] Данные не прочитаны из-за ошибки вввод-вывода.",
                                        {ConnectionString()}, &E);
  }
}

void TSerialPortConnection::Write(const std::uint8_t* Data, std::int32_t Count) {
  try {
    Port.Write(Data, Count);
  } catch (const ETimeoutException& E) {
    throw EWriteTimeoutError::CreateFmt(
        "[%s] Операция записи данных в COM-порт не была завершена до истечения срока ожидания "
        "(%d ms). ",
        {ConnectionString(), Port.WriteTimeout()}, &E);
  } catch (const EInOutError& E) {
    throw EConnectionIOError::CreateFmt("[%s] Данные не отправлены из-за ошибки вввод-вывода.",
                                        {ConnectionString()}, &E);
  }
}

bool TSerialPortConnection::Matches(std::string_view ConnectionString) const {
  TSerialPortConnectionStringBuilder Builder("COM1", true, 9600);
  Builder.SetConnectionString(ConnectionString);
  return platform::SameSerialPortName(Builder.PortName, Port.PortName());
}

void TSerialPortConnection::ApplyConnectionString(std::string_view ConnectionString) {
  TSerialPortConnectionStringBuilder Builder("COM1", true, 9600);
  Builder.SetConnectionString(ConnectionString);
  Port.SetBaudRate(Builder.BaudRate);
  Port.SetDtrEnable(Builder.DtrEnable);
  SetLineFormat(Builder.LineFormat);
}

// The connection factory creates serial port connections through this function.
std::shared_ptr<IDeviceConnection> CreateSerialPortConnection(const std::string& PortName,
                                                              bool DtrEnable,
                                                              std::uint32_t BaudRate) {
  return std::make_shared<TSerialPortConnection>(PortName, DtrEnable, BaudRate);
}

}  // namespace probrix
