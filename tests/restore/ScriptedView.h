// SPDX-License-Identifier: Apache-2.0
#pragma once
// A front-end for the tests: options as fields, scripted answers, and a record of
// everything the session showed; and the fixture that runs a session with it on real folders.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <utime.h>

#include <cstdlib>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "crypto/AesLib.h"
#include "base/Stream.h"
#include "restore/RestoreSession.h"
#include "transfer/TestUtil.h"

namespace qv::test {

class TScriptedView : public IRestoreView {
 public:
  static int JobsFromEnvironment() {
    const char* jobs = std::getenv("QV_TEST_JOBS");
    return jobs != nullptr && std::atoi(jobs) > 0 ? std::atoi(jobs) : 1;
  }

  // options
  TRestoreMode Mode = rmFiles;
  TOverwriteMode Overwrite = omNever;
  bool Unpack = true;
  bool Protected = true;
  std::string Target;
  int Date = 0;
  std::string Sets = "*.*";
  std::string Drive;
  std::string Folder;
  std::vector<std::string> Items;
  std::vector<bool> Selected;  // empty: every item selected
  TRunKind Kind = rkRestore;
  bool Verify = false;
  int32_t Tolerance = 2;
  bool IgnoreDst = false;
  std::vector<std::string> Include, Exclude;
  int Jobs = JobsFromEnvironment();  // transfers at once: QV_TEST_JOBS, else one

  // scripted answers
  std::deque<bool> ConfirmAnswers;  // empty: Yes
  struct TPwdAnswer {
    TPasswordAnswer Answer;
    std::string Password;
  };
  std::deque<TPwdAnswer> PasswordAnswers;  // empty: Cancel
  std::function<void()> OnProcessMessages;
  std::function<void(const std::string&)> OnFileLabel;

  // record
  std::vector<std::string> Questions, Infos, Errors, Prompts, Details;
  std::string DetailMessage;
  int Processed = 0;
  std::vector<TItemReport> Reports;  // every ItemDone, in order
  std::vector<TRunProgress> Progress;  // every RunProgress, in order
  int Rejected = 0;                  // PasswordRejected calls

  TRestoreOptions RunOptions() {
    TRestoreOptions o;
    o.Mode = Mode;
    o.Kind = Kind;
    o.Overwrite = Overwrite;
    o.Unpack = Unpack;
    o.Protected = Protected;
    o.Verify = Verify;
    o.Tolerance = Tolerance;
    o.IgnoreDst = IgnoreDst;
    o.Target = Target;
    o.Date = Date;
    o.SubDirMask = Sets;
    o.DriveMask = Drive;
    o.Include = Include;
    o.Jobs = Jobs;
    o.Exclude = Exclude;
    o.Folder = Folder;
    for (size_t i = 0; i < Items.size(); ++i)
      if (Selected.empty() || Selected[i]) o.Items.push_back(Items[i]);
    return o;
  }
  bool Confirm(const std::string& text, bool) override {
    Questions.push_back(text);
    if (ConfirmAnswers.empty()) return true;
    const bool a = ConfirmAnswers.front();
    ConfirmAnswers.pop_front();
    return a;
  }
  void ShowInfo(const std::string& text) override { Infos.push_back(text); }
  void ShowError(const std::string& text) override { Errors.push_back(text); }
  void ShowDetailInfo(const std::string&, const std::string& message,
                      const std::vector<std::string>& details, TDetailIcon) override {
    DetailMessage = message;
    Details = details;
  }
  TPasswordAnswer QueryPassword(const std::string&, const std::string& prompt, std::string& pwd) override {
    Prompts.push_back(prompt);
    if (PasswordAnswers.empty()) return paCancel;
    const TPwdAnswer a = PasswordAnswers.front();
    PasswordAnswers.pop_front();
    if (a.Answer == paOk) pwd = a.Password;
    return a.Answer;
  }
  void SetFileLabel(const std::string& text) override {
    if (OnFileLabel) OnFileLabel(text);
  }
  void ItemDone(const TItemReport& report) override { Reports.push_back(report); }
  void RunProgress(const TRunProgress& progress) override { Progress.push_back(progress); }
  void PasswordRejected() override { ++Rejected; }
  void ProcessMessages() override {
    ++Processed;
    if (OnProcessMessages) OnProcessMessages();
  }

  // The one summary line: the information text, or the detail dialog's message.
  std::string Summary() const { return !DetailMessage.empty() ? DetailMessage : (Infos.empty() ? "" : Infos.back()); }
};

// A fresh temporary folder with "src" made and "dst" as the view's destination (not made),
// and a session driven by the scripted view.
class TRestoreFixture : public ::testing::Test {
 protected:
  explicit TRestoreFixture(const std::string& tempTag) : dir(tempTag) {}
  void SetUp() override {
    ASSERT_TRUE(dir.Ok());
    src = dir / "src";
    dst = dir / "dst";
    ::mkdir(src.c_str(), 0755);
    view.Target = dst;
  }
  std::string Src(const std::string& name) const { return src + "/" + name; }
  std::string Dst(const std::string& name) const { return dst + "/" + name; }

  TTempDir dir;
  std::string src, dst;
  TScriptedView view;
  TRestoreSession session{view};
};

// Writes an encrypted file with the project's own writer.
inline bool WriteEncFile(const std::string& path, const std::string& plain, const std::string& password) {
  TEncryption enc(password, 0, 524288);
  TReadOnlyMemoryStream in(plain.data(), plain.size());
  auto out = TFileStream::Open(path, TOpenMode::Create);
  return out && enc.EncryptStream(in, *out, false);
}

inline void SetMTime(const std::string& path, int64_t unixSeconds) {
  struct utimbuf t {static_cast<time_t>(unixSeconds), static_cast<time_t>(unixSeconds)};
  ::utime(path.c_str(), &t);
}

inline int64_t MTime(const std::string& path) {
  struct stat st {};
  ::stat(path.c_str(), &st);
  return st.st_mtime;
}

}  // namespace qv::test
