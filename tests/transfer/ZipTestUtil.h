// SPDX-License-Identifier: Apache-2.0
#pragma once
// Fixtures of the zip tests: archives made at test time by zip, 7zz and python3.
#include <sys/stat.h>

#include <string>

#include "transfer/TestUtil.h"
#include "transfer/ZipRead.h"

namespace qv::test {

// Runs a python3 script (given on stdin) in folder; true when it succeeded.
inline bool RunPython(const std::string& folder, const std::string& script) {
  const std::string path = folder + "/fixture.py";
  if (!WriteFile(path, script)) return false;
  return Run("cd '" + folder + "' && python3 fixture.py");
}

// Python helper that writes a Zip64 archive by hand: every size and offset goes through the
// ID-1 extra block, the end record is saturated and the Zip64 records carry the real values.
inline const char* kZip64Writer = R"PY(
import struct, zlib
def write_zip64(path, entries):
    out = bytearray(); central = bytearray()
    for name, data in entries:
        n = name.encode(); crc = zlib.crc32(data); off = len(out)
        out += struct.pack('<IHHHHHIIIHH', 0x04034B50, 45, 0, 0, 0, 0x21, crc,
                           0xFFFFFFFF, 0xFFFFFFFF, len(n), 20)
        out += n + struct.pack('<HHQQ', 1, 16, len(data), len(data)) + data
        central += struct.pack('<IHHHHHHIIIHHHHHII', 0x02014B50, 45, 45, 0, 0, 0, 0x21, crc,
                               0xFFFFFFFF, 0xFFFFFFFF, len(n), 28, 0, 0, 0, 0, 0xFFFFFFFF)
        central += n + struct.pack('<HHQQQ', 1, 24, len(data), len(data), off)
    cd_off = len(out); out += central; z64 = len(out)
    out += struct.pack('<IQHHIIQQQQ', 0x06064B50, 44, 45, 45, 0, 0, len(entries), len(entries),
                       len(central), cd_off)
    out += struct.pack('<IIQI', 0x07064B50, 0, z64, 1)
    out += struct.pack('<IHHHHIIH', 0x06054B50, 0, 0, 0xFFFF, 0xFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 0)
    open(path, 'wb').write(out)
)PY";

inline int64_t FileSize(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 ? st.st_size : -1;
}

// The ZipError of what AAction raises, 0 when it raises nothing.
template <class TAction>
int32_t ZipErrorOf(TAction&& AAction, std::string* AMessage = nullptr) {
  try {
    AAction();
  } catch (const EZipError& e) {
    if (AMessage) *AMessage = e.what();
    return static_cast<int32_t>(e.ZipError.Value());
  }
  return 0;
}

}  // namespace qv::test
