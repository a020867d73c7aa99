// How the transcoder's parts report a failure: a shardex::Error with a code from errors.h and
// a text a user can act on, naming what was being done and to which file.
#pragma once

#include <cstdint>
#include <string>

#include "platform/error.h"

namespace shardex::encoder {

[[noreturn]] inline void fail(const std::string& what, std::int32_t code) { throw Error(what, code); }

inline std::string in_quotes(const std::string& s) { return "'" + s + "'"; }

}  // namespace shardex::encoder
