#include "search/uSearchLog.h"

#include "foundation/appCodePage.h"
#include "foundation/appExceptions.h"

namespace probrix {

void TSearchLog::Add(std::string_view Text, TDateTime Time) {
  std::string line = FormatDateTime("hh:nn:ss.zzz", Time);
  line.push_back(' ');
  // A port name or a device's text with a control character in it must not break the
  // attempt log's line; the lines the system makes itself have none and stay as they are.
  if (NeedsLogEscapes(Text)) {
    line += SafeLogText(Text);
  } else {
    line.append(Text);
  }
  Lines_.push_back(std::move(line));
}

void TSearchLog::AddFmt(std::string_view Fmt, TFormatArgs Args, TDateTime Time) {
  std::string text;
  try {
    text = Format(Fmt, Args);
  } catch (const std::exception& e) {
    throw ELogStringFormatError::CreateFmt("Ошибка форматирования лог-строки (\"%s\")", {Fmt}, &e);
  }
  Add(text, Time);
}

std::string TSearchLog::Text() const {
  std::string out;
  for (const std::string& l : Lines_) {
    out += l;
    out += "\r\n";
  }
  return out;
}

}  // namespace probrix
