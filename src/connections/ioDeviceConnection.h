#pragma once

// The device connection interface, its shared base, the connection-string builders and the
// connection logger.
//
// Ownership: a connection is held by std::shared_ptr<IDeviceConnection>; two references denote
// the same connection exactly when the pointers are equal. Log listeners receive a plain
// IDeviceConnection* that is only valid for the duration of the call and compare it with the
// pointer they hold (shared_ptr::get()).

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "connections/ioLineFormat.h"
#include "foundation/appDateTime.h"
#include "foundation/appSysUtils.h"

namespace probrix {

class Exception;

// The two kinds of connection.
enum class TConnectionType : std::uint8_t { ctSerialPort = 0, ctTcp = 1 };

// Everything that talks to a device does so through this interface. The operations are
// declared in their fixed order; every implementation provides all of them.
//
// Read/write/timeout contract:
// - Timeouts are milliseconds; a connection keeps the last value set. The messaging layer sets
//   WriteTimeout before each write and ReadTimeout before each read. InfiniteTimeout() is the
//   value meaning "no limit" for this kind of connection (-1 serial, 0 TCP); a receiver that is
//   asked to wait with it passes it on unchanged and skips its budget arithmetic.
// - Read(Buffer, Count) waits until at least one byte has arrived or ReadTimeout has passed and
//   returns between 1 and Count bytes (whatever has arrived). Nothing in time: EReadTimeoutError;
//   an I/O failure (for TCP also a connection closed by either side): EConnectionIOError.
// - ReadAvailable(Buffer, Count) takes what has already arrived (0..Count bytes) without
//   waiting; it fails like Read, except that nothing waiting is 0, not a timeout.
// - Write(Data, Count) writes all Count bytes or fails with EWriteTimeoutError or
//   EConnectionIOError.
// - A wait that a stop request cuts short (the calling thread's cancel event, platCancel.h)
//   raises EAbort, which every layer passes on unchanged.
// - Neither Read nor Write opens the connection: callers test IsOpen and call Open first.
// - Every exception a connection raises itself has a message beginning with
//   "[<ConnectionString>]".
// - No operation takes the connection's lock; callers that need the connection for several
//   operations hold Lock ... Unlock (see TDeviceConnectionLock).
class IDeviceConnection {
 public:
  virtual ~IDeviceConnection() = default;

  virtual std::string ConnectionString() const = 0;
  virtual std::string DisplayName() const = 0;
  virtual std::string UniqueName() const = 0;
  virtual void SetUniqueName(const std::string& Value) = 0;  // "" removes the override
  virtual std::int32_t BytesToRead() = 0;
  virtual std::int32_t ReadTimeout() = 0;
  virtual void SetReadTimeout(std::int32_t Value) = 0;
  virtual std::int32_t WriteTimeout() = 0;
  virtual void SetWriteTimeout(std::int32_t Value) = 0;
  virtual std::int32_t InfiniteTimeout() const = 0;
  virtual TConnectionType ConnectionType() const = 0;
  // Publishes one line through the connection logger (never throws for a bad format).
  virtual void WriteLog(std::uint8_t Kind, std::string_view Text) = 0;
  virtual void WriteLogFmt(std::uint8_t Kind, std::string_view Fmt, TFormatArgs Args) = 0;
  virtual bool IsOpen() = 0;
  virtual void Open() = 0;          // nothing if already open; fails with EConnectionOpenError
  virtual void Close() = 0;         // fails with EConnectionCloseError
  virtual void CloseQuietly() = 0;  // Close with every exception swallowed
  virtual void Write(const std::uint8_t* Data, std::int32_t Count) = 0;
  virtual std::int32_t Read(std::uint8_t* Buffer, std::int32_t Count) = 0;
  virtual void Lock() = 0;  // re-entrant
  virtual void Unlock() = 0;
  virtual bool Matches(std::string_view ConnectionString) const = 0;
  virtual void ApplyConnectionString(std::string_view ConnectionString) = 0;
  virtual std::int32_t ReadAvailable(std::uint8_t* Buffer, std::int32_t Count) = 0;
  // How long what the far end sends on its own when the connection opens (a server's
  // greeting) may take to arrive; the first exchange on a fresh connection drops what comes
  // within it. 0: only what is there at once (a serial port lets its line settle while it
  // opens).
  virtual std::int32_t GreetingTimeout() const { return 0; }
  // As Read, for a caller that needs all Count bytes (a frame of known length): a connection
  // may wait for the rest in one go instead of returning each chunk as it comes. Still 1..Count
  // bytes, with Read's deadline and failures.
  virtual std::int32_t ReadWhole(std::uint8_t* Buffer, std::int32_t Count) {
    return Read(Buffer, Count);
  }
  // As ReadWhole when Whole, else as Read, except that a read that waits in vain returns 0 and
  // leaves the EReadTimeoutError it would throw in TimedOut, unthrown: a silent device's usual
  // end reaches the caller as a value, to be wrapped into the caller's own error. Every other
  // failure is thrown as by Read.
  virtual std::int32_t ReadOrTimeOut(std::uint8_t* Buffer, std::int32_t Count, bool Whole,
                                     std::unique_ptr<Exception>& TimedOut);
};

// Holds a connection's lock for one scope, so every exit releases it.
class TDeviceConnectionLock {
 public:
  explicit TDeviceConnectionLock(IDeviceConnection& Connection) : Connection_(Connection) {
    Connection_.Lock();
  }
  ~TDeviceConnectionLock() { Connection_.Unlock(); }
  TDeviceConnectionLock(const TDeviceConnectionLock&) = delete;
  TDeviceConnectionLock& operator=(const TDeviceConnectionLock&) = delete;

