#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "foundation/appExceptions.h"
#include "foundation/appIniFiles.h"
#include "support/TestSupport.h"

namespace probrix {
namespace {

std::string ReadBytes(const std::filesystem::path& P) {
  std::ifstream in(P, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

void WriteBytes(const std::filesystem::path& P, const std::string& Bytes) {
  std::ofstream out(P, std::ios::binary);
  out << Bytes;
}

TEST(IniFile, WritingOneKeyKeepsTheRestOfTheFile) {
  test::TTempDir dir;
  const auto path = dir.Path() / "probrix.ini";
  WriteBytes(path,
             "; comment\r\n[Other]\r\nKeep=1\r\n\r\n[SearchParams]\r\nTimeout=200\r\n"
             "Name=\xCF\xF0\xE8\xE1\xEE\xF0\r\n");
  TIniFile ini(path);
  EXPECT_EQ(ini.ReadString("searchparams", "NAME", ""), "Прибор");
  EXPECT_EQ(ini.ReadInteger("SearchParams", "timeout", 0), 200);
  ini.WriteInteger("SEARCHPARAMS", "Timeout", 300);
  ini.WriteString("SearchParams", "Endpoint", "\"10.0.0.1:502\"");
  ini.WriteString("New", "Ключ", "значение");
  EXPECT_EQ(ReadBytes(path),
            "; comment\r\n[Other]\r\nKeep=1\r\n\r\n[SearchParams]\r\nTimeout=300\r\n"
            "Name=\xCF\xF0\xE8\xE1\xEE\xF0\r\nEndpoint=\"10.0.0.1:502\"\r\n[New]\r\n"
            "\xCA\xEB\xFE\xF7=\xE7\xED\xE0\xF7\xE5\xED\xE8\xE5\r\n");

  TIniFile again(path);
  EXPECT_EQ(again.ReadInteger("SearchParams", "Timeout", 0), 300);
  EXPECT_EQ(again.ReadString("SearchParams", "Endpoint", ""), "10.0.0.1:502");
  EXPECT_EQ(again.ReadString("new", "КЛЮЧ", ""), "значение");
  EXPECT_EQ(again.ReadString("Other", "Keep", ""), "1");
  EXPECT_EQ(again.ReadSection("SearchParams"),
            (std::vector<std::string>{"Timeout", "Name", "Endpoint"}));
}

TEST(IniFile, MissingFileAndDefaults) {
  test::TTempDir dir;
  TIniFile ini(dir.Path() / "none.ini");
  EXPECT_EQ(ini.ReadString("A", "B", "def"), "def");
  EXPECT_EQ(ini.ReadInteger("A", "B", 7), 7);
  EXPECT_TRUE(ini.ReadBool("A", "B", true));
  EXPECT_FALSE(ini.SectionExists("A"));
  ini.SetText("[A]\nB=x\nC=0\nD=1\n");
  EXPECT_EQ(ini.ReadInteger("A", "B", 7), 7);
  EXPECT_FALSE(ini.ReadBool("A", "C", true));
  EXPECT_TRUE(ini.ReadBool("A", "D", false));
  EXPECT_TRUE(ini.ValueExists("a", "d"));
}

TEST(IniFile, GarbageLoadsWithoutFailing) {
  std::string junk;
  for (int i = 0; i < 4096; ++i) junk.push_back(static_cast<char>((i * 7919) % 256));
  TIniFile ini("/nonexistent/dir/x.ini");
  ini.SetText(junk + "\n[S]\nK=V");
  EXPECT_EQ(ini.ReadString("S", "K", ""), "V");
  EXPECT_THROW(ini.WriteString("S", "K", "W"), EIniFileException);
}

TEST(IniFile, DeleteAndErase) {
  test::TTempDir dir;
  TIniFile ini(dir.Path() / "a.ini");
  ini.WriteString("A", "x", "1");
  ini.WriteString("A", "y", "2");
  ini.WriteString("B", "z", "3");
  ini.DeleteKey("A", "X");
  ini.EraseSection("b");
  EXPECT_EQ(ReadBytes(dir.Path() / "a.ini"), "[A]\r\ny=2\r\n");
}

}  // namespace
}  // namespace probrix
