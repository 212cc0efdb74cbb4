#include "base/PathUtils.h"

#include <gtest/gtest.h>

using namespace qv;

TEST(LongPath, PrefixesDriveAndNetworkPathsOnly) {
  EXPECT_EQ(LongPath("C:\\x"), "\\\\?\\C:\\x");
  EXPECT_EQ(LongPath("\\\\host\\s\\x"), "\\\\?\\UNC\\host\\s\\x");
  EXPECT_EQ(LongPath("\\\\?\\UNC\\host\\s"), "\\\\?\\UNC\\host\\s");
  EXPECT_EQ(LongPath("\\\\?\\C:\\x"), "\\\\?\\C:\\x");
  EXPECT_EQ(LongPath("rel\\x"), "rel\\x");
  EXPECT_EQ(LongPath("x"), "x");
  EXPECT_EQ(LongPath(""), "\\\\?\\");
  EXPECT_EQ(LongPath("/home/u/a:b"), "/home/u/a:b");
}

TEST(PathParts, DelimitersFoldersAndNames) {
  EXPECT_EQ(AddPathDelimiter(""), "");
  EXPECT_EQ(AddPathDelimiter("/a"), "/a/");
  EXPECT_EQ(AddPathDelimiter("/a/"), "/a/");
  EXPECT_EQ(IncludeTrailingDelimiter(""), "/");
  EXPECT_EQ(ExcludeTrailingDelimiter("/a/b//"), "/a/b");
  EXPECT_EQ(ExcludeTrailingDelimiter("/"), "/");
  EXPECT_EQ(ExtractFilePath("/a/b/c.txt"), "/a/b/");
  EXPECT_EQ(ExtractFilePath("c.txt"), "");
  EXPECT_EQ(ExtractFileDir("/a/b/c.txt"), "/a/b");
  EXPECT_EQ(ExtractFileDir("/c.txt"), "/");
  EXPECT_EQ(ExtractFileName("/a/b/c.txt"), "c.txt");
  EXPECT_EQ(ExtractFileName("/a/b/"), "");
  EXPECT_TRUE(IsAbsolutePath("/x"));
  EXPECT_FALSE(IsAbsolutePath("x/y"));
  EXPECT_FALSE(IsAbsolutePath("%AppPath%/x.ini"));
  EXPECT_FALSE(IsAbsolutePath(""));
}

TEST(PathParts, ExtensionsBelongToTheNamePartOnly) {
  EXPECT_EQ(GetExtension("/d/report.doc.gze"), "gze");
  EXPECT_EQ(GetExtension("/d.x/report"), "");
  EXPECT_EQ(GetExtension("name."), "");
  EXPECT_EQ(DeleteExtension("/d/report.doc.gze"), "/d/report.doc");
  EXPECT_EQ(DeleteExtension("/d.x/report"), "/d.x/report");
  EXPECT_EQ(NewExtension("/d/a.txt", ".ini"), "/d/a.ini");
  EXPECT_EQ(NewExtension("/d/a.txt", "cfg"), "/d/a.cfg");
  EXPECT_EQ(NewExtension("/d/a.txt", ""), "/d/a");
  EXPECT_EQ(NewExtension("/d.x/a", "ini"), "/d.x/a.ini");
}

TEST(CombineFileName, AddsDefaultExtensionAndKeepsAbsoluteNames) {
  EXPECT_EQ(CombineFileName("/d", "f", "cfg"), "/d/f.cfg");
  EXPECT_EQ(CombineFileName("/d/", "f", ".cfg"), "/d/f.cfg");
  EXPECT_EQ(CombineFileName("/d", "f.x", "cfg"), "/d/f.x");
  EXPECT_EQ(CombineFileName("/d", "/e/f.x", "cfg"), "/e/f.x");
  EXPECT_EQ(CombineFileName("", "f", "cfg"), "f.cfg");
  EXPECT_EQ(CombineFileName("/d", "f"), "/d/f");
}

TEST(ShortenPath, KeepsBeginningAndLastName) {
  const std::string short49(49, 'a');
  EXPECT_EQ(ShortenPath(short49, 50), short49);
  const std::string exact50 = "/home/user/" + std::string(39, 'b');
  ASSERT_EQ(exact50.size(), 50u);
  // Exactly maxLength counts as too long.
  EXPECT_EQ(ShortenPath(exact50, 50), "/home/.../" + std::string(39, 'b'));

  const std::string path = "/home/user/documents/projects/2024/reports/summary.txt";
  EXPECT_EQ(ShortenPath(path, 50), "/home/user/documents/projects/2024/.../summary.txt");
  EXPECT_EQ(ShortenPath(path, 45), "/home/user/documents/projects/.../summary.txt");
  EXPECT_EQ(ShortenPath(path, 30), "/home/user/.../summary.txt");
  EXPECT_EQ(ShortenPath(path, 16), "/.../summary.txt");
  EXPECT_EQ(ShortenPath(path, 15), ".../summary.txt");
  // A trailing delimiter stays with the last name.
  EXPECT_EQ(ShortenPath("/aaaa/bbbb/cccc/dddd/", 16), "/aaaa/.../dddd/");
  EXPECT_EQ(ShortenPath(std::string(60, 'z'), 50), "..." + std::string(47, 'z'));
  for (size_t max : {10u, 20u, 50u}) EXPECT_LE(Utf8Length(ShortenPath(path, max)), max);
}

TEST(ShortenPath, CountsCharactersNotBytes) {
  const std::string path = "/über/größe/äöü/ßßßßßß/datei.txt";  // 32 characters, 41 bytes
  EXPECT_EQ(Utf8Length(path), 32u);
  EXPECT_EQ(ShortenPath(path, 33), path);
  EXPECT_EQ(ShortenPath(path, 25), "/über/größe/.../datei.txt");
  EXPECT_EQ(ShortenPath(path, 24), "/über/.../datei.txt");
  // The tail is cut between characters, never inside one.
  EXPECT_EQ(ShortenPath("äöüäöüäöüäöü", 8), "...öüäöü");
}

TEST(StripPrefix, AcceptsAbbreviationsOfTheKeyword) {
  for (const char* arg : {"l:de", "LA:de", "lang:de", ":de"}) {
    std::string text = arg;
    EXPECT_TRUE(StripPrefix(text, "lang")) << arg;
    EXPECT_EQ(text, "de") << arg;
  }
  for (const char* arg : {"language:de", "x:de", "lang", "ln:de"}) {
    std::string text = arg;
    EXPECT_FALSE(StripPrefix(text, "lang")) << arg;
    EXPECT_EQ(text, arg);
  }
  std::string path = "i:/a:b/c";
  EXPECT_TRUE(StripPrefix(path, "ini"));
  EXPECT_EQ(path, "/a:b/c");
}

TEST(PadLeft, PadsToCharacters) {
  EXPECT_EQ(PadLeft("ab", 5), "   ab");
  EXPECT_EQ(PadLeft("abcdef", 3), "abcdef");
  EXPECT_EQ(PadLeft("äb", 3), " äb");
}
