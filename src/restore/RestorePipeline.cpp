// SPDX-License-Identifier: Apache-2.0
// The single-file pipeline: kind, password loop, overwrite decision and the worker.
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <optional>
#include <vector>

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

uint32_t OperationOf(TBackupKind kind) {
  switch (kind) {
    case bkCompressed: return opGunzip;
    case bkEncrypted: return opDecrypt;
    case bkPlain: break;
  }
  return opCopy;
}

// What the pipeline needs of a .gz header (encrypted, unpacked size). A small file is read
// whole in one call, its trailer with it, instead of a seek and a read for each field; it is
// opened without following a link and kept open, with its bytes, for its worker (a link is
// read by name, as its worker will). folder: the open folder the file lies in, or -1.
bool ReadGzInfo(int folder, const std::string& path, int64_t size, TGzFileInfo& info,
                std::unique_ptr<TOpenedSource>& opened) {
  opened.reset();
  if (size < 0 || size > CSmallJobLimit) return GetGzFileInfo(path, info);
  info = {};
  constexpr int CFlags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
  const size_t slash = path.rfind('/');
  TFd file(folder >= 0 && slash != std::string::npos ? ::openat(folder, path.c_str() + slash + 1, CFlags)
                                                      : ::open(path.c_str(), CFlags));
  if (!file.Valid()) return GetGzFileInfo(path, info);
  std::vector<uint8_t> data(static_cast<size_t>(size));
  const int64_t got = ReadFileAt(file.Get(), data.data(), data.size(), 0);
  if (got < 0) return false;
  data.resize(static_cast<size_t>(got));
  TReadOnlyMemoryStream stream(data.data(), data.size());
  if (ReadGzHeader(stream, info.Filename, info.UnixTime, info.Encrypted, info.CSize, info.USize) != gzhOk)
    return false;
  opened = std::make_unique<TOpenedSource>(TOpenedSource{std::move(file), std::move(data)});
  return true;
}

// The code of a file that needs a password nobody can give.
TErrorCode NoPasswordCode(TBackupKind kind) {
  return TErrorCode(sevError, errDecrypt, kind == bkCompressed ? opGunzip : opDecrypt);
}

}  // namespace

TRestoreSession::TSourceFacts TRestoreSession::SourceFacts(const std::string& path) {
  TSourceFacts facts;
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) {
    facts.Problem = TErrorCode(sevError, errFileNotFound);  // also a dangling link
    return facts;
  }
  facts.UnixTime = FileTimeToUnixSeconds(FileTimeFromTimespec(st.st_mtim));
  if (S_ISREG(st.st_mode))
    facts.Size = static_cast<int64_t>(st.st_size);
  else  // a pipe or device would block whoever opens it, or never end
    facts.Problem = TErrorCode(sevError, errNotRegularFile);
  return facts;
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

