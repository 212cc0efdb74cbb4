// SPDX-License-Identifier: Apache-2.0
// How the session answers the ways an encrypted file can fail: only a wrong password leads
// to another question; a damaged file is reported as corrupt and the password stays.
#include <gtest/gtest.h>

#include "restore/RestoreSession.h"
#include "ScriptedView.h"

namespace qv::test {
namespace {

class DecryptFailureRun : public TRestoreFixture {
 protected:
  DecryptFailureRun() : TRestoreFixture("qvdecryptfail") {}
};

TEST_F(DecryptFailureRun, DamagedFileIsCorruptAndThePasswordIsKept) {
  const std::string data = RandomBytes(200000, 4);
  ASSERT_TRUE(WriteEncFile(Src("good.bin.enc"), data, "right"));
  const std::string intact = ReadFile(Src("good.bin.enc"));
  struct TCase {
    const char* Name;
    size_t FlipAt;  // from the end of the file
  };
  const TCase cases[] = {{"ciphertext", intact.size() / 2}, {"authentication code", 3}};
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    std::string bad = intact;
    bad[bad.size() - c.FlipAt] ^= 0x01;
    ASSERT_TRUE(WriteFile(Src("bad.bin.enc"), bad));
    view.Mode = rmFiles;
    view.Overwrite = omAlways;
    view.Items = {Src("bad.bin.enc"), Src("good.bin.enc")};
    view.Prompts.clear();
    view.PasswordAnswers = {{paOk, "right"}, {paOk, "right"}};
    session.Start(view.RunOptions());
    ASSERT_EQ(view.Prompts.size(), 1u);  // no second question for a damaged file
    EXPECT_FALSE(FileExists(Dst("bad.bin")));
    EXPECT_EQ(ReadFile(Dst("good.bin")), data);
    EXPECT_EQ(view.DetailMessage, "1 file copied - 1 error");
    ASSERT_EQ(view.Details.size(), 3u);
    EXPECT_EQ(view.Details[1], "   Error: Corrupt file (Decrypt)");
    EXPECT_EQ(view.Details[2], "   the authentication code does not match the data, or they are cut short");
  }
}

}  // namespace
}  // namespace qv::test
