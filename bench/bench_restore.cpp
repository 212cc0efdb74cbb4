// SPDX-License-Identifier: Apache-2.0
// Helper of the restore benchmark and the demo: writes encrypted files with the project's
// own writer.   bench_restore encrypt IN OUT PASSWORD
#include <cstdio>
#include <string>

#include "base/CodePage.h"
#include "base/Stream.h"
#include "crypto/AesLib.h"

int main(int argc, char** argv) {
  if (argc != 5 || std::string(argv[1]) != "encrypt") {
    std::fprintf(stderr, "usage: bench_restore encrypt IN OUT PASSWORD\n");
    return 2;
  }
  auto in = qv::TFileStream::Open(argv[2], qv::TOpenMode::Read);
  auto out = qv::TFileStream::Open(argv[3], qv::TOpenMode::Create);
  if (!in || !out) {
    std::fprintf(stderr, "cannot open %s or %s\n", argv[2], argv[3]);
    return 1;
  }
  qv::TEncryption enc(qv::Utf8ToAnsi(argv[4]), 0, 524288);
  return enc.EncryptStream(*in, *out, false) ? 0 : 1;
}
