// SPDX-License-Identifier: Apache-2.0
// Windows build: no message catalogues yet; every text stays in English.
#pragma once
inline const char* dgettext(const char*, const char* msgid) { return msgid; }
inline const char* dngettext(const char*, const char* singular, const char* plural, unsigned long n) {
  return n == 1 ? singular : plural;
}
inline const char* gettext(const char* msgid) { return msgid; }
inline const char* bindtextdomain(const char* domain, const char*) { return domain; }
inline const char* bind_textdomain_codeset(const char* domain, const char*) { return domain; }
inline const char* textdomain(const char* domain) { return domain ? domain : "quorvex-restore"; }
#ifndef LC_MESSAGES
#define LC_MESSAGES 6
#endif
