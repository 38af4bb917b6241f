#pragma once

// The device connection over a local serial port. It owns one TSerialPort and translates the
// port's exceptions into the connection exceptions, with messages that begin with
// "[<ConnectionString>]". A file "nodtr.ini" in the current directory keeps DTR off at every
// opening.

#include <cstdint>
#include <string>

#include "connections/ioDeviceConnection.h"
#include "connections/ioLineFormat.h"
#include "connections/uSerialPort.h"

namespace probrix {

class TSerialPortConnection : public TDeviceConnection {
 public:
  // Sets the port's name, then its baud rate (0 fails with EPropertyError), then DtrEnable.
  TSerialPortConnection(const std::string& PortName, bool DtrEnable, std::uint32_t BaudRate);
  ~TSerialPortConnection() override = default;

  // PortName=...;BaudRate=...;DtrEnable=... (DtrEnable as the port reports it), then
  // ;LineFormat=... when the port's format is not 8N1
  std::string ConnectionString() const override;
  std::int32_t BytesToRead() override;  // EInvalidOperation while closed
  // The port's properties with their own checks and exceptions, not translated.
  std::int32_t ReadTimeout() override { return Port.ReadTimeout(); }
  void SetReadTimeout(std::int32_t Value) override { Port.SetReadTimeout(Value); }
  std::int32_t WriteTimeout() override { return Port.WriteTimeout(); }
  void SetWriteTimeout(std::int32_t Value) override { Port.SetWriteTimeout(Value); }
  std::int32_t InfiniteTimeout() const override { return TSerialPort::InfiniteTimeout; }
  TConnectionType ConnectionType() const override { return TConnectionType::ctSerialPort; }
  bool IsOpen() override { return Port.IsOpen(); }
  void Open() override;
  void Close() override;
  void CloseQuietly() override;
  void Write(const std::uint8_t* Data, std::int32_t Count) override;
  std::int32_t Read(std::uint8_t* Buffer, std::int32_t Count) override;
  std::int32_t ReadWhole(std::uint8_t* Buffer, std::int32_t Count) override;
  std::int32_t ReadOrTimeOut(std::uint8_t* Buffer, std::int32_t Count, bool Whole,
                             std::unique_ptr<Exception>& TimedOut) override;
  std::int32_t ReadAvailable(std::uint8_t* Buffer, std::int32_t Count) override;
  // Same port name, without regard to case.
  bool Matches(std::string_view ConnectionString) const override;
  // Takes over BaudRate, then DtrEnable, then LineFormat; the port name is ignored.
  void ApplyConnectionString(std::string_view ConnectionString) override;

  // The character format the port is set to (data bits, parity, stop bits).
  TLineFormat LineFormat() const;
  void SetLineFormat(const TLineFormat& Value);

  // The kind of the log line that names the program holding the port when Open fails (the
  // kind of the exchange's error lines).
  static constexpr std::uint8_t HolderLogKind = 17;
  // The kind of the log line that says the driver did not take the port's line format.
  static constexpr std::uint8_t LineFormatLogKind = 17;

  // The marker file that keeps DTR off, looked for in the current directory.
  static constexpr const char* NoDtrFileName = "nodtr.ini";

  TSerialPort Port;

 protected:
  // After an opening: writes a line to the log when the driver holds another format than the
  // one set (a pseudo terminal drops parity); the port stays open.
  void CheckLineFormatTaken();
  std::string GetDefaultUniqueName() const override;   // the port name, e.g. COM3
  std::string GetDefaultDisplayName() const override;  // "name:baud", e.g. COM3:9600

 private:
  // ReadOrTimeOut with its timeout thrown.
  std::int32_t ReadFromPort(std::uint8_t* Buffer, std::int32_t Count, bool Whole);
};

}  // namespace probrix
