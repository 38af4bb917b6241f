#include "connections/ioDeviceConnection.h"

#include <algorithm>
#include <limits>

#include "foundation/appExceptions.h"
#include "foundation/utilitySystemTime.h"

namespace probrix {

namespace {

bool IsBlankOrControl(char C) {
  const auto code = static_cast<unsigned char>(C);
  return code >= 1 && code <= 32;
}

// The key of an item is the text before its first "="; items without "=" have none.
bool ItemHasKey(const std::string& Item, std::string_view Key) {
  const std::size_t eq = Item.find(TDeviceConnectionStringBuilder::NameValueSeparator);
  if (eq == std::string::npos) return false;
  return SameTextAscii(std::string_view(Item).substr(0, eq), Key);
}

bool NeedsQuotes(const std::string& Item, char Separator) {
  return std::any_of(Item.begin(), Item.end(), [Separator](char C) {
    return IsBlankOrControl(C) || C == TDeviceConnectionStringBuilder::QuoteChar || C == Separator;
  });
}

}  // namespace

// --- IDeviceConnection -------------------------------------------------------------------------

std::int32_t IDeviceConnection::ReadOrTimeOut(std::uint8_t* Buffer, std::int32_t Count, bool Whole,
                                              std::unique_ptr<Exception>& TimedOut) {
  try {
    return Whole ? ReadWhole(Buffer, Count) : Read(Buffer, Count);
  } catch (const EReadTimeoutError& e) {
    TimedOut = e.Clone();
    return 0;
  }
}

// --- TDeviceConnection -------------------------------------------------------------------------

std::string TDeviceConnection::DisplayName() const { return GetDefaultDisplayName(); }

std::string TDeviceConnection::UniqueName() const {
  {
    std::lock_guard<std::mutex> guard(NameLock_);
    if (!UniqueNameOverride_.empty()) return UniqueNameOverride_;
  }
  return GetDefaultUniqueName();
}

void TDeviceConnection::SetUniqueName(const std::string& Value) {
  std::lock_guard<std::mutex> guard(NameLock_);
  UniqueNameOverride_ = Value;
}

void TDeviceConnection::WriteLog(std::uint8_t Kind, std::string_view Text) {
  ConnectionLogger().WriteLog(this, Kind, Text);
}

void TDeviceConnection::WriteLogFmt(std::uint8_t Kind, std::string_view Fmt, TFormatArgs Args) {
  ConnectionLogger().WriteLogFmt(this, Kind, Fmt, Args);
}

void TDeviceConnection::Lock() { Lock_.lock(); }

void TDeviceConnection::Unlock() { Lock_.unlock(); }

// --- Connection strings --------------------------------------------------------------------

std::vector<std::string> TDeviceConnectionStringBuilder::SplitItems(std::string_view Text,
                                                                    char Separator) {
  std::vector<std::string> items;
  const std::size_t n = Text.size();
  std::size_t pos = 0;
  auto skipBlanks = [&] {
    while (pos < n && IsBlankOrControl(Text[pos])) ++pos;
  };
  skipBlanks();
  while (pos < n) {
    std::string item;
    if (Text[pos] == QuoteChar) {
      ++pos;
      while (pos < n) {
        if (Text[pos] == QuoteChar) {
          if (pos + 1 < n && Text[pos + 1] == QuoteChar) {
            item.push_back(QuoteChar);
            pos += 2;
          } else {
            ++pos;  // the closing quote
            break;
          }
        } else {
          item.push_back(Text[pos++]);
        }
      }
    } else {
      const std::size_t start = pos;
      while (pos < n && !IsBlankOrControl(Text[pos]) && Text[pos] != Separator) ++pos;
      item.assign(Text.substr(start, pos - start));
    }
    items.push_back(std::move(item));
    skipBlanks();
    if (pos < n && Text[pos] == Separator) {
      if (pos == n - 1) items.emplace_back();  // a trailing separator ends with an empty item
      ++pos;
      skipBlanks();
    }
  }
  return items;
}

std::string TDeviceConnectionStringBuilder::JoinItems(const std::vector<std::string>& Items,
                                                      char Separator) {
  if (Items.empty()) return {};
  if (Items.size() == 1 && Items[0].empty()) return std::string(2, QuoteChar);
  std::string out;
  for (std::size_t i = 0; i < Items.size(); ++i) {
    const std::string& item = Items[i];
    if (NeedsQuotes(item, Separator)) {
      out.push_back(QuoteChar);
      for (char c : item) {
        if (c == QuoteChar) out.push_back(QuoteChar);
        out.push_back(c);
      }
      out.push_back(QuoteChar);
    } else {
      out += item;
    }
    if (i + 1 < Items.size()) out.push_back(Separator);
  }
  return out;
}

std::string TDeviceConnectionStringBuilder::GetConnectionString() {
  return JoinItems(Items_, Delimiter);
}

void TDeviceConnectionStringBuilder::SetConnectionString(std::string_view Text) {
  Items_ = SplitItems(Text, Delimiter);
}

std::string TDeviceConnectionStringBuilder::GetValue(std::string_view Key) const {
  for (const std::string& item : Items_) {
    if (ItemHasKey(item, Key)) return item.substr(item.find(NameValueSeparator) + 1);
  }
  return {};
}

void TDeviceConnectionStringBuilder::SetValue(std::string_view Key, std::string_view Value) {
  auto found = std::find_if(Items_.begin(), Items_.end(),
                            [Key](const std::string& Item) { return ItemHasKey(Item, Key); });
  if (Value.empty()) {
    // Later items of the key go too: otherwise the next of them would become the first and
    // the composed string would carry a value the builder does not hold.
    Items_.erase(std::remove_if(found, Items_.end(),
                                [Key](const std::string& Item) { return ItemHasKey(Item, Key); }),
                 Items_.end());
    return;
  }
  std::string item(Key);
  item.push_back(NameValueSeparator);
  item.append(Value);
  if (found != Items_.end()) {
    *found = std::move(item);
  } else {
    Items_.push_back(std::move(item));
  }
}

std::uint32_t ReadBaudRateValue(std::string_view Value) {
  int number = 0;
  if (TryStrToInt(Value, number)) return static_cast<std::uint32_t>(number);
  // Decimal values above the signed range still fit the unsigned field.
  if (!Value.empty() && Value.size() <= 10 &&
      std::all_of(Value.begin(), Value.end(), [](char C) { return C >= '0' && C <= '9'; })) {
    const std::uint64_t big = std::stoull(std::string(Value));
    if (big <= std::numeric_limits<std::uint32_t>::max()) return static_cast<std::uint32_t>(big);
  }
  return 9600;
}

std::uint16_t ReadTcpPortValue(std::string_view Value) {
  int number = 0;
  if (TryStrToInt(Value, number)) return static_cast<std::uint16_t>(number);
  return 9999;
}

bool ReadDtrEnableValue(std::string_view Value) { return Value != "0"; }

std::string TSerialPortConnectionStringBuilder::GetConnectionString() {
  SetValue("PortName", PortName);
  SetValue("BaudRate", IntToStr(BaudRate));
  SetValue("DtrEnable", DtrEnable ? "1" : "0");
  SetValue("LineFormat", LineFormat == DefaultLineFormat ? "" : LineFormatName(LineFormat));
  return TDeviceConnectionStringBuilder::GetConnectionString();
}

void TSerialPortConnectionStringBuilder::SetConnectionString(std::string_view Text) {
  TDeviceConnectionStringBuilder::SetConnectionString(Text);
  PortName = GetValue("PortName");
  BaudRate = ReadBaudRateValue(GetValue("BaudRate"));
  DtrEnable = ReadDtrEnableValue(GetValue("DtrEnable"));
  LineFormat = ParseLineFormat(GetValue("LineFormat")).value_or(DefaultLineFormat);
}

std::string TTcpConnectionStringBuilder::GetConnectionString() {
  SetValue("TcpAddr", TcpAddr);
  SetValue("TcpPort", IntToStr(TcpPort));
  return TDeviceConnectionStringBuilder::GetConnectionString();
}

void TTcpConnectionStringBuilder::SetConnectionString(std::string_view Text) {
  TDeviceConnectionStringBuilder::SetConnectionString(Text);
  TcpAddr = GetValue("TcpAddr");
  TcpPort = ReadTcpPortValue(GetValue("TcpPort"));
}

std::string TTcpConnectionStringBuilder::GetEndPointText() const {
  return MakeTcpEndPointText(TcpAddr, TcpPort);
}

void TTcpConnectionStringBuilder::SetEndPointText(std::string_view Text) {
  TTcpEndPoint endPoint = ParseTcpEndPointText(Text);
  TcpAddr = std::move(endPoint.TcpAddr);
  TcpPort = endPoint.TcpPort;
}

TTcpEndPoint ParseTcpEndPointText(std::string_view Text) {
  std::vector<std::string> items;
  // "[address]" or "[address]:port...": the brackets keep the colons of an IPv6 address out of
  // the split. Any other text is split as it always was.
  std::size_t open = 0;
  while (open < Text.size() && IsBlankOrControl(Text[open])) ++open;
  const std::size_t close = Text.find(']', open);
  if (open < Text.size() && Text[open] == '[' && close != std::string_view::npos &&
      (close + 1 == Text.size() || Text[close + 1] == ':')) {
    items.emplace_back(Text.substr(open + 1, close - open - 1));
    if (close + 1 < Text.size()) {
      std::vector<std::string> rest =
          TDeviceConnectionStringBuilder::SplitItems(Text.substr(close + 2), ':');
      if (rest.empty()) rest.emplace_back();  // "[::1]:" names an empty port
      items.insert(items.end(), rest.begin(), rest.end());
    }
  } else {
    items = TDeviceConnectionStringBuilder::SplitItems(Text, ':');
  }
  TTcpEndPoint result;
  if (!items.empty()) result.TcpAddr = items[0];
  if (items.size() > 1) {
    result.PortText = items[1];
    result.TcpPort = ReadTcpPortValue(items[1]);
  }
  result.ExtraItems = items.size() > 2;
  return result;
}

std::string MakeTcpEndPointText(std::string_view TcpAddr, std::uint16_t TcpPort) {
  const bool bracket = TcpAddr.find(':') != std::string_view::npos;
  std::string text;
  if (bracket) text.push_back('[');
  text += TcpAddr;
  if (bracket) text.push_back(']');
  text.push_back(':');
  text += IntToStr(TcpPort);
  return text;
}

// --- TConnectionLogger ---------------------------------------------------------------------

void TConnectionLogger::AddListener(IConnectionLogListener* Listener) {
  if (Listener == nullptr) return;
  std::lock_guard<std::recursive_mutex> guard(ListenersLock_);
  Listeners_.push_back(Listener);
}

void TConnectionLogger::RemoveListener(IConnectionLogListener* Listener) {
  std::lock_guard<std::recursive_mutex> guard(ListenersLock_);
  auto found = std::find(Listeners_.begin(), Listeners_.end(), Listener);
  if (found != Listeners_.end()) Listeners_.erase(found);
}

std::size_t TConnectionLogger::ListenerCount() const {
  std::lock_guard<std::recursive_mutex> guard(ListenersLock_);
  return Listeners_.size();
}

bool TConnectionLogger::IsKept(const IDeviceConnection* Connection) const {
  std::lock_guard<std::recursive_mutex> guard(ListenersLock_);
  for (const IConnectionLogListener* listener : Listeners_)
    if (listener->KeepsLinesOf(Connection)) return true;
  return false;
}

void TConnectionLogger::WriteLog(IDeviceConnection* Connection, std::uint8_t Kind,
                                 std::string_view Text) {
  if (!IsKept(Connection)) return;
  DispatchLog(Connection, Kind, Text, SystemTime().Now());
}

void TConnectionLogger::WriteLogFmt(IDeviceConnection* Connection, std::uint8_t Kind,
                                    std::string_view Fmt, TFormatArgs Args) {
  if (!IsKept(Connection)) return;
  std::string failure;
  try {
    const std::string text = Format(Fmt, Args);
    DispatchLog(Connection, Kind, text, SystemTime().Now());
    return;
  } catch (...) {
    failure = DescribeCurrentException();
  }
  // The fallback line is delivered once; a failure while delivering it is not passed on, since
  // no logging failure may reach the writer of a line.
  try {
    const std::string name = Connection != nullptr ? Connection->UniqueName() : std::string();
    const std::string line = Format(
        "Ошибка форматирования строки лога в \"TConnectionLogger.WriteLog\" "
        "(Connection.UniqueName=%s, fmt=%s): %s",
        {name, Fmt, failure});
    DispatchLog(Connection, Kind, line, SystemTime().Now());
  } catch (...) {
  }
}

void TConnectionLogger::DispatchLog(IDeviceConnection* Connection, std::uint8_t Kind,
                                    std::string_view Text, TDateTime Time) {
  std::lock_guard<std::recursive_mutex> guard(ListenersLock_);
  // Index-based: a listener may add or remove listeners on this thread (the lock is
  // re-entrant), which would invalidate iterators.
  for (std::size_t i = 0; i < Listeners_.size(); ++i) {
    Listeners_[i]->OnLogLine(Connection, Kind, Text, Time);
  }
}

TConnectionLogger& ConnectionLogger() {
  // Never destroyed: connections released during static destruction may still log.
  static TConnectionLogger* const Instance = new TConnectionLogger();
  return *Instance;
}

}  // namespace probrix
