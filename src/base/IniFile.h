// SPDX-License-Identifier: Apache-2.0
#pragma once
// Settings files in the INI format. Unknown sections and keys, comments, blank lines and their
// order survive a rewrite; section and key names match without regard to case. Writing is
// atomic (a temporary file beside the target, renamed over it).
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace qv {

// The parsed text of one INI file.
class TIniDocument {
 public:
  void Parse(const std::string& text);
  std::string Serialize() const;

  // nullptr when the key is absent.
  const std::string* Find(const std::string& section, const std::string& key) const;
  void Set(const std::string& section, const std::string& key, const std::string& value);
  void EraseSection(const std::string& section);
  bool HasSection(const std::string& section) const;
  // The keys of a section in file order.
  std::vector<std::string> Keys(const std::string& section) const;

 private:
  struct TLine {
    std::string Raw;      // the text as read or as last written
    std::string Section;  // the section the line belongs to ("" before the first header)
    std::string Key;      // empty for headers, comments, blank and other lines
    std::string Value;
    bool Header = false;
  };
  std::vector<TLine> FLines;
  bool FCrLf = false;
  bool FBom = false;
};

class TIniFile {
 public:
  // Reads the file when it exists; a missing file starts empty.
  explicit TIniFile(std::string fileName);

  const std::string& FileName() const { return FFileName; }
  // Reads the file again, dropping changes not yet written.
  bool Reload();

  std::string ReadString(const std::string& section, const std::string& key,
                         const std::string& defaultValue = "") const;
  // Decimal (or "0x"/"$" hexadecimal) text; anything else gives the default.
  int64_t ReadInteger(const std::string& section, const std::string& key,
                      int64_t defaultValue = 0) const;
  // A number other than 0 is true; "true"/"false" are accepted too.
  bool ReadBool(const std::string& section, const std::string& key, bool defaultValue) const;
  bool ValueExists(const std::string& section, const std::string& key) const;
  bool SectionExists(const std::string& section) const;
  std::vector<std::string> ReadSection(const std::string& section) const;

  // Line breaks in a value become blanks, so that a value cannot add keys of its own.
  void WriteString(const std::string& section, const std::string& key, const std::string& value);
  void WriteInteger(const std::string& section, const std::string& key, int64_t value);
  void WriteBool(const std::string& section, const std::string& key, bool value);  // "1"/"0"
  void EraseSection(const std::string& section);

  // Writes the changes made through this object into the file as it is on disk now, so that
  // sections written meanwhile by others stay. False when the file could not be written.
  bool UpdateFile();
  bool Modified() const { return !FPending.empty(); }

 private:
  std::string FFileName;
  TIniDocument FDocument;
  std::vector<std::function<void(TIniDocument&)>> FPending;
};

// One-shot operations on a file path.
std::string ReadIniString(const std::string& file, const std::string& section,
                          const std::string& key, const std::string& defaultValue = "");
int64_t ReadIniInteger(const std::string& file, const std::string& section,
                       const std::string& key, int64_t defaultValue = 0);
bool ReadIniBool(const std::string& file, const std::string& section, const std::string& key,
                 bool defaultValue);
bool WriteIniString(const std::string& file, const std::string& section, const std::string& key,
                    const std::string& value);
bool WriteIniInteger(const std::string& file, const std::string& section,
                     const std::string& key, int64_t value);
bool WriteIniBool(const std::string& file, const std::string& section, const std::string& key,
                  bool value);
bool EraseIniSection(const std::string& file, const std::string& section);
// Every write above is on disk when it returns; this only syncs the file to the medium.
bool FlushIniFile(const std::string& file);

}  // namespace qv
