// SPDX-License-Identifier: Apache-2.0
#pragma once
// Path strings: pure functions, no file-system access. Paths are UTF-8 with "/" as the
// delimiter; lengths are counted in characters (code points), never in bytes.
#include <string>

namespace qv {

inline constexpr char PathDelim = '/';

// The long-path form of a backslash path: "\\?\" before drive paths (and before the empty
// path), "\\?\UNC\" in place of the leading "\\" of network paths; paths already in long form,
// relative paths and POSIX paths pass unchanged.
std::string LongPath(const std::string& path);

// Empty stays empty; otherwise a trailing "/" is ensured.
std::string AddPathDelimiter(const std::string& path);
// Like AddPathDelimiter, but the empty path becomes "/".
std::string IncludeTrailingDelimiter(const std::string& path);
// Removes trailing delimiters, except the one of the root "/".
std::string ExcludeTrailingDelimiter(const std::string& path);
// The folder part with its trailing "/" ("a/b/c.txt" -> "a/b/", "c.txt" -> "").
std::string ExtractFilePath(const std::string& path);
// The folder part without the trailing "/" (the root stays "/").
std::string ExtractFileDir(const std::string& path);
// The part after the last "/".
std::string ExtractFileName(const std::string& path);

// The text after the last "." of the name part, without the dot; empty when there is none.
std::string GetExtension(const std::string& name);
// Removes the last "." of the name part and what follows.
std::string DeleteExtension(const std::string& name);
// Replaces the extension: ext with or without a leading "."; an empty ext removes it.
std::string NewExtension(const std::string& name, const std::string& ext);
// dir + "/" + name; defaultExt is added when name has no "." at all. An absolute name, or an
// empty dir, gives name alone.
std::string CombineFileName(const std::string& dir, const std::string& name,
                            const std::string& defaultExt = "");
// Non-empty and starting with "/".
bool IsAbsolutePath(const std::string& path);

// Fits a path into maxLength characters by replacing the middle folders with "..."; the
// beginning and the last name stay whole when possible. Paths shorter than maxLength pass.
std::string ShortenPath(const std::string& path, size_t maxLength);

// When text holds ":" and the part before the first ":" is, ignoring case, a prefix of the
// lower-case keyword (the empty part too), removes it with the ":" and returns true.
bool StripPrefix(std::string& text, const std::string& keyword);

// Prepends blanks up to width characters.
std::string PadLeft(const std::string& text, size_t width);

// Number of code points of a UTF-8 string; the last count code points of it.
size_t Utf8Length(const std::string& text);
std::string Utf8Tail(const std::string& text, size_t count);

}  // namespace qv
