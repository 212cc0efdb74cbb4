// SPDX-License-Identifier: Apache-2.0
#include "restore/ArchiveCursor.h"

#include "restore/ArchiveIndex.h"
#include "transfer/ZipRead.h"

namespace qv {

TArchiveCursor::TArchiveCursor() = default;
TArchiveCursor::~TArchiveCursor() = default;

TRestoreError TArchiveCursor::Open(const std::string& archive, const std::string& password, bool verify,
                                   std::function<void()> onMessages) {
  if (FReader && FName == archive) return {};
  Close();
  try {
    FReader = std::make_unique<TZipRead>(archive, std::string(), 0, 524288);
    FReader->SetOnProcessMessages(std::move(onMessages));
    FReader->SetVerifyTargets(verify);
    if (!password.empty()) FReader->InitEncryption(password, 0);
    FPassword = password;
    FReader->ReadDirectory();
    FName = archive;
    return {};
  } catch (const EZipError& e) {
    FReader.reset();
    return {e.ZipError, e.Context};
  }
}

void TArchiveCursor::Close() {
  FReader.reset();
  FName.clear();
  FPassword.clear();
  FIndex.reset();
}

const TZipFileList& TArchiveCursor::Directory() const { return FReader->Directory(); }

int TArchiveCursor::Find(const std::string& subPath) {
  if (!FIndex) FIndex = std::make_unique<TArchiveIndex>(FReader->Directory());
  return FIndex->Find(FReader->Directory(), subPath);
}

void TArchiveCursor::UsePassword(const std::string& password, bool force) {
  if (FPassword == password && !force) return;
  FReader->InitEncryption(password, 0);
  FPassword = password;
}

void TArchiveCursor::Cancel() {
  if (FReader) FReader->Cancel();
}

}  // namespace qv
