// libFuzzer's entry point of a fuzz program, which links exactly one target.
#include <cstdint>

#include "fuzz_target.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    shardex::fuzz::targets().front().one(std::string(reinterpret_cast<const char*>(data), size));
    return 0;
}
