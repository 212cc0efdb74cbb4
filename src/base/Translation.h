#pragma once
// Message lookup through GNU gettext. The English text is the message id and the fallback.
#include <string>

namespace qv {

inline constexpr const char* DomainDefault = "quorvex-restore";  // main window, timestamp dialog
inline constexpr const char* DomainDialogs = "dialogs";          // the dialogs
inline constexpr const char* DomainUnits = "units";              // error texts, size units

// Looks up msgid in the given text domain; returns msgid when there is no translation.
std::string Translate(const char* domain, const char* msgid);

inline std::string TrUnits(const char* msgid) { return Translate(DomainUnits, msgid); }
inline std::string TrDialogs(const char* msgid) { return Translate(DomainDialogs, msgid); }
inline std::string Tr(const char* msgid) { return Translate(DomainDefault, msgid); }

}  // namespace qv
