#include "search/uSearchReport.h"

#include "foundation/appExceptions.h"
#include "foundation/appSysUtils.h"
#include "foundation/ioExceptions.h"
#include "search/ioOrvatDevicesDefs.h"

namespace probrix {

std::string SearchErrorText(const std::exception& Error, TConnectionType ConnectionType) {
  auto is = [&](auto* Tag) {
    using T = std::remove_pointer_t<decltype(Tag)>;
    return dynamic_cast<const T*>(&Error) != nullptr;
  };
  if (is(static_cast<EConnectionOpenError*>(nullptr)))
    return std::string("Ошибка открытия ") +
           (ConnectionType == TConnectionType::ctSerialPort ? "порта" : "TCP-подключения");
  if (is(static_cast<EConnectionIOError*>(nullptr))) return "Ошибка ввода-вывода";
  if (is(static_cast<ETimeoutError*>(nullptr))) return "Нет ответа";
  if (is(static_cast<EAddressMismatchError*>(nullptr)))
    return "Ошибка адреса в ответе (получен ответ от другого прибора)";
  if (is(static_cast<EUnexpectedCommandCode*>(nullptr)))
    return "Ошибка команды в ответе (получен ответ на другую команду)";
  if (is(static_cast<EUnknownCommandCode*>(nullptr)))
    return "Устройство не может ответить, т.к. получен запрос с неизвестным кодом команды";
  if (is(static_cast<ESlaveDeviceBusy*>(nullptr)))
    return "Устройство не может ответить, т.к. находится в состоянии \"занят\"";
  if (is(static_cast<EBadCommandParams*>(nullptr)))
    return "Устройство не может выполнить запрос из-за ошибочных параметров в команде.";
  if (is(static_cast<EModbusSpecificError*>(nullptr))) return Error.what();
  if (is(static_cast<ECorruptMessageFrame*>(nullptr))) return "Получен ответ неверного формата";
  if (is(static_cast<EInvalidCRC*>(nullptr))) return "Ошибка CRC в ответе";
  return Error.what();
}

std::string SearchErrorReason(const std::exception& Error) {
  const auto* open = dynamic_cast<const EConnectionOpenError*>(&Error);
  return open ? open->Reason : std::string();
}

std::string ConnectionTypeText(int ConnectionType) {
  switch (ConnectionType) {
    case 0:
      return "COM-порт";
    case 1:
      return "TCP/IP";
    default:
      return "Неизвестно";
  }
}

std::string_view ChecksumKindName(TChecksumKind ChecksumKind) {
  return ChecksumKind == TChecksumKind::ckCrc8 ? "crc8" : "crc1";
}

std::string FoundProtocolText(TDeviceProtocol Protocol, TChecksumKind ChecksumKind) {
  const std::string_view name = DeviceProtocolName(Protocol);
  if (Protocol == TDeviceProtocol::dpOrvatbus)
    return Format("%s (%s)", {name, ChecksumKindName(ChecksumKind)});
  return std::string(name);
}

std::string ConnectionPointText(std::string_view ConnectionName, std::int32_t BaudRateOrPort,
                                TConnectionType ConnectionType) {
  if (ConnectionType == TConnectionType::ctTcp && BaudRateOrPort >= 0 && BaudRateOrPort <= 65535)
    return MakeTcpEndPointText(ConnectionName, static_cast<std::uint16_t>(BaudRateOrPort));
  return Format("%s:%d", {ConnectionName, BaudRateOrPort});
}

std::string ConnectionPointText(const TSearchAttempt& Attempt) {
  std::string text =
      ConnectionPointText(Attempt.ConnectionName, Attempt.BaudRateOrPort, Attempt.ConnectionType);
  if (Attempt.LineFormat) {
    // Appended piece by piece: ":" + name trips a false -Wrestrict of g++ 12 at -O3.
    text += ':';
    text += LineFormatName(*Attempt.LineFormat);
  }
  return text;
}

namespace {

// "COM5:9600,Orvatbus,95": the attempt as the protocol lines name it (made safe).
std::string AttemptText(const TSearchAttempt& Attempt) {
  return Format("%s,%s,%d", {SafeLogText(ConnectionPointText(Attempt)),
                             DeviceProtocolName(Attempt.Protocol), Attempt.Address});
}

// " (повтор адреса 1)" for a repeat, else nothing.
std::string RepeatMark(const TDeviceInfo& Info) {
  return Info.SameAsUnit ? Format(" (повтор адреса %d)", {*Info.SameAsUnit}) : std::string();
}

}  // namespace

std::string OtherDeviceTypeText(const TDeviceInfo& Info) {
  if (Info.VendorName.empty() && Info.ProductCode.empty()) return "Неизвестный прибор";
  if (Info.VendorName.empty() || Info.ProductCode.empty())
    return Info.VendorName + Info.ProductCode;
  return Info.VendorName + " " + Info.ProductCode;
}

bool ShownByIdentification(const TDeviceInfo& Info) {
  if (Info.OtherMaker) return true;
  return (!Info.VendorName.empty() || !Info.ProductCode.empty()) &&
         DeviceKind(Info.DeviceType, Info.FirmwareVersion) == 0;
}

std::string FoundDeviceTypeText(const TDeviceInfo& Info) {
  return ShownByIdentification(Info) ? OtherDeviceTypeText(Info)
                                     : DeviceTypeName(Info.DeviceType, Info.FirmwareVersion);
}

TFoundDeviceCells FoundDeviceCells(TDeviceProtocol Protocol, const TDeviceInfo& Info) {
  TFoundDeviceCells cells;
  if (Protocol == TDeviceProtocol::dpOrvatAscii) return cells;
  if (ShownByIdentification(Info)) {
    cells.DeviceType = OtherDeviceTypeText(Info) + RepeatMark(Info);
    if (!Info.MajorMinorRevision.empty()) cells.SoftVersion = Info.MajorMinorRevision;
    return cells;
  }
  cells.DeviceType = DeviceTypeName(Info.DeviceType, Info.FirmwareVersion) + RepeatMark(Info);
  cells.SerialNum = Info.SerialNumber;
  cells.SoftVersion = FirmwareVersionText(Info.DeviceType, Info.FirmwareVersion);
  return cells;
}

std::string DeviceFoundLine(TDateTime Time, const TSearchAttempt& Attempt,
                            const TDeviceInfo& Info) {
  std::string what;
  if (ShownByIdentification(Info)) {
    what = ": " + OtherDeviceTypeText(Info);
    if (!Info.MajorMinorRevision.empty()) what += ", версия " + Info.MajorMinorRevision;
  }
  return Format("%s [%s]: прибор найден%s%s",
                {FormatDateTime("hh:nn:ss.zzz", Time), AttemptText(Attempt), SafeLogText(what),
                 RepeatMark(Info)});
}

std::string SearchErrorLine(TDateTime Time, const TSearchAttempt& Attempt,
                            std::string_view ErrorText) {
  return Format("%s [%s]: %s", {FormatDateTime("hh:nn:ss.zzz", Time), AttemptText(Attempt),
                                SafeLogText(ErrorText)});
}

std::vector<std::string> SearchErrorLines(TDateTime Time, const TSearchAttempt& Attempt,
                                          std::string_view ErrorText, std::string_view Reason) {
  std::vector<std::string> lines{SearchErrorLine(Time, Attempt, ErrorText)};
  if (!Reason.empty()) lines.push_back(SearchErrorLine(Time, Attempt, Reason));
  return lines;
}

std::string RunErrorText(std::string_view Error) {
  return "Поиск прерван ошибкой: " + std::string(Error);
}

std::string RunErrorLine(TDateTime Time, std::string_view Error) {
  return FormatDateTime("hh:nn:ss.zzz", Time) + " " + SafeLogText(RunErrorText(Error));
}

std::string ProgressText(const TSearchAttempt& Attempt) {
  return Format("%s\r\nПротокол: %s\r\nАдрес: %d",
                {SafeLogText(ConnectionPointText(Attempt)), DeviceProtocolName(Attempt.Protocol),
                 Attempt.Address});
}

std::string SweepMissText(const TSweepMiss& Miss) {
  switch (Miss.Outcome) {
    case platform::TConnectOutcome::coRefused:
      return "Нет TCP-подключения (в подключении отказано)";
    case platform::TConnectOutcome::coSilent:
      return "Нет TCP-подключения (нет ответа)";
    default:
      return "Нет TCP-подключения (" + Miss.SystemText + ")";
  }
}

std::string SweepMissLine(TDateTime Time, const TSweepMiss& Miss) {
  return Format("%s [%s]: %s",
                {FormatDateTime("hh:nn:ss.zzz", Time),
                 SafeLogText(ConnectionPointText(Miss.Host, Miss.Port, TConnectionType::ctTcp)),
                 SafeLogText(SweepMissText(Miss))});
}

std::string SweepProgressText(const TSweepProgress& Progress) {
  return Format(
      "%s\r\nПроверка адресов: %d из %d\r\nПринимают подключение: %d",
      {SafeLogText(Progress.RangeText), static_cast<std::int64_t>(Progress.Done),
       static_cast<std::int64_t>(Progress.Total), static_cast<std::int64_t>(Progress.Accepted)});
}

std::string ResultLogFileName(TDateTime Time) {
  return Format("%s__результаты_поиска.log", {FormatDateTime("hhnnss_zzz", Time)});
}

std::string AttemptLogFileName(TDateTime Time, const TSearchAttempt& Attempt, int Repeat) {
  const auto safe = [](std::string Name) {
    for (char& c : Name)
      if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F ||
          std::string_view("\"'*/:<>?\\|").find(c) != std::string_view::npos)
        c = '#';
    return Name;
  };
  const std::string head = FormatDateTime("hhnnss_zzz", Time) + "_";
  std::string format;
  if (Attempt.LineFormat) format.append(1, '_').append(LineFormatName(*Attempt.LineFormat));
  const std::string tail =
      safe(Format("_%d%s_%s_%d", {Attempt.BaudRateOrPort, format,
                                  DeviceProtocolName(Attempt.Protocol), Attempt.Address})) +
      (Repeat > 1 ? "_" + IntToStr(Repeat) : std::string()) + ".log";
  std::string connection = safe(Attempt.ConnectionName);
  if (head.size() + connection.size() + tail.size() > MaxFileNameBytes) {
    // FNV-1a of the whole name: names that differ only in the part cut off stay apart.
    std::uint32_t hash = 2166136261u;
    for (unsigned char c : Attempt.ConnectionName) hash = (hash ^ c) * 16777619u;
    const std::string mark = "~" + IntToHex(hash, 8);
    std::size_t keep = MaxFileNameBytes - head.size() - tail.size() - mark.size();
    while (keep > 0 && (static_cast<unsigned char>(connection[keep]) & 0xC0) == 0x80) --keep;
    connection = connection.substr(0, keep) + mark;
  }
  return head + connection + tail;
}

std::string TAttemptLogNames::Next(TDateTime Time, const TSearchAttempt& Attempt) {
  // Every name begins with its millisecond: a name of another millisecond cannot repeat it.
  const std::string stamp = FormatDateTime("hhnnss_zzz", Time);
  if (stamp != Stamp_) {
    Stamp_ = stamp;
    Given_.clear();
  }
  for (int repeat = 1;; ++repeat) {
    std::string name = AttemptLogFileName(Time, Attempt, repeat);
    if (Given_.insert(name).second) return name;
  }
}

}  // namespace probrix
