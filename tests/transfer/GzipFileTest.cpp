// SPDX-License-Identifier: Apache-2.0
// The gzip container reader: name tests, headers from gzip/pigz and hand-built headers with
// the suite's size subfield, name encodings, and damaged headers.
#include "transfer/GzipFile.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <zlib.h>

#include <cstdio>
#include <string>
#include <vector>

#include "base/FileUtils.h"
#include "transfer/Inflater.h"
#include "transfer/TestUtil.h"

namespace qv {
namespace {

using test::ReadFile;
using test::TTempDir;
using test::WriteFile;

void PutLe(std::string& out, uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}

struct THeaderFields {
  uint8_t Flags = 0;
  uint8_t Os = 3;
  uint32_t MTime = 0x5F5E1234;
  std::string Extra;    // whole extra field (FLG bit 2)
  std::string Name;     // FLG bit 3
  std::string Comment;  // FLG bit 4
};

std::string BuildHeader(const THeaderFields& h) {
  std::string out = "\x1f\x8b\x08";
  out.push_back(static_cast<char>(h.Flags));
  PutLe(out, h.MTime, 4);
  out.push_back('\0');
  out.push_back(static_cast<char>(h.Os));
  if (h.Flags & gzfExtra) {
    PutLe(out, h.Extra.size(), 2);
    out += h.Extra;
  }
  if (h.Flags & gzfName) out += h.Name + '\0';
  if (h.Flags & gzfComment) out += h.Comment + '\0';
  if (h.Flags & gzfHeaderCrc) out += "\xAA\xBB";
  return out;
}

std::string SizeSubfield(int64_t csize, int64_t usize) {
  std::string f;
  PutLe(f, 1, 2);
  PutLe(f, 16, 2);
  PutLe(f, static_cast<uint64_t>(csize), 8);
  PutLe(f, static_cast<uint64_t>(usize), 8);
  return f;
}

// Header + fake body + trailer with the given ISIZE.
std::string Member(const std::string& header, const std::string& body, uint32_t isize) {
  std::string out = header + body;
  PutLe(out, 0x12345678, 4);
  PutLe(out, isize, 4);
  return out;
}

struct THeader {
  int Result = -1;
  std::string Filename;
  uint32_t UnixTime = 1;
  bool Encrypted = false;
  int64_t CSize = -1;
  int64_t USize = -1;
  bool Exact = true;
  int64_t BodyStart = -1;
};

THeader Parse(const std::string& bytes) {
  TReadOnlyMemoryStream stream(bytes.data(), bytes.size());
  THeader h;
  h.Result = ReadGzHeader(stream, h.Filename, h.UnixTime, h.Encrypted, h.CSize, h.USize, &h.Exact);
  h.BodyStart = stream.Position();
  return h;
}

TEST(GzipFile, NameTestsLookAtTheExtensionOnly) {
  EXPECT_TRUE(IsGzFile("A.GZ"));
  EXPECT_TRUE(IsGzFile("a.tar.gz"));
  EXPECT_TRUE(IsGzFile("/backup/set 1/report.doc.Gz"));
  EXPECT_FALSE(IsGzFile("a.gz.bak"));
  EXPECT_FALSE(IsGzFile("gz"));
  EXPECT_FALSE(IsGzFile("/backup/x.gz/readme"));  // the dot belongs to a folder
  EXPECT_FALSE(IsGzFile("a.gze"));
  EXPECT_TRUE(IsGzeFile("x.GZE"));
  EXPECT_FALSE(IsGzeFile("x.gz"));
  EXPECT_TRUE(IsEncFile("letter.txt.ENC"));
  EXPECT_FALSE(IsEncFile("letter.enc.txt"));
  EXPECT_FALSE(IsEncFile(""));
}

TEST(GzipFile, HeadersWrittenByGzipAndPigz) {
  TTempDir dir;
  ASSERT_TRUE(dir.Ok());
  const std::string data = test::RandomBytes(200000, 7);
  const std::string plain = dir / "report.txt";
  ASSERT_TRUE(WriteFile(plain, data));
  ASSERT_TRUE(test::Run("touch -d @1600000000 '" + plain + "'"));
  struct TCase {
    std::string Command;
    bool StoresName;
  };
  const TCase cases[] = {{"gzip -c", true}, {"gzip -n -c", false}, {"pigz -c", true}, {"pigz -n -c", false}};
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Command);
    const std::string gz = dir / "out.gz";
    ASSERT_TRUE(test::Run("cd '" + dir.Path() + "' && " + c.Command + " report.txt > out.gz"));
    const std::string bytes = ReadFile(gz);
    THeader h = Parse(bytes);
    ASSERT_EQ(h.Result, gzhOk);
    EXPECT_EQ(h.Filename, c.StoresName ? "report.txt" : "");
    EXPECT_EQ(h.UnixTime, c.StoresName ? 1600000000u : 0u);
    EXPECT_FALSE(h.Encrypted);
    EXPECT_FALSE(h.Exact);
    EXPECT_EQ(h.USize, static_cast<int64_t>(data.size()));
    EXPECT_EQ(h.CSize, static_cast<int64_t>(bytes.size()) - h.BodyStart - 8);

