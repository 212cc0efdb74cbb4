// SPDX-License-Identifier: Apache-2.0
#include "base/IniFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <charconv>
#include <fstream>
#include <sstream>

#include "base/PathUtils.h"
#include "base/FileUtils.h"

namespace qv {
namespace {

std::string Trim(const std::string& text) {
  const size_t start = text.find_first_not_of(" \t");
  if (start == std::string::npos) return {};
  const size_t end = text.find_last_not_of(" \t");
  return text.substr(start, end - start + 1);
}

bool SameName(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i])))
      return false;
  return true;
}

std::string Unquote(const std::string& value) {
  if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
      value.back() == value.front())
    return value.substr(1, value.size() - 2);
  return value;
}

std::string SingleLine(const std::string& text) {
  std::string result = text;
  for (char& c : result)
    if (c == '\r' || c == '\n') c = ' ';
  return result;
}

bool ReadWholeFile(const std::string& path, std::string& text) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream buffer;
  buffer << in.rdbuf();
  text = buffer.str();
  return true;
}

bool WriteAll(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

// Writes text into a new file beside path and renames it over path.
bool ReplaceFileAtomically(const std::string& path, const std::string& text) {
  // A settings file that is a link keeps being one: the link's target is replaced.
  std::string target = path;
  if (const std::string resolved = GetSymLinkTarget(path); !resolved.empty()) target = resolved;
  mode_t mode = 0644;
  struct stat st{};
  if (::stat(target.c_str(), &st) == 0) mode = st.st_mode & 07777;

  std::string temp = ExtractFilePath(target) + "." + ExtractFileName(target) + ".XXXXXX";
  const int fd = ::mkstemp(temp.data());
  if (fd < 0) return false;
  bool ok = WriteAll(fd, text) && ::fchmod(fd, mode) == 0 && ::fsync(fd) == 0;
  ok = (::close(fd) == 0) && ok;
  if (ok && ::rename(temp.c_str(), target.c_str()) == 0) return true;
  ::unlink(temp.c_str());
  return false;
}

}  // namespace

void TIniDocument::Parse(const std::string& input) {
  FLines.clear();
  std::string text = input;
  FBom = text.rfind("\xEF\xBB\xBF", 0) == 0;
  if (FBom) text.erase(0, 3);
  FCrLf = text.find("\r\n") != std::string::npos;
  std::string section;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    std::string raw = text.substr(pos, end - pos);
    if (!raw.empty() && raw.back() == '\r') raw.pop_back();
    pos = end + 1;

    TLine line;
    line.Raw = raw;
    const std::string trimmed = Trim(raw);
    if (trimmed.size() >= 2 && trimmed.front() == '[' && trimmed.find(']') != std::string::npos) {
      section = Trim(trimmed.substr(1, trimmed.find(']') - 1));
      line.Header = true;
    } else if (!trimmed.empty() && trimmed[0] != ';' && trimmed[0] != '#') {
      const size_t eq = trimmed.find('=');
      if (eq != std::string::npos && eq > 0) {
        line.Key = Trim(trimmed.substr(0, eq));
        line.Value = Unquote(Trim(trimmed.substr(eq + 1)));
      }
    }
    line.Section = section;
    FLines.push_back(std::move(line));
  }
}

std::string TIniDocument::Serialize() const {
  const char* eol = FCrLf ? "\r\n" : "\n";
  std::string text = FBom ? "\xEF\xBB\xBF" : "";
  for (const TLine& line : FLines) text.append(line.Raw).append(eol);
  return text;
}

const std::string* TIniDocument::Find(const std::string& section, const std::string& key) const {
  for (const TLine& line : FLines)
    if (!line.Key.empty() && SameName(line.Section, section) && SameName(line.Key, key))
      return &line.Value;
  return nullptr;
}

bool TIniDocument::HasSection(const std::string& section) const {
  for (const TLine& line : FLines)
    if (line.Header && SameName(line.Section, section)) return true;
  return false;
}

std::vector<std::string> TIniDocument::Keys(const std::string& section) const {
  std::vector<std::string> keys;
  for (const TLine& line : FLines)
    if (!line.Key.empty() && SameName(line.Section, section)) keys.push_back(line.Key);
  return keys;
}

void TIniDocument::Set(const std::string& section, const std::string& key,
                       const std::string& value) {
  const std::string cleanKey = Trim(SingleLine(key));
  const std::string cleanValue = SingleLine(value);
  if (cleanKey.empty()) return;
  for (TLine& line : FLines) {
    if (!line.Key.empty() && SameName(line.Section, section) && SameName(line.Key, cleanKey)) {
      line.Value = cleanValue;
      line.Raw = line.Key + "=" + cleanValue;
      return;
    }
  }
  TLine added;
  added.Section = section;
  added.Key = cleanKey;
  added.Value = cleanValue;
  added.Raw = cleanKey + "=" + cleanValue;

  // After the last non-blank line of the section's last block.
  size_t insertAt = FLines.size();
  bool found = false;
  for (size_t i = 0; i < FLines.size(); ++i) {
    if (!SameName(FLines[i].Section, section)) continue;
    if (section.empty() || FLines[i].Header || !Trim(FLines[i].Raw).empty()) {
      insertAt = i + 1;
      found = true;
    }
  }
  if (!found && !section.empty()) {
    if (!FLines.empty() && !Trim(FLines.back().Raw).empty()) FLines.push_back(TLine{});
    TLine header;
    header.Section = section;
    header.Header = true;
    header.Raw = "[" + SingleLine(section) + "]";
    FLines.push_back(std::move(header));
    insertAt = FLines.size();
  }
  FLines.insert(FLines.begin() + static_cast<std::ptrdiff_t>(insertAt), std::move(added));
}

