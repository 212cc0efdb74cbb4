// SPDX-License-Identifier: Apache-2.0
#pragma once
// Error codes of the transfer workers, their messages, and the progress vocabulary.
#include <cstdint>
#include <functional>
#include <string>
#include <utility>

namespace qv {

// Details (bits 0-7).
enum : uint32_t {
  errCreateFile = 1,
  errOpenFile = 2,
  errCloseFile = 3,
  errReadFile = 4,
  errWriteFile = 5,
  errSetAttr = 6,
  errDiskFull = 7,
  errGzipHeader = 8,
  errCorrupt = 9,
  errEncrypt = 10,
  errDecrypt = 11,
  errVerify = 12,
  errPathTooLong = 13,
  errFileNotFound = 14,
  errSetTimestamp = 15,
  errCopyDetails = 16,
  errTimeout = 17,
  errNoStream = 18,
  errCopyAcl = 19,
  errFtpRead = 24,
  errFtpWrite = 25,
  errFtpConnect = 26,
  errFtpClosed = 27,
  errFtpData = 28,
  errFtpTimeout = 29,
  errZipSignature = 32,
  errZipExtract = 33,
  errFormat = 34,
  errUnsupportedMethod = 35,      // a compression method the program cannot unpack
  errUnsupportedEncryption = 36,  // an encryption the program cannot decrypt (ZipCrypto, ...)
  errNameRefused = 37,            // a restored name that is empty, "." / "..", or leads outside
  errVerifyFailed = 38,           // a restored file read back differs from what was written
  errNotRegularFile = 39,         // a FIFO, device or socket named as a source
  errReadFolder = 40,             // a folder that cannot be listed
  errArchiveAsFile = 41,          // a zip archive selected as a file
  errNameNotHeld = 42,            // a name Windows cannot hold (a device name, a trailing dot
                                  // or space, a reserved character): refused, never renamed
  errUserBreak = 128,
};

// Severity classes (bits 8-11).
enum : uint32_t {
  sevInfo = 0x000,
  sevError = 0x100,
  sevWarning = 0x200,
  sevError2 = 0x300,
};

// Operation marks (bits 12-15).
enum : uint32_t {
  opNone = 0x0000,
  opCopy = 0x1000,
  opGzip = 0x2000,
  opGunzip = 0x3000,
  opZip = 0x4000,
  opEncrypt = 0x5000,
  opDecrypt = 0x6000,
};

inline constexpr uint32_t ErrorDetail(uint32_t code) { return code & 0xFF; }
inline constexpr uint32_t ErrorSeverity(uint32_t code) { return code & 0xF00; }
inline constexpr uint32_t ErrorOperation(uint32_t code) { return code & 0xF000; }

// Renders any code as "prefix detail suffix", each piece translated in the domain "units".
std::string GetErrorMessage(uint32_t code);

// A result of a worker or of the session: detail, severity and operation mark as named parts
// of one 16-bit value. The numeric value is what users see ("Unknown code (0000310E)") and
// what the CLI's JSON reports, so it never changes meaning; 0 means success.
class TErrorCode {
 public:
  constexpr TErrorCode() = default;
  constexpr TErrorCode(uint32_t ASeverity, uint32_t ADetail, uint32_t AOperation = opNone)
      : FValue((AOperation & 0xF000) | (ASeverity & 0xF00) | (ADetail & 0xFF)) {}
  // A value as stored or reported elsewhere (a test table, an old int channel).
  static constexpr TErrorCode FromValue(uint32_t AValue) {
    TErrorCode code;
    code.FValue = AValue;
    return code;
  }

  constexpr uint32_t Detail() const { return FValue & 0xFF; }
  constexpr uint32_t Severity() const { return FValue & 0xF00; }
  constexpr uint32_t Operation() const { return FValue & 0xF000; }
  constexpr uint32_t Value() const { return FValue; }
  constexpr bool Failed() const { return FValue != 0; }
  constexpr explicit operator bool() const { return Failed(); }
  // The same result marked with the operation that reports it (a worker's own mark).
  constexpr TErrorCode WithOperation(uint32_t AOperation) const {
    return FromValue((FValue & ~0xF000u) | (AOperation & 0xF000));
  }
  constexpr bool Is(uint32_t ADetail) const { return Detail() == ADetail; }
  std::string Message() const { return GetErrorMessage(FValue); }

  friend constexpr bool operator==(TErrorCode, TErrorCode) = default;

 private:
  uint32_t FValue = 0;
};

// A result with what its code cannot say: where and why it failed ("entry \"a.txt\" at offset
// 1234: compressed size 100 in the directory, 90 in the local header"). Users see the code's
// message first and the context on a line of its own; it is empty where there is nothing to add.
struct TRestoreError {
  TErrorCode Code;
  std::string Context;
  TRestoreError() = default;
  TRestoreError(TErrorCode ACode, std::string AContext = {}) : Code(ACode), Context(std::move(AContext)) {}
  bool Failed() const { return Code.Failed(); }
  explicit operator bool() const { return Failed(); }
  bool Is(uint32_t ADetail) const { return Code.Is(ADetail); }
  std::string Message() const { return Code.Message(); }
};

// A job of at most this many bytes (read or written) is small: its file is read in one call
// and worked on in memory, and it runs without a thread of its own, which costs more than it.
inline constexpr int64_t CSmallJobLimit = 64 * 1024;

// Format strings with one %s for a file name, which stands in double quotes.
std::string MsgErrorOpening();
std::string MsgErrorReading();
std::string MsgErrorSetAttr();
std::string MsgErrorSetTime();

// Fills a format of the four above with a file name.
std::string FormatMsg(const std::string& format, const std::string& name);

// The activity that a progress report belongs to.
enum class TFileAction : uint8_t {
  acNone,
  acCopy,
  acCompress,
  acUnCompress,
  acEncrypt,
  acDecrypt,
  acVerify,
  acAddVerify,
  acFtpWrite,
  acFtpRead,
  acScan,
};
using enum TFileAction;

// Progress callback: a negative ACount announces the total of the activity that follows.
using TProgressEvent = std::function<void(TFileAction AAction, int64_t ACount, bool ASpeedLimit)>;

// Time-out poll: true means the waiting caller gives up.
using TTimeOutEvent = std::function<bool()>;

}  // namespace qv
