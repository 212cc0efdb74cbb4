// SPDX-License-Identifier: Apache-2.0
#pragma once
// The comparing entry worker of the zip reader: extracts the entry into a buffer (memory, or
// a private temporary file for large entries) and compares it with the reference file named
// at construction.
#include "transfer/ZipEntryThreads.h"

namespace qv {

class TZipCompareThread : public TZipReadThread {
 public:
  using TZipReadThread::TZipReadThread;

 protected:
  void Execute() override;
  TErrorCode DoCompare();
  // Compares the extracted copy sIn with the reference sRef over ALength bytes (negative:
  // the reference's size).
  TErrorCode CompareData(TStream& sIn, TStream& sRef, bool ASpeedLimit, int64_t ALength);
};

}  // namespace qv
