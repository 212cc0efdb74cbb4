// SPDX-License-Identifier: Apache-2.0
#include "base/IniFile.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "TestDir.h"

using namespace qv;
using qv::test::TTestDir;

namespace {

std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

}  // namespace

TEST(IniFile, RoundTripKeepsUnknownKeysCommentsAndOrder) {
  TTestDir dir;
  const std::string file = dir.Write("QuorvexRestore.ini",
                                     "; settings\n"
                                     "[Config]\n"
                                     "Left=10\n"
                                     "Future=keep me\n"
                                     "\n"
                                     "[Other]\n"
                                     "# note\n"
                                     "x = 1\n");
  TIniFile ini(file);
  EXPECT_EQ(ini.ReadInteger("config", "LEFT", 0), 10);
  EXPECT_EQ(ini.ReadString("Other", "x"), "1");
  ini.WriteInteger("Config", "Left", 25);
  ini.WriteString("Config", "Source", "/backup/set 1");
  ini.WriteBool("Config", "GZip", true);
  ini.WriteBool("Config", "Protected", false);
  ini.WriteString("New", "a", "b");
  ASSERT_TRUE(ini.UpdateFile());
  EXPECT_EQ(ReadText(file),
            "; settings\n"
            "[Config]\n"
            "Left=25\n"
            "Future=keep me\n"
            "Source=/backup/set 1\n"
            "GZip=1\n"
            "Protected=0\n"
            "\n"
            "[Other]\n"
            "# note\n"
            "x = 1\n"
            "\n"
            "[New]\n"
            "a=b\n");
  TIniFile again(file);
  EXPECT_TRUE(again.ReadBool("Config", "GZip", false));
  EXPECT_FALSE(again.ReadBool("Config", "Protected", true));
  EXPECT_EQ(again.ReadSection("Config"),
            (std::vector<std::string>{"Left", "Future", "Source", "GZip", "Protected"}));
}

TEST(IniFile, ReadsValuesLeniently) {
  TTestDir dir;
  const std::string file = dir.Write("a.ini",
                                     "\xEF\xBB\xBF[Language]\r\n"
                                     "LangID = \"de\" \r\n"
                                     "Hex=0x1F\r\n"
                                     "Dollar=$10\r\n"
                                     "Neg=-42\r\n"
                                     "Bad=12abc\r\n"
                                     "Big=99999999999999999999\r\n"
                                     "Word=true\r\n");
  TIniFile ini(file);
  EXPECT_EQ(ini.ReadString("Language", "LangID"), "de");
  const struct { std::string Key; int Default, Value; } integers[] = {
      {"Hex", 0, 31}, {"Dollar", 0, 16}, {"Neg", 0, -42}, {"Bad", 7, 7}, {"Big", 7, 7}, {"Missing", 7, 7}};
  for (const auto& row : integers) EXPECT_EQ(ini.ReadInteger("Language", row.Key, row.Default), row.Value) << row.Key;
  EXPECT_TRUE(ini.ReadBool("Language", "Word", false));
  EXPECT_TRUE(ini.ReadBool("Language", "Missing", true));
  EXPECT_TRUE(ini.ValueExists("language", "langid"));
  EXPECT_FALSE(ini.SectionExists("Config"));

  // Line endings and the byte-order mark survive a rewrite.
  ini.WriteString("Language", "LangID", "fr");
  ASSERT_TRUE(ini.UpdateFile());
  const std::string text = ReadText(file);
  EXPECT_EQ(text.rfind("\xEF\xBB\xBF[Language]\r\nLangID=fr\r\nHex=0x1F\r\n", 0), 0u);
}

TEST(IniFile, ValuesCannotInjectKeys) {
  TTestDir dir;
  const std::string file = dir / "s.ini";
  ASSERT_TRUE(WriteIniString(file, "Config", "Target", "/x\n[Evil]\nKey=1"));
  EXPECT_EQ(ReadIniString(file, "Config", "Target"), "/x [Evil] Key=1");
  EXPECT_FALSE(TIniFile(file).SectionExists("Evil"));
}

TEST(IniFile, ChangesMergeWithWhatOthersWroteMeanwhile) {
  TTestDir dir;
  const std::string file = dir / "QuorvexRestore.ini";
  TIniFile session(file);  // loaded while the file does not exist yet
  session.WriteString("Config", "Target", "/restore");

  ASSERT_TRUE(EraseIniSection(file, "DirDialog"));
  ASSERT_TRUE(WriteIniString(file, "DirDialog", "History0", "/a"));
  ASSERT_TRUE(WriteIniInteger(file, "DirDialog", "Top", 120));
  ASSERT_TRUE(WriteIniBool(file, "DirDialog", "Fileview", true));
  ASSERT_TRUE(FlushIniFile(file));

  ASSERT_TRUE(session.UpdateFile());
  EXPECT_EQ(ReadIniString(file, "DirDialog", "History0"), "/a");
  EXPECT_EQ(ReadIniInteger(file, "DirDialog", "Top"), 120);
  EXPECT_TRUE(ReadIniBool(file, "DirDialog", "Fileview", false));
  EXPECT_EQ(ReadIniString(file, "Config", "Target"), "/restore");

  ASSERT_TRUE(EraseIniSection(file, "DirDialog"));
  EXPECT_EQ(ReadIniString(file, "DirDialog", "History0", "none"), "none");
  EXPECT_EQ(ReadIniString(file, "Config", "Target"), "/restore");
  // No temporary files are left behind.
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.Path()),
                          std::filesystem::directory_iterator()),
            1);
}

TEST(IniFile, FailedWriteReportsFalseAndKeepsTheFile) {
  TTestDir dir;
  EXPECT_FALSE(WriteIniString(dir / "missing/folder/x.ini", "S", "k", "v"));
  const std::string file = dir.Write("keep.ini", "[S]\nk=v\n");
  ::chmod(file.c_str(), 0600);
  // Replacing keeps the permissions of the file.
  ASSERT_TRUE(WriteIniString(file, "S", "k", "w"));
  struct stat st{};
  ASSERT_EQ(::stat(file.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_EQ(ReadIniString(file, "S", "k"), "w");
}
