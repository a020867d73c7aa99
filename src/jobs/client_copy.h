// Bringing a client's output file over to this computer's Shardex folder.
#pragma once

#include <string>

namespace shardex {

class Form1;

// Copies `name` from `computer`'s Shardex share into this computer's Shardex folder, with a
// progress window while it runs. An existing file is replaced only by a complete copy. On
// failure (or a cancel) returns false and shows `prefix` + the reason, or when `why` is
// given stores the reason there for the caller to tell.
bool copy_client_output(Form1& f, const std::string& computer, const std::string& name, const std::string& prefix,
                        std::string* why = nullptr);

}  // namespace shardex
