// SPDX-License-Identifier: Apache-2.0
// Zip entry names as the mount turns them into paths: the raw bytes decoded as a restore
// decodes them (UTF-8 flag or code page), then split into components. No crash, and a name
// that is taken never yields a component that leaves its folder or cannot stand in a listing.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "mount/MountNames.h"
#include "transfer/ZipTypes.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  // The first byte chooses the flag (bit 11: UTF-8 name), the rest is the stored name.
  const uint16_t flag = (data[0] & 1) != 0 ? qv::ZipFlagUtf8 : 0;
  const std::string_view raw(reinterpret_cast<const char*>(data + 1), size - 1);
  const std::string name = qv::DecodeZipName(raw, flag);
  const auto parts = qv::EntryPathParts(name);
  if (!parts) return 0;
  if (parts->empty()) std::abort();
  // What the mount shows must also be a name a restore would write.
  if (!qv::IsSafeEntryName(name)) std::abort();
  for (const std::string& part : *parts) {
    if (!qv::IsListableName(part)) std::abort();
    if (part.find('\\') != std::string::npos) std::abort();
  }
  return 0;
}
