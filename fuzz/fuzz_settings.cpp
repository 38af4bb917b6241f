// The INI reader and the decoding of the search settings over an arbitrary settings file
// (Windows-1251 bytes): loading never fails, the check lists decode without errors, and the
// window's notices about the file hold no control character. The same bytes taken as UTF-8
// text: the conversion to Windows-1251 makes no control byte that was not there (an overlong
// form is no CR), and the escaping for a log line leaves none at all.

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

  TSearchSettings clamped = settings;
  for (const std::string& notice : ClampSearchSettings(clamped, WindowPlanLimits))
    fuzz::Require(!NeedsLogEscapes(notice), "a settings notice breaks its line");

  const auto controls = [](std::string_view Text) {
    std::size_t n = 0;
    for (const char c : Text) n += static_cast<unsigned char>(c) < 0x20 || c == 0x7F;
    return n;
  };
  fuzz::Require(controls(Utf8ToCp1251(bytes)) == controls(bytes),
                "the conversion made a control byte");
  fuzz::Require(controls(Utf8ToCp1251(SafeLogText(bytes))) == 0,
                "an escaped text holds a control byte");
  return 0;
}
