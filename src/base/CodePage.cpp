// SPDX-License-Identifier: Apache-2.0
#include "base/CodePage.h"

#include <iconv.h>

#include <cerrno>
#include <mutex>

namespace qv {
namespace {

struct TAnsiSetting {
  std::mutex Lock;
  std::string Name = "CP1252";
};

TAnsiSetting& AnsiSetting() {
  static TAnsiSetting setting;
  return setting;
}

class TIconv {
 public:
  TIconv(const std::string& from, const std::string& to)
      : FHandle(::iconv_open(to.c_str(), from.c_str())) {}
  ~TIconv() {
    if (Valid()) ::iconv_close(FHandle);
  }
  TIconv(const TIconv&) = delete;
  TIconv& operator=(const TIconv&) = delete;
  bool Valid() const { return FHandle != reinterpret_cast<iconv_t>(-1); }
  iconv_t Handle() const { return FHandle; }

 private:
  iconv_t FHandle;
};

// Length of the UTF-8 sequence that starts with lead, 1 for a stray byte.
size_t Utf8SequenceLength(unsigned char lead) {
  if (lead >= 0xF0 && lead <= 0xF4) return 4;
  if (lead >= 0xE0) return lead <= 0xEF ? 3 : 1;
  if (lead >= 0xC2) return 2;
  return 1;
}

}  // namespace

std::string ConvertCodePage(const std::string& text, const std::string& from,
                            const std::string& to) {
  TIconv cd(from, to);
  if (!cd.Valid()) return {};
  const bool utf8Source = from == "UTF-8";

  std::string out;
  out.reserve(text.size() * 2);
  char* in = const_cast<char*>(text.data());
  size_t inLeft = text.size();
  char buffer[1024];
  while (inLeft > 0) {
    char* dst = buffer;
    size_t dstLeft = sizeof buffer;
    const size_t rc = ::iconv(cd.Handle(), &in, &inLeft, &dst, &dstLeft);
    out.append(buffer, static_cast<size_t>(dst - buffer));
    if (rc != static_cast<size_t>(-1)) break;
    if (errno == E2BIG) continue;
    // An unconvertible or invalid character: one "?" in its place, then go on.
    size_t skip = 1;
    if (utf8Source && errno == EILSEQ) {
      skip = Utf8SequenceLength(static_cast<unsigned char>(*in));
      if (skip > inLeft) skip = 1;
      for (size_t i = 1; i < skip; ++i)
        if ((static_cast<unsigned char>(in[i]) & 0xC0) != 0x80) skip = 1;
    } else if (errno == EINVAL) {
      skip = inLeft;  // a truncated sequence at the end
    }
    out.push_back('?');
    in += skip;
    inLeft -= skip;
    ::iconv(cd.Handle(), nullptr, nullptr, nullptr, nullptr);
  }
  char* dst = buffer;
  size_t dstLeft = sizeof buffer;
  ::iconv(cd.Handle(), nullptr, nullptr, &dst, &dstLeft);  // flush a pending shift state
  out.append(buffer, static_cast<size_t>(dst - buffer));
  return out;
}

bool SetAnsiCodePage(const std::string& name) {
  TIconv probe(name, "UTF-8");
  if (!probe.Valid()) return false;
  std::lock_guard lock(AnsiSetting().Lock);
  AnsiSetting().Name = name;
  return true;
}

std::string AnsiCodePage() {
  std::lock_guard lock(AnsiSetting().Lock);
  return AnsiSetting().Name;
}

std::string AnsiToUtf8(const std::string& text) {
  return ConvertCodePage(text, AnsiCodePage(), "UTF-8");
}

std::string Utf8ToAnsi(const std::string& text) {
  return ConvertCodePage(text, "UTF-8", AnsiCodePage());
}

std::string OemToUtf8(const std::string& text) { return ConvertCodePage(text, "CP437", "UTF-8"); }

}  // namespace qv