bool SourceIsNewer(int32_t sourceTime, int32_t targetTime, int32_t tolerance, bool ignoreDst) {
  // Signed 32-bit difference, as the stored times are 32-bit.
  const int32_t d = static_cast<int32_t>(static_cast<uint32_t>(sourceTime) - static_cast<uint32_t>(targetTime));
  bool newer = d > tolerance;
  if (newer && ignoreDst) {
    const int64_t off = static_cast<int64_t>(d) - 3600;
    newer = (off < 0 ? -off : off) > tolerance;
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
  std::string pwd;  // FCryptPwd is always empty when the question is asked
  const TPasswordAnswer answer =
      FView.QueryPassword(Caption(), FormatText(prompt, {ShortenPath(name, 50)}), pwd);
  if (answer == paOk) {
    FCryptPwd = Utf8ToAnsi(pwd);
    if (FCryptPwd.size() > CMaxPasswordBytes) FCryptPwd.resize(CMaxPasswordBytes);
  }
  return answer;
}

TRestoreResult TRestoreSession::RestoreFile(const std::string& source, const std::string& targetFolder,
                                            bool withProgress, TRestoreError& code, const TSourceFacts* known) {
  const TSourceFacts facts = known ? *known : SourceFacts(source);
  code = facts.Problem;
  FItem.InputProblem = code.Failed();  // missing, or no regular file: it failed before any transfer
  FItem.Target.clear();
  FItem.Written = -1;
  if (code) return rrFailed;
  const TBackupKind kind = BackupKind(source, FOptions.Unpack);
  bool encrypted = kind == bkEncrypted;
  int64_t expandedSize = 0;
  if (kind == bkCompressed) {
    TGzFileInfo info;
    if (!ReadGzInfo(FSourceFolder, source, facts.Size, info, FOpenedSource)) return rrBadHeader;
    encrypted = info.Encrypted;
    expandedSize = info.USize;
    ItemResized(expandedSize);  // the progress counts what the unpacking writes
  }
  const std::string name = RestoredName(ExtractFileName(source), FOptions.Unpack);
  if (!IsPlainName(name)) {
    // "..gz" would restore as "." and "...gz" as "..": names of folders, never of a file.
    code = TErrorCode(sevError, static_cast<uint32_t>(NameRefusal(name)), OperationOf(kind));
    return rrFailed;
  }
  const TRestoreResult result = RunPipeline(source, AddPathDelimiter(targetFolder) + name, kind, encrypted,
                                            withProgress, false, code, expandedSize, &facts);
  FOpenedSource.reset();  // not taken by a worker (skipped, dry run, refused)
  return result;
}

TRestoreResult TRestoreSession::PasswordLoop(const std::string& name, bool& encrypted, TErrorCode giveUpCode,
                                             TRestoreError& code,
                                             const std::function<void(TPasswordAnswer)>& passwordGiven,
                                             const std::function<TRestoreResult(TRestoreError&)>& attempt) {
  code = {};
  std::string prompt = MsgPasswordRequired();
  for (;;) {
    // Stopped while the items before were drained, or at the prompt: nothing more starts.
    if (FStopped) return rrCancelRun;
    if (encrypted && FCryptPwd.empty()) {
      const TPasswordAnswer answer = AskForPassword(prompt, name);
      if (answer == paCancel) return rrCancelRun;
      if (answer == paGiveUp) {
        if (!code) code = giveUpCode;
        return rrFailed;
      }
      passwordGiven(answer);
      if (answer == paSkip) {
        FItem.SkipReason = "no password";
        return rrSkipped;
      }
    }
    const TRestoreResult result = attempt(code);
    if (result == rrFailed && encrypted && code.Is(errDecrypt)) {
      // Only a wrong password leads here: a damaged file fails with its own code.
      FCryptPwd.clear();
      FView.PasswordRejected();
      prompt = MsgPasswordInvalid();
      continue;
    }
    return result;
  }
}

std::string TRestoreSession::TargetFor(const std::string& targetPath) {
  if (FOptions.Overwrite != omKeepBoth) return targetPath;
  // A dry run writes nothing: the names its earlier items would take count as taken.
  const auto planned = [this](const std::string& name) { return FPlanned.contains(name); };
  struct stat st {};
  if (::lstat(targetPath.c_str(), &st) != 0 && !planned(targetPath)) return targetPath;
  // Ten thousand twins: each takes the number after the last one's, not a search from 1.
  return KeepBothName(targetPath, FKeepBothFrom.try_emplace(targetPath, 1).first->second, planned);
}

void TRestoreSession::NoteSkip() {
  FItem.SkipReason = FOptions.Overwrite == omOlder ? "not older" : "exists";
}

TRestoreResult TRestoreSession::RunPipeline(const std::string& source, std::string targetPath,
                                            TBackupKind kind, bool encrypted, bool withProgress,
                                            bool createFolder, TRestoreError& code,
                                            int64_t expandedSize, const TSourceFacts* knownFacts) {
  FItem.Target = targetPath;
  FItem.Written = -1;
  // A dry run asks nothing: the item is decided under the name a right password gives.
  if (FOptions.Kind == rkDryRun)
    return PreviewItem(TargetFor(targetPath),
                       static_cast<int32_t>((knownFacts ? *knownFacts : SourceFacts(source)).UnixTime),
                       OperationOf(kind), code);
  const bool testing = FOptions.Kind == rkTest;  // every item is read; no target is looked at
  bool noKey = false;  // an empty password for a compressed file: its data cannot be had
  bool asked = false;
  const auto passwordGiven = [&](TPasswordAnswer answer) {
    asked = true;
    if (answer != paOk) return;
    noKey = false;
    if (!FCryptPwd.empty()) {
      FDecryption.reset();
      FDecryption = std::make_unique<TEncryption>(FCryptPwd, 0, CBufSize);
    } else if (kind == bkCompressed) {
      // Unpacking needs the key, and an earlier password's decryptor is not this file's.
      noKey = true;
    } else {
      // Restored as it is, still encrypted, under its ".enc" name.
      encrypted = false;
      targetPath += ".enc";
    }
  };
  const auto attempt = [&](TRestoreError& result) {
    if (noKey) {
      result = NoPasswordCode(kind);
      return rrFailed;
    }
    // Taken again after a password question, which may have lasted long.
    const TSourceFacts facts = knownFacts && !asked ? *knownFacts : SourceFacts(source);
    const int64_t jobSize = facts.Size < 0 ? -1 : std::max(facts.Size, expandedSize);
    const bool pooled = MayPool(encrypted, jobSize);
    // A large transfer runs alone; a target still being written, or a "keep both" name that
    // depends on what exists, is decided after the transfers before it have ended.
    if (!pooled || FOptions.Overwrite == omKeepBoth || InFlight(targetPath)) Drain();
    if (FStopped) return rrCancelRun;
    const std::string target = TargetFor(targetPath);
    FItem.Target = target;
    if (!testing && !ShouldRestore(target, static_cast<int32_t>(facts.UnixTime))) {
      NoteSkip();
      return rrSkipped;
    }
    if (createFolder && !testing) ForceDirectoriesBeneath(FTarget, ExtractFilePath(target));  // the worker reports a failure
    if (kind == bkCompressed)
      // The pool's transfers never decrypt: the decryptor may change with the next password.
      FCopyThread = std::make_unique<TGUnZipThread>(source, target, pooled ? nullptr : FDecryption.get(), true,
                                                   CBufSize, tpNormal);
    else if (kind == bkEncrypted && encrypted)
      FCopyThread = std::make_unique<TDecryptThread>(source, target, FDecryption.get(), true,
                                                    CBufSize, tpNormal);
    else
      FCopyThread = std::make_unique<TCopyThread>(source, target, true, CBufSize, tpNormal);
    FCopyThread->SetTestOnly(testing);
    FCopyThread->SetVerifyTarget(Verifying());
    FCopyThread->SetDestinationRoot(FTarget);
    FCopyThread->SetOverwrite(FOptions.Protected);
    FCopyThread->SetTargetAbsent(!testing && FItem.TargetAbsent);
    FCopyThread->SetSourceFolder(FSourceFolder);
    // The file the header was read from, for the first attempt.
    if (FOpenedSource && kind == bkCompressed) FCopyThread->SetSourceFile(std::move(*FOpenedSource));
    FOpenedSource.reset();
    if (pooled) {
      FPooledWorker = std::move(FCopyThread);
      return rrPending;
    }
    result = RunWorker(withProgress, jobSize);
    return result ? rrFailed : rrCopied;
  };
  // Questions come in walk order, after the reports of the items before.
  if (encrypted) Drain();
  const TRestoreResult result = PasswordLoop(source, encrypted, NoPasswordCode(kind), code, passwordGiven, attempt);
  NoteWorkerResult(result);
  return result;
}

TErrorCode TRestoreSession::MakeEntryFolder(const std::string& folder) {
  // Asked once per folder whether it was there: a folder this walk made holds only what the
  // walk wrote into it, so its targets need no look.
  const bool first = FEntryFolders.insert(folder).second;
  struct stat st {};
  const bool absent = first && ::lstat(folder.c_str(), &st) != 0 && errno == ENOENT;
  const int detail = ForceDirectoriesBeneath(FTarget, folder);
  if (detail != 0) return TErrorCode(sevError, static_cast<uint32_t>(detail), opZip);
  if (absent) FFreshFolders.insert(folder);
  return {};
}

TRestoreResult TRestoreSession::RestoreZipEntry(const TPkHeader& entry, const std::string& targetPath,
                                                const std::string& name, TRestoreError& code, bool mayPool) {
  code = {};
  // A small plain entry may run on the pool with its own bytes; the reader runs the others,
  // one at a time and after the transfers before them, as it asks questions and reports.
  const bool poolable = mayPool && TZipRead::Detachable(entry) && MayPool(false, std::max(entry.CSize, entry.USize));
  if (!poolable || FOptions.Overwrite == omKeepBoth || InFlight(targetPath)) Drain();
  FItem.Target = targetPath;
  FItem.Written = -1;
  if (FStopped) return rrCancelRun;
  if (!IsSafeEntryName(name)) {
    // Never write outside the destination.
    code = TErrorCode(sevError, errNameRefused, opZip);
    return rrFailed;
  }
  if (!WritesNothing()) code = MakeEntryFolder(ExtractFileDir(targetPath));
  if (code) return rrFailed;
  const std::string target = TargetFor(targetPath);
  FItem.Target = target;
  // Only "Only older" compares times; the conversion looks at the time zone file each time.
  const int64_t sourceTime = FOptions.Overwrite == omOlder ? DosTimeToUnixSeconds(entry.TimeStamp) : 0;
  if (FOptions.Kind == rkDryRun) return PreviewItem(target, static_cast<int32_t>(sourceTime), opZip, code);
  if (FOptions.Kind == rkRestore && !ShouldRestore(target, static_cast<int32_t>(sourceTime))) {
    NoteSkip();
    return rrSkipped;
  }
  FRZip->SetTargetRules(TTargetRules{FTarget, FOptions.Protected, FOptions.Kind == rkRestore && FItem.TargetAbsent});
  if (poolable) {
    try {
      FPooledWorker = FRZip->DetachSmallEntry(entry.Offset, entry.TimeStamp, entry.Attr,
                                              FOptions.Kind == rkTest ? std::string() : target);
    } catch (const EZipError& e) {
      code = {e.ZipError, e.Context};
      return rrFailed;
    }
    if (FPooledWorker) return rrPending;
    Drain();
    if (FStopped) return rrCancelRun;
  }
  // The reader may still hold the password of an earlier item.
  if (FArchivePwd != FCryptPwd) {
    FRZip->InitEncryption(FCryptPwd, 0);
    FArchivePwd = FCryptPwd;
  }
  // ZipCrypto and the like: no password opens them here, so none is asked for.
  bool encrypted = entry.Encrypted() && !entry.UnsupportedEncryption();
  const auto passwordGiven = [&](TPasswordAnswer) {
    FRZip->InitEncryption(FCryptPwd, 0);
    FArchivePwd = FCryptPwd;
  };
  const auto attempt = [&](TRestoreError& result) {
    try {
      if (FOptions.Kind == rkTest)
        FRZip->TestEntry(entry.Offset);
      else
        FRZip->ExtractToFile(entry.Offset, entry.TimeStamp, entry.Attr, target);
      result = {};
    } catch (const EZipError& e) {
      result = {e.ZipError, e.Context};
    }
    return result ? rrFailed : rrCopied;
  };
  const TRestoreResult result =
      PasswordLoop(name, encrypted, TErrorCode(sevError, errDecrypt, opZip), code, passwordGiven, attempt);
  NoteWorkerResult(result);
  return result;
}

}  // namespace qv