 private:
  IDeviceConnection& Connection_;
};

// What both connections share: the re-entrant lock, the unique-name override and the log
// operations. Subclasses implement the rest of the interface and the two default names.
class TDeviceConnection : public IDeviceConnection {
 public:
  ~TDeviceConnection() override = default;
  TDeviceConnection(const TDeviceConnection&) = delete;
  TDeviceConnection& operator=(const TDeviceConnection&) = delete;

  std::string DisplayName() const override;  // GetDefaultDisplayName
  std::string UniqueName() const override;   // the override if set, else GetDefaultUniqueName
  void SetUniqueName(const std::string& Value) override;
  // Through ConnectionLogger() with this object as the connection.
  void WriteLog(std::uint8_t Kind, std::string_view Text) override;
  void WriteLogFmt(std::uint8_t Kind, std::string_view Fmt, TFormatArgs Args) override;
  void Lock() override;
  void Unlock() override;

 protected:
  TDeviceConnection() = default;

  virtual std::string GetDefaultUniqueName() const = 0;
  virtual std::string GetDefaultDisplayName() const = 0;

 private:
  std::recursive_mutex Lock_;
  mutable std::mutex NameLock_;  // the override may be read from a logging thread
  std::string UniqueNameOverride_;
};

// ---------------------------------------------------------------------------------------------
// Connection strings: items "Key=Value" separated by ";", keys compared without regard to
// case, the first item of a key counts. An item holding a character 1..32, a double quote or
// the separator is written in double quotes (inner quotes doubled). Parsing never fails.

class TDeviceConnectionStringBuilder {
 public:
  static constexpr char Delimiter = ';';
  static constexpr char QuoteChar = '"';
  static constexpr char NameValueSeparator = '=';

  TDeviceConnectionStringBuilder() = default;
  virtual ~TDeviceConnectionStringBuilder() = default;

  virtual std::string GetConnectionString();
  virtual void SetConnectionString(std::string_view Text);

  // The value of the first item whose key equals Key (case-insensitive); "" if none.
  std::string GetValue(std::string_view Key) const;
  // Replaces the first item of Key or appends one; an empty Value deletes the item.
  void SetValue(std::string_view Key, std::string_view Value);

  const std::vector<std::string>& Items() const { return Items_; }

  // The item list of Text split at Separator with the quoting and blank rules of the format.
  static std::vector<std::string> SplitItems(std::string_view Text, char Separator);
  // The items joined with Separator, quoted where needed.
  static std::string JoinItems(const std::vector<std::string>& Items, char Separator);

 protected:
  std::vector<std::string> Items_;
};

// "PortName", "BaudRate" (default 9600), "DtrEnable" (false only for "0"), "LineFormat" (one
// of the search's formats, "8E1"; written only when not 8N1, so the strings of the default
// format stay as they were; absent or not a known format: 8N1).
class TSerialPortConnectionStringBuilder : public TDeviceConnectionStringBuilder {
 public:
  // A builder for parsing starts with COM1, DTR on, 9600 baud.
  TSerialPortConnectionStringBuilder() : TSerialPortConnectionStringBuilder("COM1", true, 9600) {}
  TSerialPortConnectionStringBuilder(std::string APortName, bool ADtrEnable,
                                     std::uint32_t ABaudRate)
      : PortName(std::move(APortName)), BaudRate(ABaudRate), DtrEnable(ADtrEnable) {}

  std::string GetConnectionString() override;
  void SetConnectionString(std::string_view Text) override;