void TIniDocument::EraseSection(const std::string& section) {
  std::vector<TLine> kept;
  for (TLine& line : FLines)
    if (!SameName(line.Section, section)) kept.push_back(std::move(line));
  FLines = std::move(kept);
}

TIniFile::TIniFile(std::string fileName) : FFileName(std::move(fileName)) { Reload(); }

bool TIniFile::Reload() {
  FPending.clear();
  std::string text;
  const bool read = ReadWholeFile(FFileName, text);
  FDocument.Parse(read ? text : std::string());
  return read;
}

std::string TIniFile::ReadString(const std::string& section, const std::string& key,
                                 const std::string& defaultValue) const {
  const std::string* value = FDocument.Find(section, key);
  return value ? *value : defaultValue;
}

int64_t TIniFile::ReadInteger(const std::string& section, const std::string& key,
                              int64_t defaultValue) const {
  const std::string text = Trim(ReadString(section, key));
  if (text.empty()) return defaultValue;
  std::string_view digits = text;
  bool negative = false;
  if (digits[0] == '-' || digits[0] == '+') {
    negative = digits[0] == '-';
    digits.remove_prefix(1);
  }
  int base = 10;
  if (digits.starts_with("0x") || digits.starts_with("0X")) {
    base = 16;
    digits.remove_prefix(2);
  } else if (digits.starts_with("$")) {
    base = 16;
    digits.remove_prefix(1);
  }
  uint64_t magnitude = 0;
  const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), magnitude, base);
  if (ec != std::errc() || end != digits.data() + digits.size() || digits.empty())
    return defaultValue;
  if (magnitude > static_cast<uint64_t>(INT64_MAX) + (negative ? 1 : 0)) return defaultValue;
  return negative ? static_cast<int64_t>(0 - magnitude) : static_cast<int64_t>(magnitude);
}

bool TIniFile::ReadBool(const std::string& section, const std::string& key,
                        bool defaultValue) const {
  const std::string text = Trim(ReadString(section, key));
  if (SameName(text, "true")) return true;
  if (SameName(text, "false")) return false;
  return ReadInteger(section, key, defaultValue ? 1 : 0) != 0;
}

bool TIniFile::ValueExists(const std::string& section, const std::string& key) const {
  return FDocument.Find(section, key) != nullptr;
}

bool TIniFile::SectionExists(const std::string& section) const {
  return FDocument.HasSection(section);
}

std::vector<std::string> TIniFile::ReadSection(const std::string& section) const {
  return FDocument.Keys(section);
}

void TIniFile::WriteString(const std::string& section, const std::string& key,
                           const std::string& value) {
  auto change = [section, key, value](TIniDocument& doc) { doc.Set(section, key, value); };
  change(FDocument);
  FPending.push_back(std::move(change));
}

void TIniFile::WriteInteger(const std::string& section, const std::string& key, int64_t value) {
  WriteString(section, key, std::to_string(value));
}

void TIniFile::WriteBool(const std::string& section, const std::string& key, bool value) {
  WriteString(section, key, value ? "1" : "0");
}

void TIniFile::EraseSection(const std::string& section) {
  auto change = [section](TIniDocument& doc) { doc.EraseSection(section); };
  change(FDocument);
  FPending.push_back(std::move(change));
}

bool TIniFile::UpdateFile() {
  if (FPending.empty()) return true;
  std::string text;
  TIniDocument current;
  current.Parse(ReadWholeFile(FFileName, text) ? text : std::string());
  for (const auto& change : FPending) change(current);
  if (!ReplaceFileAtomically(FFileName, current.Serialize())) return false;
  FDocument = std::move(current);
  FPending.clear();
  return true;
}

std::string ReadIniString(const std::string& file, const std::string& section,
                          const std::string& key, const std::string& defaultValue) {
  return TIniFile(file).ReadString(section, key, defaultValue);
}

int64_t ReadIniInteger(const std::string& file, const std::string& section,
                       const std::string& key, int64_t defaultValue) {
  return TIniFile(file).ReadInteger(section, key, defaultValue);
}

bool ReadIniBool(const std::string& file, const std::string& section, const std::string& key,
                 bool defaultValue) {
  return TIniFile(file).ReadBool(section, key, defaultValue);
}

bool WriteIniString(const std::string& file, const std::string& section, const std::string& key,
                    const std::string& value) {
  TIniFile ini(file);
  ini.WriteString(section, key, value);
  return ini.UpdateFile();
}

bool WriteIniInteger(const std::string& file, const std::string& section,
                     const std::string& key, int64_t value) {
  return WriteIniString(file, section, key, std::to_string(value));
}

bool WriteIniBool(const std::string& file, const std::string& section, const std::string& key,
                  bool value) {
  return WriteIniString(file, section, key, value ? "1" : "0");
}

bool EraseIniSection(const std::string& file, const std::string& section) {
  TIniFile ini(file);
  ini.EraseSection(section);
  return ini.UpdateFile();
}

bool FlushIniFile(const std::string& file) {
  const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno == ENOENT;  // nothing written, nothing to flush
  const bool ok = ::fsync(fd) == 0;
  ::close(fd);
  return ok;
}

}  // namespace qv
