#include "foundation/appIniFiles.h"

#include <fstream>
#include <sstream>

#include "foundation/appCodePage.h"
#include "foundation/appExceptions.h"
#include "foundation/appSysUtils.h"
#include "platform/platFiles.h"

namespace probrix {

namespace {

// Case-insensitive comparison over Windows-1251 letters, so Cyrillic keys match too.
bool SameName(std::string_view A, std::string_view B) {
  const std::string a = Utf8ToCp1251(A), b = Utf8ToCp1251(B);
  if (a.size() != b.size()) return false;
  auto fold = [](unsigned char c) -> unsigned char {
    if (c >= 'A' && c <= 'Z') return static_cast<unsigned char>(c + 0x20);
    if (c >= 0xC0 && c <= 0xDF) return static_cast<unsigned char>(c + 0x20);
    if (c == 0xA8) return 0xB8;
    return c;
  };
  for (std::size_t i = 0; i < a.size(); ++i)
    if (fold(static_cast<unsigned char>(a[i])) != fold(static_cast<unsigned char>(b[i])))
      return false;
  return true;
}

std::string StripQuotes(std::string Value) {
  if (Value.size() >= 2 && (Value.front() == '"' || Value.front() == '\'') &&
      Value.back() == Value.front())
    return Value.substr(1, Value.size() - 2);
  return Value;
}

}  // namespace

TIniFile::TIniFile(const std::string& FileName) : TIniFile(platform::PathOfUtf8(FileName)) {}

TIniFile::TIniFile(std::filesystem::path FileName) : FileName_(std::move(FileName)) {
  Sections_.push_back(TSection{});  // the lines before the first section header
  std::ifstream in(FileName_, std::ios::binary);
  if (!in) return;
  std::ostringstream buf;
  buf << in.rdbuf();
  SetText(Cp1251ToUtf8(buf.str()));
}

void TIniFile::SetText(std::string_view Text) {
  Sections_.clear();
  Sections_.push_back(TSection{});
  std::size_t pos = 0;
  while (pos <= Text.size()) {
    std::size_t end = Text.find('\n', pos);
    if (end == std::string_view::npos) end = Text.size();
    std::string raw(Text.substr(pos, end - pos));
    const bool last = end >= Text.size();
    pos = end + 1;
    if (!raw.empty() && raw.back() == '\r') raw.pop_back();
    if (last && raw.empty()) break;
    // A NUL or other control byte cannot be part of a name; keep such lines as they are.
    const std::string t = Trim(raw);
    if (!t.empty() && t.front() == '[') {
      const std::size_t close = t.find(']');
      if (close != std::string::npos) {
        Sections_.push_back(TSection{Trim(t.substr(1, close - 1)), {}});
        continue;
      }
    }
    TLine line{raw, {}, {}};
    if (!t.empty() && t.front() != ';' && t.front() != '#') {
      const std::size_t eq = t.find('=');
      if (eq != std::string::npos && eq > 0) {
        line.Key = Trim(t.substr(0, eq));
        line.Value = Trim(t.substr(eq + 1));
      }
    }
    Sections_.back().Lines.push_back(std::move(line));
  }
}

std::string TIniFile::GetText() const {
  std::string out;
  for (std::size_t s = 0; s < Sections_.size(); ++s) {
    const TSection& sec = Sections_[s];
    if (s > 0) out += "[" + sec.Name + "]\r\n";
    for (const TLine& l : sec.Lines) out += l.Text + "\r\n";
  }
  return out;
}

TIniFile::TSection* TIniFile::FindSection(std::string_view Name) {
  for (std::size_t s = 1; s < Sections_.size(); ++s)
    if (SameName(Sections_[s].Name, Name)) return &Sections_[s];
  return nullptr;
}

const TIniFile::TSection* TIniFile::FindSection(std::string_view Name) const {
  return const_cast<TIniFile*>(this)->FindSection(Name);
}

std::string TIniFile::ReadRawString(std::string_view Section, std::string_view Ident,
                                    std::string_view Default) const {
  if (const TSection* sec = FindSection(Section))
    for (const TLine& l : sec->Lines)
      if (!l.Key.empty() && SameName(l.Key, Ident)) return l.Value;
  return std::string(Default);
}

std::string TIniFile::ReadString(std::string_view Section, std::string_view Ident,
                                 std::string_view Default) const {
  if (!ValueExists(Section, Ident)) return std::string(Default);
  return StripQuotes(ReadRawString(Section, Ident, Default));
}

int TIniFile::ReadInteger(std::string_view Section, std::string_view Ident, int Default) const {
  const std::string s = ReadString(Section, Ident, "");
  return s.empty() ? Default : StrToIntDef(s, Default);
}

bool TIniFile::ReadBool(std::string_view Section, std::string_view Ident, bool Default) const {
  return ReadInteger(Section, Ident, Default ? 1 : 0) != 0;
}

bool TIniFile::SectionExists(std::string_view Section) const {
  return FindSection(Section) != nullptr;
}

bool TIniFile::ValueExists(std::string_view Section, std::string_view Ident) const {
  if (const TSection* sec = FindSection(Section))
    for (const TLine& l : sec->Lines)
      if (!l.Key.empty() && SameName(l.Key, Ident)) return true;
  return false;
}

std::vector<std::string> TIniFile::ReadSection(std::string_view Section) const {
  std::vector<std::string> keys;
  if (const TSection* sec = FindSection(Section))
    for (const TLine& l : sec->Lines)
      if (!l.Key.empty()) keys.push_back(l.Key);
  return keys;
}

void TIniFile::WriteString(std::string_view Section, std::string_view Ident,
                           std::string_view Value) {
  TSection* sec = FindSection(Section);
  if (sec == nullptr) {
    Sections_.push_back(TSection{std::string(Section), {}});
    sec = &Sections_.back();
  }
  const std::string text = std::string(Ident) + "=" + std::string(Value);
  bool replaced = false;
  for (TLine& l : sec->Lines) {
    if (!l.Key.empty() && SameName(l.Key, Ident)) {
      l = TLine{text, std::string(Ident), std::string(Value)};
      replaced = true;
      break;
    }
  }
  if (!replaced) {
    // New keys go after the section's last key, before trailing blank lines.
    std::size_t at = sec->Lines.size();
    while (at > 0 && Trim(sec->Lines[at - 1].Text).empty()) --at;
    sec->Lines.insert(sec->Lines.begin() + static_cast<std::ptrdiff_t>(at),
                      TLine{text, std::string(Ident), std::string(Value)});
  }
  Save();
}

void TIniFile::WriteInteger(std::string_view Section, std::string_view Ident, int Value) {
  WriteString(Section, Ident, IntToStr(Value));
}

void TIniFile::WriteBool(std::string_view Section, std::string_view Ident, bool Value) {
  WriteString(Section, Ident, Value ? "1" : "0");
}

void TIniFile::DeleteKey(std::string_view Section, std::string_view Ident) {
  TSection* sec = FindSection(Section);
  if (sec == nullptr) return;
  std::erase_if(sec->Lines,
                [&](const TLine& l) { return !l.Key.empty() && SameName(l.Key, Ident); });
  Save();
}

void TIniFile::EraseSection(std::string_view Section) {
  std::erase_if(Sections_, [&](const TSection& s) {
    return &s != &Sections_.front() && SameName(s.Name, Section);
  });
  Save();
}

void TIniFile::Save() const {
  const std::string bytes = Utf8ToCp1251(GetText());
  std::ofstream out(FileName_, std::ios::binary | std::ios::trunc);
  if (out) out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out) {
    throw EIniFileException::CreateFmt("Unable to write to %s", {FileName_.string()});
  }
}

}  // namespace probrix
