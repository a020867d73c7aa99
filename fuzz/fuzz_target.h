// What every fuzz target offers: libFuzzer's entry point, which takes one input and aborts
// (with the reason on stderr) when the code under test breaks one of its promises, and the
// target's table of hostile inputs, replayed on every test run (faults found by fuzzing
// stay there as regression cases).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace shardex::fuzz {

// Inputs no seed file can hold (NUL bytes, a megabyte) and past findings.
std::vector<std::string> nasty_inputs();

// Aborts with `what` when `ok` is false: a broken promise is a finding, like a crash.
void expect(bool ok, const char* what, const std::string& detail = {});

// The longest refusal text any target accepts: refusals quote hostile input cut short.
inline constexpr std::size_t kMaxRefusalText = 1024;

}  // namespace shardex::fuzz
