// SPDX-License-Identifier: Apache-2.0
#include "base/FtGlobal.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <initializer_list>
#include <string>
#include <utility>

using namespace qv;

namespace {

// Rows of a code and its text.
void ExpectMessages(std::initializer_list<std::pair<uint32_t, std::string>> rows) {
  for (const auto& [code, text] : rows) EXPECT_EQ(GetErrorMessage(code), text) << std::hex << code;
}

}  // namespace

TEST(GetErrorMessage, ComposesPrefixDetailAndSuffix) {
  ExpectMessages({
      {0x10B, "Error: Decryption failed"}, {0x610B, "Error: Decryption failed (Decrypt)"},
      {0x304, "Error(2): Could not read from file"}, {0x206, "Warning: File attributes could not be set"},
      {0x080, "Info: Terminated by user"}, {0x1080, "Info: Terminated by user (Copy)"},
      {0x310E, "Error: File not found (gunzip)"}, {0x4121, "Error: Could not extract file (Zip)"},
      {0x2008, "Info: Illegal gzip header (gzip)"}, {0x511D, "Error: Timeout error on copying file via FTP (Encrypt)"},
  });
}

TEST(GetErrorMessage, UnknownDetailsAndMarks) {
  ExpectMessages({
      {0x414, "Info: Unknown code (00000414)"}, {0x1014, "Info: Unknown code (00001014) (Copy)"},
      {0, "Info: Unknown code (00000000)"},
      {0x7101, "Error: Could not create file"}, {0xF101, "Error: Could not create file"},
      {0xABC10000, "Info: Unknown code (ABC10000)"}, {0x12345601, "Info: Could not create file (Encrypt)"},
  });
}

TEST(GetErrorMessage, EveryAssignedDetailHasItsOwnText) {
  const uint32_t assigned[] = {1,  2,  3,  4,  5,  6,  7,  8,  9,  10, 11, 12, 13, 14, 15, 16,
                               17, 18, 19, 24, 25, 26, 27, 28, 29, 32, 33, 34, 35, 36, 37,
                               38, 39, 40, 41, 42, 128};
  for (uint32_t d = 0; d < 256; ++d) {
    const bool known = std::find(std::begin(assigned), std::end(assigned), d) != std::end(assigned);
    EXPECT_EQ(GetErrorMessage(0x100 | d).find("Unknown code") == std::string::npos, known) << d;
  }
}

TEST(MsgFormats, QuoteTheName) {
  EXPECT_EQ(FormatMsg(MsgErrorOpening(), "a.zip"), "Error opening \"a.zip\"");
  EXPECT_EQ(FormatMsg(MsgErrorReading(), "a.zip"), "Error reading from \"a.zip\"");
  EXPECT_EQ(FormatMsg(MsgErrorSetAttr(), "x"), "Error setting attributes of \"x\"");
  EXPECT_EQ(FormatMsg(MsgErrorSetTime(), "x"), "Error setting timestamp of \"x\"");
}

TEST(TErrorCode, NamedPartsKeepTheNumericValue) {
  struct Row { TErrorCode code; uint32_t value, detail, severity, operation; };
  const Row rows[] = {
      {TErrorCode(sevError, errDecrypt, opDecrypt), 0x610B, errDecrypt, sevError, opDecrypt},
      {TErrorCode(sevInfo, errUserBreak), 0x080, errUserBreak, sevInfo, opNone},
      {TErrorCode(sevError, errReadFile).WithOperation(opGunzip), 0x3104, errReadFile, sevError, opGunzip},
      {TErrorCode::FromValue(0x4121).WithOperation(opCopy), 0x1121, errZipExtract, sevError, opCopy},
      {TErrorCode(sevError2, 0x1FF, 0x7000), 0x73FF, 0xFF, sevError2, 0x7000},  // parts never spill
  };
  for (const auto& r : rows) {
    EXPECT_EQ(r.code.Value(), r.value);
    EXPECT_EQ(r.code.Detail(), r.detail);
    EXPECT_EQ(r.code.Severity(), r.severity);
    EXPECT_EQ(r.code.Operation(), r.operation);
    EXPECT_EQ(r.code.Message(), GetErrorMessage(r.value));
    EXPECT_TRUE(r.code);
  }
  EXPECT_FALSE(TErrorCode());
}
