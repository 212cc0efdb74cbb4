#include "base/Translation.h"

#include <libintl.h>

namespace qv {

std::string Translate(const char* domain, const char* msgid) {
  return dgettext(domain, msgid);
}

}  // namespace qv
