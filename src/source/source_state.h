// What the source routines share: whether a source is chosen, and positions in milliseconds.
#pragma once

#include "app/form1.h"

namespace shardex {

// A source counts as chosen once the file-open dialog holds a path.
inline bool Source_Chosen(const Form1& f) { return !f.CommonDialog1.FileName.empty(); }

}  // namespace shardex
