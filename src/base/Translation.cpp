// SPDX-License-Identifier: Apache-2.0
#include "base/Translation.h"

#include <libintl.h>
#include <locale.h>

#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <optional>

#include "BuildConfig.h"
#include "base/FileUtils.h"
#include "base/SysInfo.h"

namespace qv {
namespace {

// LANGUAGE as the user set it, captured before the first change.
const std::optional<std::string>& OriginalLanguageVariable() {
  static const std::optional<std::string> original = [] {
    const char* value = std::getenv("LANGUAGE");
    return value ? std::optional<std::string>(value) : std::nullopt;
  }();
  return original;
}

}  // namespace

std::string Translate(const char* domain, const char* msgid) {
  return dgettext(domain, msgid);
}

std::string TranslatePlural(const char* domain, const char* singular, const char* plural, unsigned long n) {
  return dngettext(domain, singular, plural, n);
}

std::string CatalogueFolder() { return CatalogueFolderFor(ProgramFileName()); }

std::string CatalogueFolderFor(const std::string& programFile) {
  if (const char* dir = std::getenv("QUORVEX_LOCALEDIR"); dir && *dir) return dir;
  if (!programFile.empty()) {
    const std::filesystem::path bin = std::filesystem::path(programFile).parent_path();
    const std::string beside = (bin / QV_RELATIVE_LOCALEDIR).lexically_normal().string();
    if (LongDirectoryExists(beside)) return beside;
  }
#if QV_DEV_LOCALEDIR
  // A program run from the build tree.
  if (LongDirectoryExists(QV_BUILD_LOCALEDIR)) return QV_BUILD_LOCALEDIR;
#endif
  return QV_INSTALL_LOCALEDIR;
}

void BindTextDomains(const std::vector<std::string>& extraDomains) {
  const std::string folder = CatalogueFolder();
  auto bind = [&](const char* domain) {
    bindtextdomain(domain, folder.c_str());
    bind_textdomain_codeset(domain, "UTF-8");
  };
  for (const char* domain : {DomainDefault, DomainDialogs, DomainUnits}) bind(domain);
  for (const std::string& domain : extraDomains) bind(domain.c_str());
  textdomain(DomainDefault);
}

void SetTranslationLanguage(const std::string& code) {
  static std::mutex lock;
  std::lock_guard guard(lock);
  const auto& original = OriginalLanguageVariable();
  if (!code.empty()) {
    ::setenv("LANGUAGE", code.c_str(), 1);
  } else if (original) {
    ::setenv("LANGUAGE", original->c_str(), 1);
  } else {
    ::unsetenv("LANGUAGE");
  }
  // gettext ignores LANGUAGE under the plain "C" locale; C.UTF-8 behaves the same otherwise.
  const char* current = ::setlocale(LC_MESSAGES, nullptr);
  std::string messages = current ? current : "C";
  if (!code.empty() && (messages == "C" || messages == "POSIX")) messages = "C.UTF-8";
  // Setting the locale again also drops gettext's cache of earlier lookups.
  if (!::setlocale(LC_MESSAGES, messages.c_str())) ::setlocale(LC_MESSAGES, "");
  textdomain(textdomain(nullptr));
}

}  // namespace qv
