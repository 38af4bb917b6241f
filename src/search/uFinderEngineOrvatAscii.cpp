#include "search/uFinderEngineOrvatAscii.h"

#include "foundation/appExceptions.h"
#include "messaging/ioOrvatAsciiCoreTypes.h"
#include "messaging/ioOrvatAsciiTransceiver.h"
#include "messaging/updStrUtils.h"

namespace probrix {

std::unique_ptr<TMessageTransceiver> TOrvatAsciiDeviceSearcher::CreateTransceiver(
    std::shared_ptr<IDeviceConnection> Connection) {
  return std::make_unique<TOrvatAsciiTransceiver>(std::move(Connection));
}

void TOrvatAsciiDeviceSearcher::SearchAt(std::uint8_t /*Address*/, TDeviceInfo& Info) {
  try {
    LogLine("Попытка поиска прибора по протоколу OrvatASCII...");
    const TBytes message = Transceiver().Receive();
    Info = TDeviceInfo{};
    const TBytes body = OrvatAsciiUtils::LastLine(message);
    if (KeepsLog())
      LogFmt("<a-- (size=%d) %s (last ascii message body)", {body.size(), HexDumpText(body)});
    OrvatAsciiUtils::CheckBody(body);
    Info.Address = OrvatAsciiUtils::DecodeAddress(body[0]);
    LogFmt("Найден прибор по протоколу OrvatASCII с адресом %d", {Info.Address});
  } catch (const Exception& e) {
    if (KeepsLog())
      LogFmt("Ошибка поиска прибора прибора по протоколу OrvatASCII: %s", {DescribeException(&e)});
    throw;
  }
}

}  // namespace probrix
