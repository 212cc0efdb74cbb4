// SPDX-License-Identifier: Apache-2.0
#include "base/PathUtils.h"

#include <gtest/gtest.h>

#include <initializer_list>

using namespace qv;

namespace {

struct TRow { std::string Arg, Expected; };
struct TShortenRow { std::string Path; size_t Max; std::string Expected; };

void ExpectRows(const char* function, std::string (*call)(const std::string&), std::initializer_list<TRow> rows) {
  for (const TRow& row : rows) EXPECT_EQ(call(row.Arg), row.Expected) << function << "(\"" << row.Arg << "\")";
}

void ExpectShortened(std::initializer_list<TShortenRow> rows) {
  for (const TShortenRow& row : rows)
    EXPECT_EQ(ShortenPath(row.Path, row.Max), row.Expected) << row.Path << " " << row.Max;
}

}  // namespace

TEST(LongPath, PrefixesDriveAndNetworkPathsOnly) {
  ExpectRows("LongPath", LongPath, {
      {"C:\\x", "\\\\?\\C:\\x"}, {"\\\\host\\s\\x", "\\\\?\\UNC\\host\\s\\x"},
      {"\\\\?\\UNC\\host\\s", "\\\\?\\UNC\\host\\s"}, {"\\\\?\\C:\\x", "\\\\?\\C:\\x"},
      {"rel\\x", "rel\\x"}, {"x", "x"},
      {"", "\\\\?\\"}, {"/home/u/a:b", "/home/u/a:b"},
  });
}

TEST(PathParts, DelimitersFoldersAndNames) {
  ExpectRows("AddPathDelimiter", AddPathDelimiter, {{"", ""}, {"/a", "/a/"}, {"/a/", "/a/"}});
  ExpectRows("IncludeTrailingDelimiter", IncludeTrailingDelimiter, {{"", "/"}});
  ExpectRows("ExcludeTrailingDelimiter", ExcludeTrailingDelimiter, {{"/a/b//", "/a/b"}, {"/", "/"}});
  ExpectRows("ExtractFilePath", ExtractFilePath, {{"/a/b/c.txt", "/a/b/"}, {"c.txt", ""}});
  ExpectRows("ExtractFileDir", ExtractFileDir, {{"/a/b/c.txt", "/a/b"}, {"/c.txt", "/"}});
  ExpectRows("ExtractFileName", ExtractFileName, {{"/a/b/c.txt", "c.txt"}, {"/a/b/", ""}});
  const struct { std::string Path; bool Absolute; } rows[] = {
      {"/x", true}, {"x/y", false}, {"%AppPath%/x.ini", false}, {"", false}};
  for (const auto& row : rows) EXPECT_EQ(IsAbsolutePath(row.Path), row.Absolute) << row.Path;
}

TEST(PathParts, ExtensionsBelongToTheNamePartOnly) {
  ExpectRows("GetExtension", GetExtension, {{"/d/report.doc.gze", "gze"}, {"/d.x/report", ""}, {"name.", ""}});
  ExpectRows("DeleteExtension", DeleteExtension,
             {{"/d/report.doc.gze", "/d/report.doc"}, {"/d.x/report", "/d.x/report"}});
  const struct { std::string Name, Ext, Expected; } rows[] = {
      {"/d/a.txt", ".ini", "/d/a.ini"}, {"/d/a.txt", "cfg", "/d/a.cfg"},
      {"/d/a.txt", "", "/d/a"},         {"/d.x/a", "ini", "/d.x/a.ini"}};
  for (const auto& row : rows) EXPECT_EQ(NewExtension(row.Name, row.Ext), row.Expected) << row.Name << " " << row.Ext;
}

TEST(CombineFileName, AddsDefaultExtensionAndKeepsAbsoluteNames) {
  const struct { std::string Dir, Name, DefaultExt, Expected; } rows[] = {
      {"/d", "f", "cfg", "/d/f.cfg"},    {"/d/", "f", ".cfg", "/d/f.cfg"}, {"/d", "f.x", "cfg", "/d/f.x"},
      {"/d", "/e/f.x", "cfg", "/e/f.x"}, {"", "f", "cfg", "f.cfg"}};
  for (const auto& row : rows) EXPECT_EQ(CombineFileName(row.Dir, row.Name, row.DefaultExt), row.Expected) << row.Name;
  EXPECT_EQ(CombineFileName("/d", "f"), "/d/f");
}

TEST(ShortenPath, KeepsBeginningAndLastName) {
  const std::string exact50 = "/home/user/" + std::string(39, 'b');
  ASSERT_EQ(exact50.size(), 50u);
  const std::string path = "/home/user/documents/projects/2024/reports/summary.txt";
  ExpectShortened({
      {std::string(49, 'a'), 50, std::string(49, 'a')},
      {exact50, 50, "/home/.../" + std::string(39, 'b')},  // exactly maxLength counts as too long
      {path, 50, "/home/user/documents/projects/2024/.../summary.txt"},
      {path, 45, "/home/user/documents/projects/.../summary.txt"},
      {path, 30, "/home/user/.../summary.txt"},
      {path, 16, "/.../summary.txt"},
      {path, 15, ".../summary.txt"},
      {"/aaaa/bbbb/cccc/dddd/", 16, "/aaaa/.../dddd/"},  // a trailing delimiter stays with the last name
      {std::string(60, 'z'), 50, "..." + std::string(47, 'z')},
  });
  for (size_t max : {10u, 20u, 50u}) EXPECT_LE(Utf8Length(ShortenPath(path, max)), max);
}

TEST(ShortenPath, CountsCharactersNotBytes) {
  const std::string path = "/über/größe/äöü/ßßßßßß/datei.txt";  // 32 characters, 41 bytes
  EXPECT_EQ(Utf8Length(path), 32u);
  ExpectShortened({
      {path, 33, path},
      {path, 25, "/über/größe/.../datei.txt"},
      {path, 24, "/über/.../datei.txt"},
      {"äöüäöüäöüäöü", 8, "...öüäöü"},  // the tail is cut between characters, never inside one
  });
}

TEST(StripPrefix, AcceptsAbbreviationsOfTheKeyword) {
  // Rest: the text afterwards, unchanged when nothing was stripped.
  const struct { std::string Arg, Keyword; bool Stripped; std::string Rest; } rows[] = {
      {"l:de", "lang", true, "de"},   {"LA:de", "lang", true, "de"},    {"lang:de", "lang", true, "de"},
      {":de", "lang", true, "de"},    {"language:de", "lang", false, "language:de"},
      {"x:de", "lang", false, "x:de"}, {"lang", "lang", false, "lang"}, {"ln:de", "lang", false, "ln:de"},
      {"i:/a:b/c", "ini", true, "/a:b/c"},  // only the first colon separates
  };
  for (const auto& row : rows) {
    std::string text = row.Arg;
    EXPECT_EQ(StripPrefix(text, row.Keyword), row.Stripped) << row.Arg;
    EXPECT_EQ(text, row.Rest) << row.Arg;
  }
}

TEST(PadLeft, PadsToCharacters) {
  const struct { std::string Text; size_t Width; std::string Expected; } rows[] = {
      {"ab", 5, "   ab"}, {"abcdef", 3, "abcdef"}, {"äb", 3, " äb"}};
  for (const auto& row : rows) EXPECT_EQ(PadLeft(row.Text, row.Width), row.Expected) << row.Text;
}
