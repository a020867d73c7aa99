// What every fuzz target offers: one input run against the code under test, which aborts (the
// reason on stderr) when that code breaks one of its promises, and a table of the hostile
// inputs no seed file holds (a megabyte, or made for the run); fuzz/corpus/<name> holds the
// others and past findings. A target registers both under its name, for libFuzzer's entry
// (fuzz build) and the replay program that CTest runs.
#pragma once

#include <string>
#include <vector>

#include "platform/error.h"

namespace shardex::fuzz {

struct Target {
    const char* name;
    void (*one)(const std::string& input);
    std::vector<std::string> (*table)();
};
bool add_target(const Target& target);
std::vector<Target>& targets();

// Aborts with `what` when `ok` is false: a broken promise is a finding, like a crash.
void expect(bool ok, const char* what, const std::string& detail = {});
// A refusal says why in at most 1024 bytes, without a NUL: it quotes hostile input cut short.
void expect_refusal(const std::string& text, const char* what);
// Runs `parse`: a refusal (shardex::Error) must be short, what it answers must keep `promise`.
template <class Parse, class Promise>
void either(const char* what, Parse parse, Promise promise) {
    try {
        promise(parse());
    } catch (const Error& e) {
        expect_refusal(e.what(), what);
    }
}
// A fresh folder of this process, removed at its exit.
const std::string& scratch_folder();

}  // namespace shardex::fuzz

#define SHARDEX_FUZZ_TARGET(name, one, table) \
    [[maybe_unused]] static const bool shardex_fuzz_registered = shardex::fuzz::add_target({name, one, table})
