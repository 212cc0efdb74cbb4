// SPDX-License-Identifier: Apache-2.0
#pragma once
// Message lookup through GNU gettext. The English text is the message id and the fallback.
#include <string>
#include <vector>

namespace qv {

// The installed catalogues share the system's locale folder, so every domain carries the
// program's name: po/dialogs becomes quorvex-restore-dialogs.mo (cmake/Translations.cmake).
inline constexpr const char* DomainDefault = "quorvex-restore";         // main window, timestamp dialog
inline constexpr const char* DomainDialogs = "quorvex-restore-dialogs";  // the dialogs
inline constexpr const char* DomainUnits = "quorvex-restore-units";      // error texts, size units

// Looks up msgid in the given text domain; returns msgid when there is no translation.
std::string Translate(const char* domain, const char* msgid);

inline std::string TrUnits(const char* msgid) { return Translate(DomainUnits, msgid); }
inline std::string TrDialogs(const char* msgid) { return Translate(DomainDialogs, msgid); }
inline std::string Tr(const char* msgid) { return Translate(DomainDefault, msgid); }
// The form of a text with a count that the language takes for n ("1 file", "2 files").
std::string TranslatePlural(const char* domain, const char* singular, const char* plural, unsigned long n);
inline std::string NTr(const char* singular, const char* plural, unsigned long n) {
  return TranslatePlural(DomainDefault, singular, plural, n);
}

// Marks a string for extraction without translating it where it stands.
#define N_(text) text

// Where the catalogues are searched: $QUORVEX_LOCALEDIR, else the installed ones beside the
// program (bin/../share/locale, so a moved prefix keeps working), else the build tree's, else
// the folder of the configured prefix.
std::string CatalogueFolder();
// The same choice for a program file at the given path.
std::string CatalogueFolderFor(const std::string& programFile);
// Binds the three domains of the program and any extra ones to the catalogue folder, with
// UTF-8 output; the default domain becomes the process's text domain.
void BindTextDomains(const std::vector<std::string>& extraDomains = {});
// Makes gettext use the two-letter code from now on. An empty code leaves the choice to the
// environment as it was at start-up. Also usable by tests to switch languages.
void SetTranslationLanguage(const std::string& code);

}  // namespace qv
