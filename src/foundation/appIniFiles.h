#pragma once

// INI files as the system keeps them: sections, keys compared without regard to case, values
// with one pair of enclosing quotes stripped on reading, Windows-1251 bytes and CR LF on disk.
// Writing one key rewrites the file and keeps every other section, key and comment.

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace probrix {

class TIniFile {
 public:
  // Reads the file if it exists; a missing or unreadable file is an empty one.
  explicit TIniFile(std::filesystem::path FileName);
  // The file named in UTF-8, the program's own encoding of names (not the system's narrow one).
  explicit TIniFile(const std::string& FileName);
  explicit TIniFile(const char* FileName) : TIniFile(std::string(FileName)) {}

  const std::filesystem::path& FileName() const { return FileName_; }

  std::string ReadString(std::string_view Section, std::string_view Ident,
                         std::string_view Default) const;
  // The value exactly as stored, enclosing quotes included.
  std::string ReadRawString(std::string_view Section, std::string_view Ident,
                            std::string_view Default) const;
  int ReadInteger(std::string_view Section, std::string_view Ident, int Default) const;
  bool ReadBool(std::string_view Section, std::string_view Ident, bool Default) const;
  bool SectionExists(std::string_view Section) const;
  bool ValueExists(std::string_view Section, std::string_view Ident) const;
  std::vector<std::string> ReadSection(std::string_view Section) const;  // the keys in order

  // Each write updates the file at once; failures throw EIniFileException.
  void WriteString(std::string_view Section, std::string_view Ident, std::string_view Value);
  void WriteInteger(std::string_view Section, std::string_view Ident, int Value);
  void WriteBool(std::string_view Section, std::string_view Ident, bool Value);
  void DeleteKey(std::string_view Section, std::string_view Ident);
  void EraseSection(std::string_view Section);

  // Parses INI text (UTF-8) into this object, replacing what it held; never fails.
  void SetText(std::string_view Utf8Text);
  // The whole file as UTF-8 text with CR LF line ends.
  std::string GetText() const;

 private:
  struct TLine {
    std::string Text;  // the raw line (comments, blanks, unparsable lines kept as they are)
    std::string Key;   // empty when the line is not a key=value line
    std::string Value;
  };
  struct TSection {
    std::string Name;  // empty for lines before the first section header
    std::vector<TLine> Lines;
  };

  TSection* FindSection(std::string_view Name);
  const TSection* FindSection(std::string_view Name) const;
  void Save() const;

  std::filesystem::path FileName_;
  std::vector<TSection> Sections_;
};

}  // namespace probrix
