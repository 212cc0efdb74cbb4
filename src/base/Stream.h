// SPDX-License-Identifier: Apache-2.0
#pragma once
// Byte streams of the workers and the decryptor. No exceptions: failures are return values.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace qv {

class TStream {
 public:
  virtual ~TStream() = default;
  // Reads up to count bytes; fewer only at the end of the stream. -1 on a read error.
  virtual int64_t Read(void* buffer, size_t count) = 0;
  // Writes count bytes; fewer when the medium is full. -1 on a write error.
  virtual int64_t Write(const void* buffer, size_t count) = 0;
  // Like lseek: SEEK_SET, SEEK_CUR or SEEK_END. New position, or -1.
  virtual int64_t Seek(int64_t offset, int whence) = 0;
  int64_t Position() { return Seek(0, 1 /*SEEK_CUR*/); }
  virtual int64_t Size() = 0;
  // A stream that holds its next bytes in memory may lend them instead of copying: up to
  // count bytes from the position, which moves past them; the bytes stay valid until the next
  // call on the stream. 0 at the end, -1 on failure, as Read. Only where Lends() says so.
  virtual bool Lends() const { return false; }
  virtual int64_t Lend(const uint8_t*& /*data*/, size_t /*count*/) { return -1; }
};

enum class TOpenMode {
  Read,         // existing file, read only
  Create,       // create or truncate, read and write
  CreateNew,    // create, fail when the file exists (O_EXCL), read and write
  ReadWrite,    // existing file, read and write
};

// Reads up to count bytes at an absolute offset of an open file, on through short reads;
// fewer only at the end of the file, -1 on failure.
int64_t ReadFileAt(int handle, void* buffer, size_t count, int64_t offset);

// A file on a POSIX descriptor, closed by the destructor.
class TFileStream final : public TStream {
 public:
  // Opens path; nullptr on failure with errno left as the system set it.
  static std::unique_ptr<TFileStream> Open(const std::string& path, TOpenMode mode,
                                           unsigned permissions = 0666);
  // Takes over an open descriptor (closed by the stream); nullptr for a negative one.
  static std::unique_ptr<TFileStream> Adopt(int handle);
  ~TFileStream() override;
  TFileStream(const TFileStream&) = delete;
  TFileStream& operator=(const TFileStream&) = delete;

  int64_t Read(void* buffer, size_t count) override;
  int64_t Write(const void* buffer, size_t count) override;
  int64_t Seek(int64_t offset, int whence) override;
  int64_t Size() override;
  // Reads at an absolute offset without moving the position.
  int64_t ReadAt(void* buffer, size_t count, int64_t offset);
  // Flushes to the medium; false on failure.
  bool Flush();
  // Closes now and reports a failure of the close itself.
  bool Close();
  int Handle() const { return FHandle; }
  // Sees every byte that Write puts into the file, in order (a digest of what was written).
  void SetOnWrite(std::function<void(const void*, size_t)> AObserver) { FOnWrite = std::move(AObserver); }

 private:
  explicit TFileStream(int handle) : FHandle(handle) {}
  int FHandle;
  std::function<void(const void*, size_t)> FOnWrite;
};

// A growable stream in memory.
class TMemoryStream final : public TStream {
 public:
  TMemoryStream() = default;
  explicit TMemoryStream(std::vector<uint8_t> data) : FData(std::move(data)) {}
  int64_t Read(void* buffer, size_t count) override;
  int64_t Write(const void* buffer, size_t count) override;
  int64_t Seek(int64_t offset, int whence) override;
  int64_t Size() override { return static_cast<int64_t>(FData.size()); }
  std::vector<uint8_t>& Data() { return FData; }
  void Clear() { FData.clear(); FPosition = 0; }

 private:
  std::vector<uint8_t> FData;
  size_t FPosition = 0;
};

// Takes every byte and keeps none: where a test run's data go once they are checked.
class TNullStream final : public TStream {
 public:
  int64_t Read(void*, size_t) override { return 0; }
  int64_t Write(const void*, size_t count) override;
  int64_t Seek(int64_t offset, int whence) override;
  int64_t Size() override { return static_cast<int64_t>(FSize); }

 private:
  size_t FSize = 0;
  size_t FPosition = 0;
};

// A read-only view of bytes owned elsewhere.
class TReadOnlyMemoryStream final : public TStream {
 public:
  TReadOnlyMemoryStream(const void* data, size_t size)
      : FData(static_cast<const uint8_t*>(data)), FSize(size) {}
  int64_t Read(void* buffer, size_t count) override;
  int64_t Write(const void*, size_t) override { return -1; }
  int64_t Seek(int64_t offset, int whence) override;
  int64_t Size() override { return static_cast<int64_t>(FSize); }

 private:
  const uint8_t* FData;
  size_t FSize;
  size_t FPosition = 0;
};

}  // namespace qv
