// SPDX-License-Identifier: Apache-2.0
#pragma once
// Raw-deflate decoder (no zlib or gzip wrapper) on the engine chosen at build time:
// ISA-L's isal_inflate when QV_USE_ISAL is defined, zlib's inflate otherwise.
//
// Typical use:
//   TInflater inf;
//   while (...) {
//     if (inf.AvailIn() == 0) inf.SetInput(chunk, chunkSize);   // bounded input, in chunks
//     size_t produced;
//     TInflateStatus st = inf.Inflate(out, outSize, produced);   // output into the caller's buffer
//     if (st == TInflateStatus::StreamEnd) break;                  // final block decoded
//     if (st == TInflateStatus::DataError) ...                     // corrupt stream
//   }
//   size_t unused = inf.AvailIn();  // input bytes after the stream's end (give them back)
#include <cstddef>
#include <cstdint>
#include <memory>

namespace qv {

enum class TInflateStatus {
  Ok,         // progress made; the output buffer is full or the input is used up
  StreamEnd,  // the final block has been decoded; AvailIn() is what follows the stream
  DataError,  // the stream is corrupt (or the engine could not allocate its state)
};

class TInflater {
 public:
  TInflater();
  ~TInflater();
  TInflater(const TInflater&) = delete;
  TInflater& operator=(const TInflater&) = delete;

  // False when the engine could not be initialised; Inflate then reports DataError.
  bool Valid() const;

  // Starts a new stream; pending input is dropped.
  void Reset();

  // Supplies the next input chunk. The bytes must stay valid until AvailIn() is 0 or the
  // stream ends. Replaces whatever input was still pending.
  void SetInput(const void* data, size_t size);

  // Input bytes not yet consumed. After StreamEnd these are the bytes behind the deflate
  // stream, including any the engine had read ahead into its bit buffer.
  size_t AvailIn() const;

  // Decodes into out[0..outSize). produced receives the number of bytes written.
  // Returns Ok while the stream goes on; Ok with produced == 0 and AvailIn() == 0 means
  // more input is needed. After StreamEnd further calls produce nothing and return StreamEnd.
  TInflateStatus Inflate(void* out, size_t outSize, size_t& produced);

  // True once the final block has been decoded.
  bool Finished() const;

  // Total input consumed and output produced since the last Reset.
  uint64_t TotalIn() const;
  uint64_t TotalOut() const;

  // Name of the engine in use ("isa-l" or "zlib"), for reports and benchmarks.
  static const char* EngineName();

 private:
  struct TImpl;
  std::unique_ptr<TImpl> FImpl;
};

}  // namespace qv
