#include <cstdio>
#include <cstdlib>

#include "fuzz_target.h"

namespace shardex::fuzz {

void expect(bool ok, const char* what, const std::string& detail) {
    if (ok) return;
    std::fprintf(stderr, "broken promise: %s\n", what);
    if (!detail.empty()) std::fprintf(stderr, "  %.300s\n", detail.c_str());
    std::abort();
}

}  // namespace shardex::fuzz
