// The INI reader and the decoding of the search settings over an arbitrary settings file
// (Windows-1251 bytes): loading never fails, and the check lists decode without errors.

#include <cstddef>
#include <cstdint>
#include <string>

#include "FuzzSupport.h"
#include "foundation/appCodePage.h"
#include "foundation/appIniFiles.h"
#include "search/uSearchParams.h"

using namespace probrix;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size) {
  const std::string bytes(reinterpret_cast<const char*>(Data), Size);
  // Never saved: only the in-memory text is parsed.
  TIniFile ini("/nonexistent/probrix-fuzz/probrix.ini");
  ini.SetText(Cp1251ToUtf8(bytes));
  const TSearchSettings settings = LoadSearchSettings(ini);
  (void)DecodeProtocols(settings.Protocols);
  for (const auto& key : ini.ReadSection(SearchParamsSection)) {
    const std::string value = ini.ReadString(SearchParamsSection, key, "");
    (void)ini.ReadRawString(SearchParamsSection, key, "");
    (void)ini.ReadInteger(SearchParamsSection, key, 0);
    (void)ini.ReadBool(SearchParamsSection, key, false);
    (void)DecodeCheckList(value);
    (void)SplitCommaText(value);
  }
  (void)ini.GetText();
  return 0;
}
