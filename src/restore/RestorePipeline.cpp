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

bool TRestoreSession::ShouldRestore(TItemOutcome& item, int32_t sourceTime) {
  std::optional<int64_t> targetTime;
  TTargetState found;
  const TTargetDecision decision = FDecider.Decide(item.Target, sourceTime, targetTime, found);
  item.TargetAbsent = NothingThere(found);
  // Keep-both writes beside an existing target, never over it. A write-protected target is not
  // touched here: the worker replaces it as a whole when the new file is complete and
  // "Overwrite write-protected files" allows it.
  if (decision == tdReplace || (decision == tdNew && !targetTime)) return true;
  item.Result = rrSkipped;
  item.SkipReason = FOptions.Overwrite == omOlder ? "not older" : "exists";
  return false;
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

TItemOutcome TRestoreSession::RestoreFile(const std::string& source, const std::string& targetFolder,
                                          bool withProgress, const TSourceFacts* known, int sourceFolder) {
  TFileJob job;
  job.Facts = known ? *known : SourceFacts(source);
  if (job.Facts->Problem) {
    TItemOutcome item(rrFailed, job.Facts->Problem);
    item.InputProblem = true;  // missing, or no regular file: it failed before any transfer
    return item;
  }
  job.Source = source;
  job.Kind = BackupKind(source, FOptions.Unpack);
  job.Encrypted = job.Kind == bkEncrypted;
  job.WithProgress = withProgress;
  job.SourceFolder = sourceFolder;
  if (job.Kind == bkCompressed) {
    TGzFileInfo info;
    if (!ReadGzInfo(sourceFolder, source, job.Facts->Size, info, job.Opened)) return TItemOutcome(rrBadHeader);
    job.Encrypted = info.Encrypted;
    job.ExpandedSize = info.USize;
    FCounts.ResizeItem(job.ExpandedSize);  // the progress counts what the unpacking writes
  }
  const std::string name = RestoredName(ExtractFileName(source), FOptions.Unpack);
  // "..gz" would restore as "." and "...gz" as "..": names of folders, never of a file.
  if (!IsPlainName(name))
    return TItemOutcome(rrFailed, TErrorCode(sevError, static_cast<uint32_t>(NameRefusal(name)), OperationOf(job.Kind)));
  job.TargetPath = AddPathDelimiter(targetFolder) + name;
  return RunPipeline(std::move(job));
}

bool TRestoreSession::PasswordStep(const std::string& name, const std::string& prompt, bool encrypted,
                                   const TErrorCode& giveUpCode, TItemOutcome& item, bool& answered) {
  answered = false;
  // Stopped while the items before were drained, or at the prompt: nothing more starts.
  if (FStopped) {
    item.Result = rrCancelRun;
    return false;
  }
  if (!encrypted || !FCryptPwd.empty()) return true;
  switch (AskForPassword(prompt, name)) {
    case paCancel: item.Result = rrCancelRun; return false;
    case paGiveUp:
      item.Result = rrFailed;
      if (!item.Code) item.Code = giveUpCode;  // else the wrong password's failure stands
      return false;
    case paSkip:
      item.Result = rrSkipped;
      item.SkipReason = "no password";
      return false;
    case paOk: break;
  }
  answered = true;
  return true;
}

bool TRestoreSession::PasswordRejected(const TItemOutcome& item, bool encrypted) {
  // Only a wrong password leads here: a damaged file fails with its own code.
  if (item.Result != rrFailed || !encrypted || !item.Code.Is(errDecrypt)) return false;
  FCryptPwd.clear();
  FView.PasswordRejected();
  return true;
}

void TRestoreSession::TakeFilePassword(TFileJob& job) {
  job.Facts.reset();  // taken again: the question may have lasted long
  job.NoKey = false;
  if (!FCryptPwd.empty()) {
    FDecryption.reset();
    FDecryption = std::make_unique<TEncryption>(FCryptPwd, 0, CBufSize);
  } else if (job.Kind == bkCompressed) {
    // Unpacking needs the key, and an earlier password's decryptor is not this file's.
    job.NoKey = true;
  } else {
    // Restored as it is, still encrypted, under its ".enc" name.
    job.Encrypted = false;
    job.TargetPath += ".enc";
  }
}

TItemOutcome TRestoreSession::RunPipeline(TFileJob job) {
  // A dry run asks nothing: the item is decided under the name a right password gives.
  if (FOptions.Kind == rkDryRun) {
    const int64_t sourceTime = (job.Facts ? *job.Facts : SourceFacts(job.Source)).UnixTime;
    return PreviewItem(FDecider.TargetFor(job.TargetPath), static_cast<int32_t>(sourceTime), OperationOf(job.Kind));
  }
  // Questions come in walk order, after the reports of the items before.
  if (job.Encrypted) Drain();
  TItemOutcome item;
  item.Target = job.TargetPath;
  for (std::string prompt = MsgPasswordRequired();; prompt = MsgPasswordInvalid()) {
    bool answered = false;
    if (!PasswordStep(job.Source, prompt, job.Encrypted, NoPasswordCode(job.Kind), item, answered)) break;
    if (answered) TakeFilePassword(job);
    item = AttemptFile(job);
    if (!PasswordRejected(item, job.Encrypted)) break;
  }
  NoteWorkerResult(item.Result);
  return item;
}

TItemOutcome TRestoreSession::AttemptFile(TFileJob& job) {
  if (job.NoKey) return TItemOutcome(rrFailed, NoPasswordCode(job.Kind));
  const TSourceFacts facts = job.Facts ? *job.Facts : SourceFacts(job.Source);
  const int64_t jobSize = facts.Size < 0 ? -1 : std::max(facts.Size, job.ExpandedSize);
  const bool pooled = MayPool(job.Encrypted, jobSize);
  // A large transfer runs alone; a target still being written, or a "keep both" name that
  // depends on what exists, is decided after the transfers before it have ended. Drained
  // before the decision, so that no event is handled between it and the worker's start.
  if (!pooled || FOptions.Overwrite == omKeepBoth || FTransfers.InFlight(job.TargetPath)) Drain();
  if (FStopped) return TItemOutcome(rrCancelRun);
  const bool testing = FOptions.Kind == rkTest;  // every item is read; no target is looked at
  TItemOutcome item(rrCopied);
  item.Target = FDecider.TargetFor(job.TargetPath);
  if (!testing && !ShouldRestore(item, static_cast<int32_t>(facts.UnixTime))) return item;
  if (job.CreateFolder && !testing)
    ForceDirectoriesBeneath(FTarget, ExtractFilePath(item.Target));  // the worker reports a failure
  std::unique_ptr<TCopyThread> worker;
  if (job.Kind == bkCompressed)
    // The pool's transfers never decrypt: the decryptor may change with the next password.
    worker = std::make_unique<TGUnZipThread>(job.Source, item.Target, pooled ? nullptr : FDecryption.get(), true,
                                             CBufSize, tpNormal);
  else if (job.Kind == bkEncrypted && job.Encrypted)
    worker = std::make_unique<TDecryptThread>(job.Source, item.Target, FDecryption.get(), true, CBufSize, tpNormal);
  else
    worker = std::make_unique<TCopyThread>(job.Source, item.Target, true, CBufSize, tpNormal);
  worker->SetTestOnly(testing);
  worker->SetVerifyTarget(Verifying());
  worker->SetDestinationRoot(FTarget);
  worker->SetOverwrite(FOptions.Protected);
  worker->SetTargetAbsent(!testing && item.TargetAbsent);
  worker->SetSourceFolder(job.SourceFolder);
  // The file the header was read from, for the first attempt.
  if (job.Opened && job.Kind == bkCompressed) worker->SetSourceFile(std::move(*job.Opened));
  job.Opened.reset();
  if (pooled) {
    item.Result = rrPending;
    item.Worker = std::move(worker);
    return item;
  }
  FCopyThread = std::move(worker);
  RunWorker(item, job.WithProgress, jobSize);
  return item;
}

TItemOutcome TRestoreSession::RestoreZipEntry(const TPkHeader& entry, const std::string& targetPath,
                                              const std::string& name, bool mayPool) {
  // A small plain entry may run on the pool with its own bytes; the reader runs the others,
  // one at a time and after the transfers before them, as it asks questions and reports.
  const bool poolable = mayPool && TZipRead::Detachable(entry) && MayPool(false, std::max(entry.CSize, entry.USize));
  if (!poolable || FOptions.Overwrite == omKeepBoth || FTransfers.InFlight(targetPath)) Drain();
  if (FStopped) return TItemOutcome(rrCancelRun);
  TItemOutcome item(rrCopied);
  item.Target = targetPath;
  if (!IsSafeEntryName(name)) {
    // Never write outside the destination.
    item.Result = rrFailed;
    item.Code = TErrorCode(sevError, errNameRefused, opZip);
    return item;
  }
  if (!WritesNothing()) {
    if (const TErrorCode made = FDecider.MakeEntryFolder(ExtractFileDir(targetPath))) {
      item.Result = rrFailed;
      item.Code = made;
      return item;
    }
  }
  item.Target = FDecider.TargetFor(targetPath);
  // Only "Only older" compares times; the conversion looks at the time zone file each time.
  const int64_t sourceTime = FOptions.Overwrite == omOlder ? DosTimeToUnixSeconds(entry.TimeStamp) : 0;
  if (FOptions.Kind == rkDryRun) return PreviewItem(item.Target, static_cast<int32_t>(sourceTime), opZip);
  if (FOptions.Kind == rkRestore && !ShouldRestore(item, static_cast<int32_t>(sourceTime))) return item;
  TZipRead& reader = FArchive.Reader();
  reader.SetTargetRules(TTargetRules{FTarget, FOptions.Protected, FOptions.Kind == rkRestore && item.TargetAbsent});
  if (poolable) {
    try {
      item.Worker =
          reader.DetachSmallEntry(entry.Offset, entry.TimeStamp, entry.Attr, FOptions.Kind == rkTest ? std::string() : item.Target);
    } catch (const EZipError& e) {
      item.Result = rrFailed;
      item.Code = {e.ZipError, e.Context};
      return item;
    }
    if (item.Worker) {
      item.Result = rrPending;
      return item;
    }
    // A damaged entry: the reader's own run below says why. It reads the archive itself, not
    // what the transfers still running read, and writes a target none of them writes.
  }
  // The reader may still hold the password of an earlier item.
  FArchive.UsePassword(FCryptPwd);
  // ZipCrypto and the like: no password opens them here, so none is asked for.
  const bool encrypted = entry.Encrypted() && !entry.UnsupportedEncryption();
  for (std::string prompt = MsgPasswordRequired();; prompt = MsgPasswordInvalid()) {
    bool answered = false;
    if (!PasswordStep(name, prompt, encrypted, TErrorCode(sevError, errDecrypt, opZip), item, answered)) break;
    if (answered) FArchive.UsePassword(FCryptPwd, true);
    item.Code = ExtractEntry(entry, item.Target);
    item.Result = item.Code ? rrFailed : rrCopied;
    if (!PasswordRejected(item, encrypted)) break;
  }
  NoteWorkerResult(item.Result);
  return item;
}

TRestoreError TRestoreSession::ExtractEntry(const TPkHeader& entry, const std::string& target) {
  try {
    if (FOptions.Kind == rkTest)
      FArchive.Reader().TestEntry(entry.Offset);
    else
      FArchive.Reader().ExtractToFile(entry.Offset, entry.TimeStamp, entry.Attr, target);
    return {};
  } catch (const EZipError& e) {
    return {e.ZipError, e.Context};
  }
}

}  // namespace qv
