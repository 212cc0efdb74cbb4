// SPDX-License-Identifier: Apache-2.0
#include "base/FtGlobal.h"

#include <array>
#include <utility>

#include "base/FormatUtils.h"
#include "base/Translation.h"

namespace qv {
namespace {

const char* DetailText(uint32_t detail) {
  switch (detail) {
    case errCreateFile: return "Could not create file";
    case errOpenFile: return "Could not open file";
    case errCloseFile: return "Could not close file";
    case errReadFile: return "Could not read from file";
    case errWriteFile: return "Could not write to file";
    case errSetAttr: return "File attributes could not be set";
    case errDiskFull: return "Low disk space";
    case errGzipHeader: return "Illegal gzip header";
    case errCorrupt: return "Corrupt file";
    case errEncrypt: return "Encryption failed";
    case errDecrypt: return "Decryption failed";
    case errVerify: return "Verify failed";
    case errPathTooLong: return "Path too long";
    case errFileNotFound: return "File not found";
    case errSetTimestamp: return "Timestamp could not be set";
    case errCopyDetails: return "File details could not be copied";
    case errTimeout: return "Timeout error on copying file";
    case errNoStream: return "Undefined stream";
    case errCopyAcl: return "Permissions could not be copied";
    case errFtpRead: return "Could not read from FTP";
    case errFtpWrite: return "Could not write to FTP";
    case errFtpConnect: return "Could not connect to FTP server";
    case errFtpClosed: return "FTP connection was closed by server";
    case errFtpData: return "Could not open FTP data connection";
    case errFtpTimeout: return "Timeout error on copying file via FTP";
    case errZipSignature: return "Illegal zip signature";
    case errZipExtract: return "Could not extract file";
    case errFormat: return "Unsupported file format";
    case errUnsupportedMethod: return "Unsupported compression method";
    case errUnsupportedEncryption: return "Unsupported encryption method";
    case errNameRefused: return "Name refused: it leads outside the destination";
    case errVerifyFailed: return "Verification failed";
    case errNotRegularFile: return "Not a regular file";
    case errReadFolder: return "Could not read folder";
    case errNameNotHeld: return "Name refused: Windows cannot hold this name";
    case errArchiveAsFile: return "This is an archive: open it in the folder tree to choose entries";
    case errUserBreak: return "Terminated by user";
    default: return nullptr;
  }
}

const char* SeverityPrefix(uint32_t severity) {
  switch (severity) {
    case sevError: return "Error: ";
    case sevWarning: return "Warning: ";
    case sevError2: return "Error(2): ";
    default: return "Info: ";
  }
}

const char* OperationSuffix(uint32_t operation) {
  static constexpr std::array<const char*, 6> kSuffixes = {
      " (Copy)", " (gzip)", " (gunzip)", " (Zip)", " (Encrypt)", " (Decrypt)"};
  const uint32_t mark = operation >> 12;
  return (mark >= 1 && mark <= 6) ? kSuffixes[mark - 1] : nullptr;
}

}  // namespace

std::string FormatMsg(const std::string& format, const std::string& name) {
  std::string result;
  const auto pos = format.find("%s");
  if (pos == std::string::npos) return format;
  result.reserve(format.size() + name.size());
  result.append(format, 0, pos).append(name).append(format, pos + 2);
  return result;
}

std::string GetErrorMessage(uint32_t code) {
  std::string message = TrUnits(SeverityPrefix(ErrorSeverity(code)));
  if (const char* detail = DetailText(ErrorDetail(code))) {
    message += TrUnits(detail);
  } else {
    message += FormatMsg(TrUnits("Unknown code (%s)"), Hex32(code));
  }
  if (const char* suffix = OperationSuffix(ErrorOperation(code))) message += TrUnits(suffix);
  return message;
}

std::string MsgErrorOpening() { return TrUnits("Error opening \"%s\""); }
std::string MsgErrorReading() { return TrUnits("Error reading from \"%s\""); }
std::string MsgErrorSetAttr() { return TrUnits("Error setting attributes of \"%s\""); }
std::string MsgErrorSetTime() { return TrUnits("Error setting timestamp of \"%s\""); }

}  // namespace qv
