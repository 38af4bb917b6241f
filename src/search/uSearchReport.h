#pragma once

// How a search is reported to the operator, shared by the window and the command line: the
// operator text of a failure, the protocol lines, and the names of the result and attempt logs.

#include <cstdint>
#include <exception>
#include <filesystem>
#include <string>
#include <string_view>

#include "foundation/appDateTime.h"
#include "search/uFinderEngineTypes.h"

namespace probrix {

// The short operator text for a failed attempt, chosen by exception class (first match wins).
std::string SearchErrorText(const std::exception& Error, TConnectionType ConnectionType);

// "COM-порт", "TCP/IP", "Неизвестно".
std::string ConnectionTypeText(int ConnectionType);
// The protocol name; for Orvatbus with the checksum that got the answer: "Orvatbus (crc8)".
std::string FoundProtocolText(TDeviceProtocol Protocol, std::uint8_t ChecksumKind);
std::string_view ChecksumKindName(std::uint8_t ChecksumKind);

// "<hh:nn:ss.zzz> [COM5:9600,Orvatbus,95]: прибор найден"
std::string DeviceFoundLine(TDateTime Time, std::string_view ConnectionName,
                            std::int32_t BaudRateOrPort, TDeviceProtocol Protocol,
                            std::uint8_t Address);
// "<hh:nn:ss.zzz> [COM5:9600,Orvatbus,95]: <ErrorText>"
std::string SearchErrorLine(TDateTime Time, std::string_view ConnectionName,
                            std::int32_t BaudRateOrPort, TDeviceProtocol Protocol,
                            std::uint8_t Address, std::string_view ErrorText);
// "COM5:9600\r\nПротокол: Orvatbus\r\nАдрес: 2"
std::string ProgressText(std::string_view ConnectionName, std::int32_t BaudRateOrPort,
                         TDeviceProtocol Protocol, std::uint8_t Address);

// "<hhnnss_zzz>__результаты_поиска.log"
std::string ResultLogFileName(TDateTime Time);
// "<hhnnss_zzz>_<connection>_<baud or port>_<protocol>_<address>.log", with each of
// " ' * / : < > ? \ | replaced by '#'.
std::string AttemptLogFileName(TDateTime Time, std::string_view ConnectionName,
                               std::int32_t BaudRateOrPort, TDeviceProtocol Protocol,
                               std::uint8_t Address);

}  // namespace probrix
