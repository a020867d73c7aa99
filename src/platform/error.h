// The one failure type of the platform services. Every call that can fail throws
// shardex::Error with a description a message box can show as it is, and, where the
// service defines one, a 32-bit error code.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace shardex {

class Error : public std::runtime_error {
public:
    explicit Error(const std::string& description, std::int32_t code = 0)
        : std::runtime_error(description), code_(code) {}
    std::int32_t code() const noexcept { return code_; }
    const char* description() const noexcept { return what(); }

private:
    std::int32_t code_;
};

// A native window a platform service draws into (the picture box of the window).
using WindowHandle = std::uintptr_t;

}  // namespace shardex