    // The position is the body: raw inflate from there gives the data back.
    TInflater inf;
    inf.SetInput(bytes.data() + h.BodyStart, bytes.size() - static_cast<size_t>(h.BodyStart));
    std::string out(data.size() + 16, '\0');
    size_t produced = 0;
    EXPECT_EQ(inf.Inflate(out.data(), out.size(), produced), TInflateStatus::StreamEnd);
    out.resize(produced);
    EXPECT_EQ(out, data);
    EXPECT_EQ(inf.AvailIn(), 8u);  // the trailer

    TGzFileInfo info;
    ASSERT_TRUE(GetGzFileInfo(gz, info));
    EXPECT_EQ(info.Filename, h.Filename);
    EXPECT_EQ(info.USize, h.USize);
    EXPECT_EQ(info.CSize, h.CSize);
    EXPECT_EQ(info.Attr & faArchive, faArchive);
  }
}

TEST(GzipFile, SizeSubfieldAndOtherExtraFields) {
  const std::string body = "BODYBYTES";
  // The suite's subfield: sizes taken as given (64-bit).
  {
    THeaderFields fields;
    fields.Flags = gzfExtra | gzfName;
    fields.Extra = SizeSubfield(0x123456789A, 0x1000000005);
    fields.Name = "big.bin";
    THeader h = Parse(Member(BuildHeader(fields), body, 5));
    ASSERT_EQ(h.Result, gzhOk);
    EXPECT_EQ(h.CSize, 0x123456789A);
    EXPECT_EQ(h.USize, 0x1000000005);
    EXPECT_TRUE(h.Exact);
    EXPECT_EQ(h.Filename, "big.bin");
    EXPECT_EQ(h.BodyStart, static_cast<int64_t>(BuildHeader(fields).size()));
  }
  // Bytes after the first 20 are skipped; stored zeros fall back to the defaults.
  {
    THeaderFields fields;
    fields.Flags = gzfExtra;
    fields.Extra = SizeSubfield(0, 0) + "PADDINGPADDING";
    const std::string header = BuildHeader(fields);
    THeader h = Parse(Member(header, body, 77));
    ASSERT_EQ(h.Result, gzhOk);
    EXPECT_EQ(h.BodyStart, static_cast<int64_t>(header.size()));
    EXPECT_EQ(h.CSize, static_cast<int64_t>(body.size()));
    EXPECT_EQ(h.USize, 77);
    EXPECT_FALSE(h.Exact);
  }
  // A field of 19 bytes is skipped whole even when it begins with ID 1.
  {
    THeaderFields fields;
    fields.Flags = gzfExtra;
    fields.Extra = SizeSubfield(1000, 2000).substr(0, 19);
    const std::string header = BuildHeader(fields);
    THeader h = Parse(Member(header, body, 9));
    ASSERT_EQ(h.Result, gzhOk);
    EXPECT_EQ(h.BodyStart, static_cast<int64_t>(header.size()));
    EXPECT_EQ(h.USize, 9);
    EXPECT_EQ(h.CSize, static_cast<int64_t>(body.size()));
  }
  // Another first subfield ID: the sizes are not read.
  {
    THeaderFields fields;
    fields.Flags = gzfExtra;
    fields.Extra = SizeSubfield(1000, 2000);
    fields.Extra[0] = 'A';
    fields.Extra[1] = 'P';
    THeader h = Parse(Member(BuildHeader(fields), body, 3));
    ASSERT_EQ(h.Result, gzhOk);
    EXPECT_EQ(h.USize, 3);
    EXPECT_FALSE(h.Exact);
  }
}

TEST(GzipFile, CommentHeaderCrcAndEncryptedFlag) {
  THeaderFields fields;
  fields.Flags = gzfExtra | gzfName | gzfComment | gzfHeaderCrc | gzfEncrypted | 0x01 | 0xC0;
  fields.Extra = SizeSubfield(4, 8);
  fields.Name = "n.txt";
  fields.Comment = "a comment that is dropped";
  fields.MTime = 0xFEDCBA98;
  const std::string header = BuildHeader(fields);
  THeader h = Parse(Member(header, "XXXX", 8));
  ASSERT_EQ(h.Result, gzhOk);
  EXPECT_TRUE(h.Encrypted);
  EXPECT_EQ(h.UnixTime, 0xFEDCBA98u);
  EXPECT_EQ(h.Filename, "n.txt");
  EXPECT_EQ(h.BodyStart, static_cast<int64_t>(header.size()));
}

