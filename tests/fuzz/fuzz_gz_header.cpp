// SPDX-License-Identifier: Apache-2.0
// Reads a gzip member header from arbitrary bytes: no crash, no read outside the input, and
// on success the position lies inside the input.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "base/Stream.h"
#include "transfer/GzipFile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  qv::TReadOnlyMemoryStream stream(data, size);
  std::string name;
  uint32_t unixTime = 0;
  bool encrypted = false;
  int64_t csize = 0;
  int64_t usize = 0;
  bool exact = false;
  const int rc = qv::ReadGzHeader(stream, name, unixTime, encrypted, csize, usize, &exact);
  if (rc != qv::gzhOk && rc != qv::gzhReadError && rc != qv::gzhBadMagic) std::abort();
  if (rc == qv::gzhOk) {
    const int64_t position = stream.Position();
    if (position < 10 || position > static_cast<int64_t>(size)) std::abort();
    if (!exact && (usize < 0 || usize > 0xFFFFFFFFll)) std::abort();
  }
  if (rc == qv::gzhBadMagic && (!name.empty() || unixTime != 0)) std::abort();
  return 0;
}
