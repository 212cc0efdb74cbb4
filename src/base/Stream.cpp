// SPDX-License-Identifier: Apache-2.0
#include "base/Stream.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace qv {
namespace {

int OpenFlags(TOpenMode mode) {
  switch (mode) {
    case TOpenMode::Read: return O_RDONLY;
    case TOpenMode::Create: return O_RDWR | O_CREAT | O_TRUNC;
    case TOpenMode::CreateNew: return O_RDWR | O_CREAT | O_EXCL;
    case TOpenMode::ReadWrite: return O_RDWR;
  }
  return O_RDONLY;
}

// Shared by the two memory streams.
int64_t SeekInRange(size_t& position, size_t size, int64_t offset, int whence) {
  int64_t base = 0;
  if (whence == SEEK_CUR) base = static_cast<int64_t>(position);
  else if (whence == SEEK_END) base = static_cast<int64_t>(size);
  else if (whence != SEEK_SET) return -1;
  const int64_t target = base + offset;
  if (target < 0) return -1;
  position = static_cast<size_t>(target);
  return target;
}

// Repeats readSome(to, count, done) until count bytes arrived or the end was reached.
template <typename TReadSome>
int64_t ReadFully(void* buffer, size_t count, TReadSome readSome) {
  auto* out = static_cast<uint8_t*>(buffer);
  size_t done = 0;
  while (done < count) {
    const ssize_t n = readSome(out + done, count - done, done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (n == 0) break;
    done += static_cast<size_t>(n);
  }
  return static_cast<int64_t>(done);
}

}  // namespace

std::unique_ptr<TFileStream> TFileStream::Open(const std::string& path, TOpenMode mode,
                                               unsigned permissions) {
  int fd;
  do {
    fd = ::open(path.c_str(), OpenFlags(mode) | O_CLOEXEC, permissions);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return nullptr;
  return std::unique_ptr<TFileStream>(new TFileStream(fd));
}

std::unique_ptr<TFileStream> TFileStream::Adopt(int handle) {
  if (handle < 0) return nullptr;
  return std::unique_ptr<TFileStream>(new TFileStream(handle));
}

TFileStream::~TFileStream() {
  if (FHandle >= 0) ::close(FHandle);
}

bool TFileStream::Close() {
  if (FHandle < 0) return true;
  const int rc = ::close(FHandle);
  FHandle = -1;
  return rc == 0;
}

int64_t TFileStream::Read(void* buffer, size_t count) {
  return ReadFully(buffer, count, [this](uint8_t* to, size_t n, size_t) {
    return ::read(FHandle, to, n);
  });
}

int64_t ReadFileAt(int handle, void* buffer, size_t count, int64_t offset) {
  return ReadFully(buffer, count, [handle, offset](uint8_t* to, size_t n, size_t done) {
    return ::pread(handle, to, n, offset + static_cast<int64_t>(done));
  });
}

int64_t TFileStream::ReadAt(void* buffer, size_t count, int64_t offset) { return ReadFileAt(FHandle, buffer, count, offset); }

int64_t TFileStream::Write(const void* buffer, size_t count) {
  const auto* in = static_cast<const uint8_t*>(buffer);
  size_t done = 0;
  while (done < count) {
    const ssize_t n = ::write(FHandle, in + done, count - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      // Short count: the medium is full, or the file may grow no further (size limit).
      if (errno == ENOSPC || errno == EDQUOT || errno == EFBIG) break;
      return -1;
    }
    if (n == 0) break;
    done += static_cast<size_t>(n);
  }
  if (FOnWrite && done > 0) FOnWrite(in, done);
  return static_cast<int64_t>(done);
}

int64_t TFileStream::Seek(int64_t offset, int whence) {
  return ::lseek(FHandle, offset, whence);
}

int64_t TFileStream::Size() {
  struct stat st {};
  if (::fstat(FHandle, &st) != 0) return -1;
  return st.st_size;
}

bool TFileStream::Flush() { return ::fsync(FHandle) == 0; }

int64_t TMemoryStream::Read(void* buffer, size_t count) {
  if (FPosition >= FData.size()) return 0;
  const size_t n = std::min(count, FData.size() - FPosition);
  std::memcpy(buffer, FData.data() + FPosition, n);
  FPosition += n;
  return static_cast<int64_t>(n);
}

int64_t TMemoryStream::Write(const void* buffer, size_t count) {
  if (count == 0) return 0;
  if (FPosition + count > FData.size()) FData.resize(FPosition + count);
  std::memcpy(FData.data() + FPosition, buffer, count);
  FPosition += count;
  return static_cast<int64_t>(count);
}

int64_t TMemoryStream::Seek(int64_t offset, int whence) {
  return SeekInRange(FPosition, FData.size(), offset, whence);
}

int64_t TNullStream::Write(const void*, size_t count) {
  FPosition += count;
  FSize = std::max(FSize, FPosition);
  return static_cast<int64_t>(count);
}

int64_t TNullStream::Seek(int64_t offset, int whence) {
  return SeekInRange(FPosition, FSize, offset, whence);
}

int64_t TReadOnlyMemoryStream::Read(void* buffer, size_t count) {
  if (FPosition >= FSize) return 0;
  const size_t n = std::min(count, FSize - FPosition);
  std::memcpy(buffer, FData + FPosition, n);
  FPosition += n;
  return static_cast<int64_t>(n);
}

int64_t TReadOnlyMemoryStream::Seek(int64_t offset, int whence) {
  return SeekInRange(FPosition, FSize, offset, whence);
}

}  // namespace qv
