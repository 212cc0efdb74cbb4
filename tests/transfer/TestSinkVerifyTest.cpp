// SPDX-License-Identifier: Apache-2.0
// The workers' test mode (everything read and checked, nothing written) and the read-back of a
// renamed target against what was written.
#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <memory>

#include "TestUtil.h"
#include "crypto/AesLib.h"
#include "transfer/CopyThread.h"
#include "transfer/DecryptThread.h"
#include "transfer/GUnZipThread.h"

namespace qv {
namespace {

using test::TTempDir;

constexpr int kBuf = 65536;

struct TWorkerRow {
  const char* Name;
  const char* Backup;  // file name of the backup in the folder
  std::function<std::unique_ptr<TCopyThread>(const std::string&, const std::string&, TEncryption*)> Make;
};

const TWorkerRow kWorkers[] = {
    {"copy", "data.bin",
     [](const std::string& s, const std::string& d, TEncryption*) {
       return std::make_unique<TCopyThread>(s, d, true, kBuf, tpNormal);
     }},
    {"gunzip", "data.bin.gz",
     [](const std::string& s, const std::string& d, TEncryption* e) {
       return std::make_unique<TGUnZipThread>(s, d, e, true, kBuf, tpNormal);
     }},
    {"decrypt", "data.bin.enc",
     [](const std::string& s, const std::string& d, TEncryption* e) {
       return std::make_unique<TDecryptThread>(s, d, e, true, kBuf, tpNormal);
     }},
};

class SinkAndVerify : public ::testing::Test {
 protected:
  TTempDir dir;
  std::string data = test::RandomBytes(400'000, 5);
  TEncryption key{"pw", 0, 524288};
  void SetUp() override {
    ASSERT_TRUE(dir.Ok());
    ASSERT_TRUE(test::Run("mkdir '" + dir / "in" + "' '" + dir / "out" + "'"));
    ASSERT_TRUE(test::WriteFile(dir / "in/data.bin", data));
    ASSERT_TRUE(test::Run("gzip -n -k '" + dir / "in/data.bin" + "'"));
    TReadOnlyMemoryStream plain(data.data(), data.size());
    auto enc = TFileStream::Open(dir / "in/data.bin.enc", TOpenMode::Create);
    ASSERT_TRUE(enc && key.EncryptStream(plain, *enc, false));
  }
  void TearDown() override { TCopyThread::SetVerifyHook(nullptr); }
  int Run(const TWorkerRow& row, bool testOnly, bool verify) {
    auto worker = row.Make(dir / (std::string("in/") + row.Backup), dir / "out/data.bin", &key);
    worker->SetTestOnly(testOnly);
    worker->SetVerifyTarget(verify);
    EXPECT_TRUE(test::RunToEnd(*worker));
    return worker->ErrorCode().Value();
  }
};

TEST_F(SinkAndVerify, TestModeReadsAndChecksButWritesNothing) {
  for (const TWorkerRow& row : kWorkers) {
    SCOPED_TRACE(row.Name);
    EXPECT_EQ(Run(row, true, false), 0);
    EXPECT_TRUE(test::ListDir(dir / "out").empty());
    if (std::string(row.Name) == "copy") continue;  // a plain file has nothing to check
    // One flipped byte in the middle is found as a restore finds it, and still nothing written.
    const std::string path = dir / (std::string("in/") + row.Backup);
    std::string bytes = test::ReadFile(path);
    bytes[bytes.size() / 2] ^= 0x10;
    ASSERT_TRUE(test::WriteFile(path, bytes));
    const int tested = Run(row, true, false);
    EXPECT_NE(tested, 0);
    EXPECT_TRUE(test::ListDir(dir / "out").empty());
    EXPECT_EQ(Run(row, false, false), tested);
  }
}

TEST_F(SinkAndVerify, ReadBackFindsATargetChangedAfterItsRename) {
  for (const TWorkerRow& row : kWorkers) {
    SCOPED_TRACE(row.Name);
    TCopyThread::SetVerifyHook(nullptr);
    EXPECT_EQ(Run(row, false, true), 0);
    EXPECT_EQ(test::ReadFile(dir / "out/data.bin"), data);
    struct TChange {
      const char* What;
      std::function<void(const std::string&)> Apply;
    };
    const TChange changes[] = {
        {"one byte", [](const std::string& p) {
           std::string bytes = test::ReadFile(p);
           bytes[7] ^= 0x01;
           test::WriteFile(p, bytes);
         }},
        {"cut short", [](const std::string& p) { ASSERT_EQ(::truncate(p.c_str(), 1000), 0); }},
        {"grown", [](const std::string& p) { std::ofstream(p, std::ios::app | std::ios::binary) << "x"; }},
    };
    for (const TChange& change : changes) {
      SCOPED_TRACE(change.What);
      TCopyThread::SetVerifyHook(change.Apply);
      EXPECT_EQ(ErrorDetail(static_cast<uint32_t>(Run(row, false, true))), errVerifyFailed);
    }
  }
}

}  // namespace
}  // namespace qv
