// SPDX-License-Identifier: Apache-2.0
#pragma once
// The archive a run has open: one reader across the items of a Files run that name entries
// of the same archive, the password the reader holds, and its names indexed once, so that a
// selection of many entries of a large archive looks each up in constant time.
#include <functional>
#include <memory>
#include <string>

#include "base/FtGlobal.h"

namespace qv {

class TArchiveIndex;
class TZipRead;
class TZipFileList;

class TArchiveCursor {
 public:
  TArchiveCursor();
  ~TArchiveCursor();
  TArchiveCursor(const TArchiveCursor&) = delete;
  TArchiveCursor& operator=(const TArchiveCursor&) = delete;

  // Opens archive and reads its directory, unless it is the one open. The reader sees the
  // front-end's events through onMessages while it works.
  TRestoreError Open(const std::string& archive, const std::string& password, bool verify,
                     std::function<void()> onMessages);
  void Close();
  bool IsOpen() const { return FReader != nullptr; }
  TZipRead& Reader() { return *FReader; }
  const TZipFileList& Directory() const;
  // The entry subPath names (-1 none): an exact name wins, a name equal without regard to case
  // only when it is the only one.
  int Find(const std::string& subPath);
  // The reader is given password unless it holds it already; always when forced.
  void UsePassword(const std::string& password, bool force = false);
  // Stop: the reader's work ends at its next block.
  void Cancel();

 private:
  std::unique_ptr<TZipRead> FReader;
  std::string FName;
  std::string FPassword;
  std::unique_ptr<TArchiveIndex> FIndex;
};

}  // namespace qv
