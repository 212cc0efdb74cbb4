// SPDX-License-Identifier: Apache-2.0
#include "base/CodePage.h"

#include <gtest/gtest.h>

using namespace qv;

namespace {

class CodePageTest : public ::testing::Test {
 protected:
  void TearDown() override { SetAnsiCodePage("CP1252"); }
};

}  // namespace

TEST_F(CodePageTest, Windows1252IsTheDefault) {
  EXPECT_EQ(AnsiCodePage(), "CP1252");
  EXPECT_EQ(AnsiToUtf8("Gr\xF6\xDF" "e \x80 \x93x\x94"), "Größe € “x”");
  EXPECT_EQ(Utf8ToAnsi("Größe € “x”"), "Gr\xF6\xDF" "e \x80 \x93x\x94");
  // 0x81 is not defined in Windows-1252.
  EXPECT_EQ(AnsiToUtf8("a\x81z"), "a?z");
  EXPECT_EQ(AnsiToUtf8(""), "");
}

TEST_F(CodePageTest, UnrepresentableAndInvalidBecomeQuestionMarks) {
  EXPECT_EQ(Utf8ToAnsi("Ω≈中 ok"), "??? ok");
  EXPECT_EQ(Utf8ToAnsi("😀x"), "?x");
  // A stray continuation byte, an overlong lead and a cut-off sequence at the end.
  EXPECT_EQ(Utf8ToAnsi("a\x80" "b\xC0\xAF" "c\xE2\x82"), "a?b??c?");
  // A long text crosses the internal buffer size.
  const std::string longText(5000, 'x');
  EXPECT_EQ(Utf8ToAnsi(longText + "€"), longText + "\x80");
}

TEST_F(CodePageTest, SelectableCodePage) {
  ASSERT_TRUE(SetAnsiCodePage("CP1250"));
  EXPECT_EQ(AnsiCodePage(), "CP1250");
  EXPECT_EQ(AnsiToUtf8("\x8A" "koda \xB9"), "Škoda ą");
  EXPECT_EQ(Utf8ToAnsi("łódź"), "\xB3\xF3" "d\x9F");
  EXPECT_FALSE(SetAnsiCodePage("NO-SUCH-CODEPAGE"));
  EXPECT_EQ(AnsiCodePage(), "CP1250");
  EXPECT_EQ(ConvertCodePage("x", "NO-SUCH-CODEPAGE", "UTF-8"), "");
}

TEST_F(CodePageTest, Oem437ForOldZipNames) {
  EXPECT_EQ(OemToUtf8("\x84\x94\x81\xE1"), "äöüß");
  EXPECT_EQ(OemToUtf8("Bericht \xC9\xCD\xBB.txt"), "Bericht ╔═╗.txt");
}
