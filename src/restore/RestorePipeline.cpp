// The single-file pipeline: kind, password loop, overwrite decision and the worker.
#include <sys/stat.h>

#include <algorithm>
#include <optional>

#include "base/CodePage.h"
#include "base/FileUtils.h"
#include "base/PathUtils.h"
#include "base/TargetFile.h"
#include "base/TimeUtils.h"
#include "crypto/AesLib.h"
#include "restore/RestoreSession.h"
#include "restore/RestoreText.h"
#include "transfer/CopyThread.h"
#include "transfer/DecryptThread.h"
#include "transfer/GUnZipThread.h"
#include "transfer/GzipFile.h"
#include "transfer/ZipRead.h"

namespace qv {

namespace {

constexpr int CBufSize = 524288;
constexpr size_t CMaxPasswordBytes = 128;

// What the pipeline needs to know of its source, from one stat.
struct TSourceFacts {
  int64_t UnixTime = 0;  // last write, rounded to the nearest second
  int64_t Size = -1;  // regular files only: a pipe or device could block whoever reads it
};

TSourceFacts SourceFacts(const std::string& path) {
  TSourceFacts facts;
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return facts;
  facts.UnixTime = FileTimeToUnixSeconds(FileTimeFromTimespec(st.st_mtim));
  if (S_ISREG(st.st_mode)) facts.Size = static_cast<int64_t>(st.st_size);
  return facts;
}

uint32_t OperationOf(TBackupKind kind) {
  switch (kind) {
    case bkCompressed: return opGunzip;
    case bkEncrypted: return opDecrypt;
    case bkPlain: break;
  }
  return opCopy;
}

// The code of a file that needs a password nobody can give.
uint32_t NoPasswordCode(TBackupKind kind) {
  return uint32_t{sevError} | errDecrypt | (kind == bkCompressed ? opGunzip : opDecrypt);
}

}  // namespace

uint32_t SourceProblem(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return uint32_t{sevError} | errFileNotFound;  // also a dangling link
  // A pipe or device would block whoever opens it, or never end.
  if (!S_ISREG(st.st_mode)) return uint32_t{sevError} | errNotRegularFile;
  return 0;
}

std::string RestoredName(const std::string& name, bool unpackGz) {
  return BackupKind(name, unpackGz) == bkPlain ? name : DeleteExtension(name);
}

TBackupKind BackupKind(const std::string& name, bool unpackGz) {
  const std::string ext = LowerAscii(GetExtension(name));
  if (unpackGz && (ext == "gz" || ext == "gze")) return bkCompressed;
  if (ext == "enc") return bkEncrypted;
  return bkPlain;
}

bool TRestoreSession::SourceIsNewer(int32_t sourceTime, int32_t targetTime) const {
  // Signed 32-bit difference, as the stored times are 32-bit.
  const int32_t d = static_cast<int32_t>(static_cast<uint32_t>(sourceTime) - static_cast<uint32_t>(targetTime));
  bool newer = d > DeltaTime;
  if (newer && DstIgnore) {
    const int64_t off = static_cast<int64_t>(d) - 3600;
    newer = (off < 0 ? -off : off) > DeltaTime;
  }
  return newer;
}

bool TRestoreSession::ShouldRestore(const std::string& targetPath, int32_t sourceTime) {
  std::optional<int64_t> targetTime;
  const TTargetDecision decision = DecideTarget(targetPath, sourceTime, targetTime);
  // Keep-both writes beside an existing target, never over it. A write-protected target is not
  // touched here: the worker replaces it as a whole when the new file is complete and
  // "Overwrite write-protected files" allows it.
  return decision == tdReplace || (decision == tdNew && !targetTime);
}

TPasswordAnswer TRestoreSession::AskForPassword(const std::string& prompt, const std::string& name) {
  std::string pwd;  // CryptPwd is always empty when the question is asked
  const TPasswordAnswer answer =
      FView.QueryPassword(Caption(), FormatText(prompt, {ShortenPath(name, 50)}), pwd);
  if (answer == paOk) {
    CryptPwd = Utf8ToAnsi(pwd);
    if (CryptPwd.size() > CMaxPasswordBytes) CryptPwd.resize(CMaxPasswordBytes);
  }
  return answer;
}

TRestoreResult TRestoreSession::RestoreFile(const std::string& source, const std::string& targetFolder,
                                            bool withProgress, uint32_t& code) {
  code = SourceProblem(source);
  FLastTarget.clear();
  if (code != 0) return rrFailed;
  const TBackupKind kind = BackupKind(source, FView.UnpackGz());
  bool encrypted = kind == bkEncrypted;
  int64_t expandedSize = 0;
  if (kind == bkCompressed) {
    TGzFileInfo info;
    if (!GetGzFileInfo(source, info)) return rrBadHeader;
    encrypted = info.Encrypted;
    expandedSize = info.USize;
  }
  const std::string name = RestoredName(ExtractFileName(source), FView.UnpackGz());
  if (!IsPlainName(name)) {
    // "..gz" would restore as "." and "...gz" as "..": names of folders, never of a file.
    code = uint32_t{sevError} | errNameRefused | OperationOf(kind);
    return rrFailed;
  }
  return RunPipeline(source, AddPathDelimiter(targetFolder) + name, kind, encrypted, withProgress,
                     false, code, expandedSize);
}

TRestoreResult TRestoreSession::PasswordLoop(const std::string& name, bool& encrypted, uint32_t giveUpCode,
                                             uint32_t& code,
                                             const std::function<void(TPasswordAnswer)>& passwordGiven,
                                             const std::function<TRestoreResult(uint32_t&)>& attempt) {
  code = 0;
  std::string prompt = MsgPasswordRequired();
  for (;;) {
    if (encrypted && CryptPwd.empty()) {
      const TPasswordAnswer answer = AskForPassword(prompt, name);
      if (answer == paCancel) return rrCancelRun;
      if (answer == paGiveUp) {
        if (code == 0) code = giveUpCode;
        return rrFailed;
      }
      passwordGiven(answer);
      if (answer == paSkip) {
        FSkipReason = "no password";
        return rrSkipped;
      }
    }
    const TRestoreResult result = attempt(code);
    if (result == rrFailed && encrypted && ErrorDetail(code) == errDecrypt) {
      // Only a wrong password leads here: a damaged file fails with its own code.
      CryptPwd.clear();
      FView.PasswordRejected();
      prompt = MsgPasswordInvalid();
      continue;
    }
    return result;
  }
}

std::string TRestoreSession::TargetFor(const std::string& targetPath) {
  if (FView.OverwriteMode() != omKeepBoth) return targetPath;
  struct stat st {};
  return ::lstat(targetPath.c_str(), &st) == 0 ? KeepBothName(targetPath) : targetPath;
}

void TRestoreSession::NoteSkip() {
  FSkipReason = FView.OverwriteMode() == omOlder ? "not older" : "exists";
}

TRestoreResult TRestoreSession::RunPipeline(const std::string& source, std::string targetPath,
                                            TBackupKind kind, bool encrypted, bool withProgress,
                                            bool createFolder, uint32_t& code,
                                            int64_t expandedSize) {
  FLastTarget = targetPath;
  // A dry run asks nothing: the item is decided under the name a right password gives.
  if (FRunKind == rkDryRun)
    return PreviewItem(TargetFor(targetPath), static_cast<int32_t>(SourceFacts(source).UnixTime));
  const bool testing = FRunKind == rkTest;  // every item is read; no target is looked at
  bool noKey = false;  // an empty password for a compressed file: its data cannot be had
  const auto passwordGiven = [&](TPasswordAnswer answer) {
    if (answer != paOk) return;
    noKey = false;
    if (!CryptPwd.empty()) {
      Decryption.reset();
      Decryption = std::make_unique<TEncryption>(CryptPwd, 0, CBufSize);
    } else if (kind == bkCompressed) {
      // Unpacking needs the key, and an earlier password's decryptor is not this file's.
      noKey = true;
    } else {
      // Restored as it is, still encrypted, under its ".enc" name.
      encrypted = false;
      targetPath += ".enc";
    }
  };
  const auto attempt = [&](uint32_t& result) {
    if (noKey) {
      result = NoPasswordCode(kind);
      return rrFailed;
    }
    const TSourceFacts facts = SourceFacts(source);
    const std::string target = TargetFor(targetPath);
    FLastTarget = target;
    if (!testing && !ShouldRestore(target, static_cast<int32_t>(facts.UnixTime))) {
      NoteSkip();
      return rrSkipped;
    }
    if (createFolder && !testing) ForceDirectoriesBeneath(Target, ExtractFilePath(target));  // the worker reports a failure
    if (kind == bkCompressed)
      CopyThread = std::make_unique<TGUnZipThread>(source, target, Decryption.get(), true,
                                                   CBufSize, tpNormal);
    else if (kind == bkEncrypted && encrypted)
      CopyThread = std::make_unique<TDecryptThread>(source, target, Decryption.get(), true,
                                                    CBufSize, tpNormal);
    else
      CopyThread = std::make_unique<TCopyThread>(source, target, true, CBufSize, tpNormal);
    CopyThread->SetTestOnly(testing);
    CopyThread->SetVerifyTarget(FVerifying);
    CopyThread->SetDestinationRoot(Target);
    CopyThread->SetOverwrite(FView.OverwriteProtected());
    result = RunWorker(withProgress, facts.Size < 0 ? -1 : std::max(facts.Size, expandedSize));
    return result == 0 ? rrCopied : rrFailed;
  };
  const TRestoreResult result = PasswordLoop(source, encrypted, NoPasswordCode(kind), code, passwordGiven, attempt);
  NoteWorkerResult(result);
  return result;
}

TRestoreResult TRestoreSession::RestoreZipEntry(const TPkHeader& entry, const std::string& targetPath,
                                                const std::string& name, uint32_t& code) {
  code = 0;
  FLastTarget = targetPath;
  if (!IsSafeEntryName(name)) {
    // Never write outside the destination.
    code = uint32_t{sevError} | opZip | errNameRefused;
    return rrFailed;
  }
  if (const int detail = WritesNothing() ? 0 : ForceDirectoriesBeneath(Target, ExtractFilePath(targetPath));
      detail != 0) {
    code = uint32_t{sevError} | opZip | static_cast<uint32_t>(detail);
    return rrFailed;
  }
  RZip->SetTargetRules(TTargetRules{Target, FView.OverwriteProtected()});
  const std::string target = TargetFor(targetPath);
  FLastTarget = target;
  const int64_t sourceTime = DosTimeToUnixSeconds(entry.TimeStamp);
  if (FRunKind == rkDryRun) return PreviewItem(target, static_cast<int32_t>(sourceTime));
  if (FRunKind == rkRestore && !ShouldRestore(target, static_cast<int32_t>(sourceTime))) {
    NoteSkip();
    return rrSkipped;
  }
  // The reader may still hold the password of an earlier item.
  if (FArchivePwd != CryptPwd) {
    RZip->InitEncryption(CryptPwd, 0);
    FArchivePwd = CryptPwd;
  }
  // ZipCrypto and the like: no password opens them here, so none is asked for.
  bool encrypted = entry.Encrypted() && !entry.UnsupportedEncryption();
  const auto passwordGiven = [&](TPasswordAnswer) {
    RZip->InitEncryption(CryptPwd, 0);
    FArchivePwd = CryptPwd;
  };
  const auto attempt = [&](uint32_t& result) {
    try {
      if (FRunKind == rkTest)
        RZip->TestEntry(entry.Offset);
      else
        RZip->ExtractToFile(entry.Offset, entry.TimeStamp, entry.Attr, target);
      result = 0;
    } catch (const EZipError& e) {
      result = e.ZipError.Value();
    }
    return result == 0 ? rrCopied : rrFailed;
  };
  const TRestoreResult result =
      PasswordLoop(name, encrypted, uint32_t{sevError} | opZip | errDecrypt, code, passwordGiven, attempt);
  NoteWorkerResult(result);
  return result;
}

}  // namespace qv