TEST(GzipFile, NameEncodingFollowsTheOsByte) {
  const std::string cp1252 = "Gr\xFC\xDF" "e \x80.txt";  // "Grüße €.txt" in Windows-1252
  const std::string utf8 = "Gr\xC3\xBC\xC3\x9F" "e \xE2\x82\xAC.txt";
  THeaderFields fields;
  fields.Flags = gzfName;
  fields.Name = cp1252;
  fields.Os = 0;
  EXPECT_EQ(Parse(Member(BuildHeader(fields), "", 0)).Filename, utf8);
  fields.Os = 11;  // any other value: the bytes are UTF-8 already
  EXPECT_EQ(Parse(Member(BuildHeader(fields), "", 0)).Filename, cp1252);
  fields.Name = utf8;
  fields.Os = 3;
  EXPECT_EQ(Parse(Member(BuildHeader(fields), "", 0)).Filename, utf8);
}

TEST(GzipFile, DamagedHeaders) {
  // Not gzip at all.
  {
    THeader h = Parse("PK\x03\x04 this is no gzip file");
    EXPECT_EQ(h.Result, gzhBadMagic);
    EXPECT_EQ(h.UnixTime, 0u);
    EXPECT_EQ(h.Filename, "");
  }
  // Cut inside the fixed part, the extra field, the size subfield or the header CRC.
  THeaderFields fields;
  fields.Flags = gzfExtra | gzfHeaderCrc;
  fields.Extra = SizeSubfield(1, 2) + std::string(100, 'p');
  const std::string header = BuildHeader(fields);
  for (size_t cut : {size_t{0}, size_t{5}, size_t{9}, size_t{11}, size_t{20}, size_t{60}, header.size() - 1}) {
    SCOPED_TRACE(cut);
    EXPECT_EQ(Parse(header.substr(0, cut)).Result, gzhReadError);
  }
  // A name without its zero byte ends at the end of the stream; the missing trailer then
  // cannot give ISIZE.
  {
    THeaderFields named;
    named.Flags = gzfName;
    named.Name = "abc";
    std::string bytes = BuildHeader(named);
    bytes.pop_back();
    THeader h = Parse(bytes);
    EXPECT_EQ(h.Result, gzhOk);
    EXPECT_EQ(h.Filename, "abc");
  }
  // A very long name is consumed whole but kept short.
  {
    THeaderFields named;
    named.Flags = gzfName;
    named.Name = std::string(100000, 'n');
    const std::string header2 = BuildHeader(named);
    THeader h = Parse(Member(header2, "", 0));
    EXPECT_EQ(h.Result, gzhOk);
    EXPECT_EQ(h.BodyStart, static_cast<int64_t>(header2.size()));
    EXPECT_LT(h.Filename.size(), named.Name.size());
  }
}

TEST(GzipFile, FileInfoOfAFile) {
  TTempDir dir;
  ASSERT_TRUE(dir.Ok());
  THeaderFields fields;
  fields.Flags = gzfExtra | gzfName | gzfEncrypted;
  fields.Extra = SizeSubfield(10, 20);
  fields.Name = "doc.txt";
  fields.MTime = 1234567;
  const std::string path = dir / "doc.txt.gze";
  ASSERT_TRUE(WriteFile(path, Member(BuildHeader(fields), "0123456789", 20)));
  ASSERT_EQ(chmod(path.c_str(), 0444), 0);
  TGzFileInfo info;
  ASSERT_TRUE(GetGzFileInfo(path, info));
  EXPECT_EQ(info.Filename, "doc.txt");
  EXPECT_EQ(info.UnixTime, 1234567u);
  EXPECT_TRUE(info.Encrypted);
  EXPECT_EQ(info.CSize, 10);
  EXPECT_EQ(info.USize, 20);
  EXPECT_EQ(info.Attr & faReadOnly, faReadOnly);

  const std::string bad = dir / "bad.gz";
  ASSERT_TRUE(WriteFile(bad, "plain text, not compressed"));
  EXPECT_FALSE(GetGzFileInfo(bad, info));
  EXPECT_EQ(info.UnixTime, 0u);
  EXPECT_EQ(info.Filename, "");
  EXPECT_FALSE(GetGzFileInfo(dir / "missing.gz", info));
}

TEST(GzipFile, SizeFromIsizeKeepsTheHighHalfOfWhatWasWritten) {
  EXPECT_EQ(SizeFromIsize(5, 5), 5);
  EXPECT_EQ(SizeFromIsize(5, 6), 6);  // a mismatch stays a mismatch
  const int64_t big = (int64_t{1} << 32) + 1000;
  EXPECT_EQ(SizeFromIsize(big, 1000), big);
  EXPECT_NE(SizeFromIsize(big, 999), big);
  EXPECT_EQ(SizeFromIsize((int64_t{3} << 32), 0), int64_t{3} << 32);
}

}  // namespace
}  // namespace qv
