#pragma once

// How a search is reported to the operator, shared by the window and the command line: the
// operator text of a failure, the protocol lines, and the names of the result and attempt logs.

#include <cstdint>
#include <exception>
#include <filesystem>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/appCodePage.h"  // SafeLogText
#include "foundation/appDateTime.h"
#include "search/uFinderEngineTypes.h"

namespace probrix {

// The short operator text for a failed attempt, chosen by exception class (first match wins).
std::string SearchErrorText(const std::exception& Error, TConnectionType ConnectionType);

// Why a failed attempt failed, where the operator can act on it and the operator text does not
// say it: the Reason of an EConnectionOpenError (the program that holds the port, the rights
// the user lacks). Empty for other failures.
std::string SearchErrorReason(const std::exception& Error);

// "COM-порт", "TCP/IP", "Неизвестно".
std::string ConnectionTypeText(int ConnectionType);
// The protocol name; for Orvatbus with the checksum that got the answer: "Orvatbus (crc8)".
std::string FoundProtocolText(TDeviceProtocol Protocol, TChecksumKind ChecksumKind);
std::string_view ChecksumKindName(TChecksumKind ChecksumKind);

// "COM5:9600" or "10.0.0.5:502"; an IPv6 host in brackets, as its endpoint text: "[::1]:502".
std::string ConnectionPointText(std::string_view ConnectionName, std::int32_t BaudRateOrPort,
                                TConnectionType ConnectionType);
// The attempt's connection: the same, followed by its line format where it has one
// ("COM5:9600:8E1").
std::string ConnectionPointText(const TSearchAttempt& Attempt);

// Whether a found Modbus device is shown by what it said of itself (Read Device
// Identification): a device of another maker, or one that answered the maker's registers with a
// type code the maker's table does not know and then gave its vendor or product code.
bool ShownByIdentification(const TDeviceInfo& Info);

// The identification cells of a results row, empty (null) where there is nothing to show:
// "Тип прибора", "Сер.номер", "Версия прошивки". The maker's instruments show their type name,
// serial number and firmware version; OrvatASCII devices nothing; a Modbus device shown by its
// identification its vendor and product code ("Неизвестный прибор" when it gave neither) and
// its revision. A repeat of an earlier unit is marked after the type: "R7391 (повтор адреса 1)".
struct TFoundDeviceCells {
  std::optional<std::string> DeviceType;
  std::optional<int> SerialNum;
  std::optional<std::string> SoftVersion;
};
TFoundDeviceCells FoundDeviceCells(TDeviceProtocol Protocol, const TDeviceInfo& Info);
// "ACME PX-1", the vendor or the product code alone, or "Неизвестный прибор".
std::string OtherDeviceTypeText(const TDeviceInfo& Info);
// The "Тип прибора" text without a repeat mark: OtherDeviceTypeText for a device shown by its
// identification, else the maker's type name.
std::string FoundDeviceTypeText(const TDeviceInfo& Info);

// "<hh:nn:ss.zzz> [COM5:9600,Orvatbus,95]: прибор найден" (operator texts made safe); a device
// shown by its identification adds what it is ("...: прибор найден: ACME PX-1, версия 1.02"), a
// repeat the unit it repeats ("... (повтор адреса 1)").
std::string DeviceFoundLine(TDateTime Time, const TSearchAttempt& Attempt,
                            const TDeviceInfo& Info = {});
// "<hh:nn:ss.zzz> [COM5:9600,Orvatbus,95]: <ErrorText>" (operator texts made safe)
std::string SearchErrorLine(TDateTime Time, const TSearchAttempt& Attempt,
                            std::string_view ErrorText);
// The protocol lines of a failed attempt: its SearchErrorLine, then, when Reason is not empty,
// a second line of the same attempt with the reason
// ("<hh:nn:ss.zzz> [COM5:9600,Orvatbus,1]: Порт COM5 используется другой программой: ...").
std::vector<std::string> SearchErrorLines(TDateTime Time, const TSearchAttempt& Attempt,
                                          std::string_view ErrorText, std::string_view Reason);
// "Поиск прерван ошибкой: <Error>", for an error that ended the whole run early.
std::string RunErrorText(std::string_view Error);
// "<hh:nn:ss.zzz> Поиск прерван ошибкой: <Error>" (made safe)
std::string RunErrorLine(TDateTime Time, std::string_view Error);
// "COM5:9600\r\nПротокол: Orvatbus\r\nАдрес: 2"
std::string ProgressText(const TSearchAttempt& Attempt);

// An address of a swept range that accepted no connection: "Нет TCP-подключения (нет ответа)",
// "... (в подключении отказано)", or the system's text for another failure.
std::string SweepMissText(const TSweepMiss& Miss);
// "<hh:nn:ss.zzz> [192.168.1.7:502]: Нет TCP-подключения (нет ответа)" (made safe): no protocol
// and no address, since nothing was probed there.
std::string SweepMissLine(TDateTime Time, const TSweepMiss& Miss);
// "192.168.1.0/24:502\r\nПроверка адресов: 37 из 254\r\nПринимают подключение: 2"
std::string SweepProgressText(const TSweepProgress& Progress);

// "<hhnnss_zzz>__результаты_поиска.log"
std::string ResultLogFileName(TDateTime Time);
// The longest file name the file systems accept, in bytes.
inline constexpr std::size_t MaxFileNameBytes = 255;
// "<hhnnss_zzz>_<connection>_<baud or port>_<protocol>_<address>.log" (an attempt with a line
// format: "..._<baud>_<format>_<protocol>_<address>.log"), with each of
// " ' * / : < > ? \ | and every control character replaced by '#'. A name longer than
// MaxFileNameBytes has its connection part cut (on a character boundary) and followed by "~"
// and a hash of the whole connection name, so that two long names stay apart. A Repeat above 1
// goes before ".log" as "_<Repeat>" (see TAttemptLogNames).
std::string AttemptLogFileName(TDateTime Time, const TSearchAttempt& Attempt, int Repeat = 1);

// The attempt log names of a search, one file per attempt: an attempt whose name was already
// given within the same millisecond (the same port twice in a plan, two attempts reported
// together) gets "_2", "_3" ... before ".log" instead of sharing the other's file. Only the
// names of the current millisecond are kept. One caller at a time.
class TAttemptLogNames {
 public:
  std::string Next(TDateTime Time, const TSearchAttempt& Attempt);

 private:
  std::string Stamp_;  // the millisecond of the names below
  std::set<std::string> Given_;
};

}  // namespace probrix
