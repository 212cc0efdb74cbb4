// The single-file pipeline: kind, password loop, overwrite decision and the worker.
#include <sys/stat.h>

#include <algorithm>
#include <optional>

#include "base/CodePage.h"
#include "base/FileUtils.h"
#include "base/PathUtils.h"
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

// The code of a file that needs a password nobody can give.
uint32_t NoPasswordCode(TBackupKind kind) {
  return uint32_t{sevError} | errDecrypt | (kind == bkCompressed ? opGunzip : opDecrypt);
}

}  // namespace

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
  // Keep-both writes beside an existing target, never over it.
  const bool answer = decision == tdReplace || (decision == tdNew && !targetTime);
  if (answer && decision == tdReplace && FView.OverwriteProtected()) {
    const int attr = LongFileGetAttr(targetPath);
    if (attr != -1 && (attr & faReadOnly) != 0) LongFileSetAttr(targetPath, attr & ~faReadOnly);
  }
  return answer;
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
  code = 0;
  const TBackupKind kind = BackupKind(source, FView.UnpackGz());
  bool encrypted = kind == bkEncrypted;
  int64_t expandedSize = 0;
  if (kind == bkCompressed) {
    TGzFileInfo info;
    if (!GetGzFileInfo(source, info)) return rrBadHeader;
    encrypted = info.Encrypted;
    expandedSize = info.USize;
  }
  std::string name = ExtractFileName(source);
  if (kind != bkPlain) name = DeleteExtension(name);
  return RunPipeline(source, AddPathDelimiter(targetFolder) + name, kind, encrypted, withProgress,
                     false, code, expandedSize);
}

TRestoreResult TRestoreSession::RunPipeline(const std::string& source, std::string targetPath,
                                            TBackupKind kind, bool encrypted, bool withProgress,
                                            bool createFolder, uint32_t& code,
                                            int64_t expandedSize) {
  code = 0;
  // A dry run asks nothing: the item is decided under the name a right password gives.
  if (FRunKind == rkDryRun)
    return PreviewItem(source, targetPath, static_cast<int32_t>(SourceFacts(source).UnixTime));
  std::string prompt = MsgPasswordRequired();
  for (;;) {
    if (encrypted && CryptPwd.empty()) {
      switch (AskForPassword(prompt, source)) {
        case paCancel: return rrCancelRun;
        case paSkip: return rrSkipped;
        case paGiveUp:
          if (code == 0) code = NoPasswordCode(kind);
          return rrFailed;
        case paOk: break;
      }
      if (!CryptPwd.empty()) {
        Decryption.reset();
        Decryption = std::make_unique<TEncryption>(CryptPwd, 0, CBufSize);
      } else {
        // Restored as it is, still encrypted, under its ".enc" name.
        encrypted = false;
        targetPath += ".enc";
      }
    }
    const TSourceFacts facts = SourceFacts(source);
    const bool testing = FRunKind == rkTest;  // every item is read; no target is looked at
    if (!testing && !ShouldRestore(targetPath, static_cast<int32_t>(facts.UnixTime))) return rrSkipped;
    if (createFolder && !testing) {
      const size_t slash = targetPath.rfind('/');
      if (slash != std::string::npos && slash > 0) LongForceDirectories(targetPath.substr(0, slash));
    }
    if (kind == bkCompressed)
      CopyThread = std::make_unique<TGUnZipThread>(source, targetPath, Decryption.get(), true,
                                                   CBufSize, tpNormal);
    else if (kind == bkEncrypted && encrypted)
      CopyThread = std::make_unique<TDecryptThread>(source, targetPath, Decryption.get(), true,
                                                    CBufSize, tpNormal);
    else
      CopyThread = std::make_unique<TCopyThread>(source, targetPath, true, CBufSize, tpNormal);
    CopyThread->SetTestOnly(testing);
    CopyThread->SetVerifyTarget(FVerifying);
    code = RunWorker(withProgress, facts.Size < 0 ? -1 : std::max(facts.Size, expandedSize));
    if (encrypted && ErrorDetail(code) == errDecrypt) {
      CryptPwd.clear();
      prompt = MsgPasswordInvalid();
      continue;
    }
    const TRestoreResult result = code == 0 ? rrCopied : rrFailed;
    NoteWorkerResult(result, source);
    return result;
  }
}

TRestoreResult TRestoreSession::RestoreZipEntry(const TPkHeader& entry, const std::string& targetPath,
                                                const std::string& name, uint32_t& code) {
  code = 0;
  if (!IsSafeEntryName(name)) {
    // Never write outside the destination.
    code = uint32_t{sevError} | opZip | errCreateFile;
    return rrFailed;
  }
  const size_t slash = targetPath.rfind('/');
  if (slash != std::string::npos && slash > 0 && !WritesNothing()) {
    const std::string folder = targetPath.substr(0, slash);
    if (!LongDirectoryExists(folder)) LongForceDirectories(folder);
  }
  const std::string source = RZip->ArchiveName() + ":" + name;
  const int64_t sourceTime = DosTimeToUnixSeconds(entry.TimeStamp);
  if (FRunKind == rkDryRun) return PreviewItem(source, targetPath, static_cast<int32_t>(sourceTime));
  if (FRunKind == rkRestore && !ShouldRestore(targetPath, static_cast<int32_t>(sourceTime))) return rrSkipped;
  const auto extract = [&]() -> uint32_t {
    try {
      if (FRunKind == rkTest)
        RZip->TestEntry(entry.Offset);
      else
        RZip->ExtractToFile(entry.Offset, entry.TimeStamp, entry.Attr, targetPath);
      return 0;
    } catch (const EZipError& e) {
      return static_cast<uint32_t>(e.ZipError);
    }
  };
  if (!entry.Encrypted()) {
    code = extract();
    const TRestoreResult result = code == 0 ? rrCopied : rrFailed;
    NoteWorkerResult(result, source);
    return result;
  }
  std::string prompt = MsgPasswordRequired();
  for (;;) {
    if (CryptPwd.empty()) {
      const TPasswordAnswer answer = AskForPassword(prompt, name);
      if (answer == paCancel) return rrCancelRun;
      if (answer == paGiveUp) {
        if (code == 0) code = uint32_t{sevError} | opZip | errDecrypt;
        return rrFailed;
      }
      RZip->InitEncryption(CryptPwd, 0);
      if (answer == paSkip) return rrSkipped;
    }
    code = extract();
    if (ErrorDetail(code) == errDecrypt) {
      CryptPwd.clear();
      prompt = MsgPasswordInvalid();
      continue;
    }
    const TRestoreResult result = code == 0 ? rrCopied : rrFailed;
    NoteWorkerResult(result, source);
    return result;
  }
}

}  // namespace qv