  std::string PortName;
  std::uint32_t BaudRate;
  bool DtrEnable;
  TLineFormat LineFormat;
};

// "TcpAddr", "TcpPort" (default 9999; other numbers keep their low 16 bits).
class TTcpConnectionStringBuilder : public TDeviceConnectionStringBuilder {
 public:
  // A builder for parsing starts with localhost:9999.
  TTcpConnectionStringBuilder() : TTcpConnectionStringBuilder("localhost", 9999) {}
  TTcpConnectionStringBuilder(std::string ATcpAddr, std::uint16_t ATcpPort)
      : TcpAddr(std::move(ATcpAddr)), TcpPort(ATcpPort) {}

  std::string GetConnectionString() override;
  void SetConnectionString(std::string_view Text) override;

  // The endpoint text "host:port" of the operator's list, the search plan and the dialog; an
  // IPv6 address is written in brackets ("[::1]:502").
  std::string GetEndPointText() const;
  // host = first ":"-separated item (or ""), port = second item as a decimal number (low 16
  // bits) or 9999; further items are ignored. A text that starts with "[" keeps everything up
  // to the "]" whole as the host, so "[fe80::1%eth0]:502" is that address at port 502. Never
  // fails.
  void SetEndPointText(std::string_view Text);

  std::string TcpAddr;
  std::uint16_t TcpPort;
};

// The endpoint parser for callers that only need the two values (the search plan). PortText
// and ExtraItems keep what the lenient reading drops, for the checks of operator input.
struct TTcpEndPoint {
  std::string TcpAddr;
  std::uint16_t TcpPort = 9999;
  std::optional<std::string> PortText;  // the second item as written; none without one
  bool ExtraItems = false;              // items after the port were ignored
};
TTcpEndPoint ParseTcpEndPointText(std::string_view Text);
// "host:port"; a host with a colon (an IPv6 address) in brackets.
std::string MakeTcpEndPointText(std::string_view TcpAddr, std::uint16_t TcpPort);

// The reading rules of the keys, shared by the builders.
std::uint32_t ReadBaudRateValue(std::string_view Value);  // not a number: 9600
std::uint16_t ReadTcpPortValue(std::string_view Value);   // not a number: 9999, else low 16 bits
bool ReadDtrEnableValue(std::string_view Value);          // false only for "0"

// ---------------------------------------------------------------------------------------------
// The connection logger carries every connection's traffic and diagnostic lines to the
// listeners (the message transceivers).

class IConnectionLogListener {
 public:
  // Connection is the connection that wrote the line (compare it by identity with your own);
  // Kind is passed through unchanged; Time is the moment of logging.
  virtual void OnLogLine(IDeviceConnection* Connection, std::uint8_t Kind, std::string_view Text,
                         TDateTime Time) = 0;
  // Whether the listener keeps lines of Connection. A line that no listener keeps is neither
  // formatted nor stamped; the default keeps every line.
  virtual bool KeepsLinesOf(const IDeviceConnection* Connection) const {
    (void)Connection;
    return true;
  }

 protected:
  ~IConnectionLogListener() = default;
};

class TConnectionLogger {
 public:
  TConnectionLogger() = default;
  virtual ~TConnectionLogger() = default;
  TConnectionLogger(const TConnectionLogger&) = delete;
  TConnectionLogger& operator=(const TConnectionLogger&) = delete;

  // Listeners are not owned; a listener removes itself before it goes away. Both wait for a
  // delivery in progress on another thread.
  void AddListener(IConnectionLogListener* Listener);
  void RemoveListener(IConnectionLogListener* Listener);
  std::size_t ListenerCount() const;
  // Whether some listener keeps lines of Connection: a writer whose line needs costly
  // arguments (hex dumps, exception descriptions) asks first.
  bool IsKept(const IDeviceConnection* Connection) const;

  // Stamps the line with SystemTime().Now() and dispatches it, when some listener keeps it. A
  // listener's exception reaches the caller.
  void WriteLog(IDeviceConnection* Connection, std::uint8_t Kind, std::string_view Text);
  // Formats and logs, when some listener keeps the line. If formatting or delivery fails, the
  // fallback line "Ошибка форматирования строки лога в "TConnectionLogger.WriteLog" (...)" is
  // delivered instead (at most once); nothing reaches the caller.
  void WriteLogFmt(IDeviceConnection* Connection, std::uint8_t Kind, std::string_view Fmt,
                   TFormatArgs Args);

  // Delivers one record to every listener in registration order, on the calling thread, under
  // the listener list's lock.
  virtual void DispatchLog(IDeviceConnection* Connection, std::uint8_t Kind, std::string_view Text,
                           TDateTime Time);

 private:
  mutable std::recursive_mutex ListenersLock_;
  std::vector<IConnectionLogListener*> Listeners_;
};

// The process-wide logger; it lives until the process ends.
TConnectionLogger& ConnectionLogger();

}  // namespace probrix
