// Qt needs a UTF-8 locale: under "C" or an 8-bit locale (a service's, a script's or a bare
// container's environment) it switches to C.UTF-8 by itself and prints a note about it on
// every start, also before --version's one line. Choosing C.UTF-8 first, before any
// QCoreApplication, gives the same behaviour without the note. Names of files are bytes
// either way; the programs keep numbers in the C locale where they need it.
#pragma once

#include <langinfo.h>

#include <clocale>
#include <cstdlib>
#include <cstring>

namespace shardex::platform {

inline void prefer_utf8_locale() {
    const char* set = std::setlocale(LC_ALL, "");
    const char* codeset = set ? nl_langinfo(CODESET) : nullptr;
    if (!codeset || std::strcmp(codeset, "UTF-8") != 0) setenv("LC_ALL", "C.UTF-8", 1);
    std::setlocale(LC_ALL, "C");
}

}  // namespace shardex::platform
