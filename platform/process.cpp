// Process start-up: the locale that makes "%ls" and wide conversions in the C
// library handle text beyond ASCII, and no death by a closed pipe.
#include <langinfo.h>
#include <signal.h>

#include <clocale>
#include <cstring>

#include "platform_internal.h"

namespace plat {

namespace {

bool LocaleIsUtf8() {
  const char* codeset = nl_langinfo(CODESET);
  return codeset != nullptr &&
         (std::strcmp(codeset, "UTF-8") == 0 || std::strcmp(codeset, "utf8") == 0);
}

}  // namespace

void InitProcess() {
  // A reader of our output that goes away (fwflash ... | head) must not kill
  // the process in the middle of a flash: the write fails with EPIPE instead.
  ::signal(SIGPIPE, SIG_IGN);
  if (std::setlocale(LC_ALL, "") != nullptr && LocaleIsUtf8()) return;
  // The environment names no locale, or one that is not UTF-8: the program's
  // narrow text is UTF-8 whatever the host's settings.
  if (std::setlocale(LC_ALL, "C.UTF-8") == nullptr) std::setlocale(LC_ALL, "en_US.UTF-8");
}

}  // namespace plat
