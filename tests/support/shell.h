// Running a command line in a test and reading what it prints (ffmpeg, ffprobe).
#pragma once

#include <cstdio>
#include <string>

namespace shardex::testing {

inline std::string run(const std::string& command) {
    std::string out;
    if (FILE* p = popen(command.c_str(), "r")) {
        char buf[4096];
        std::size_t n;
        while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
        pclose(p);
    }
    return out;
}

}  // namespace shardex::testing
