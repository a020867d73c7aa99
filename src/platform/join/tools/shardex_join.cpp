// shardex-join: joins the segment files of a Shardex run into one file from the command line,
// with the same checks and messages as the window's join.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/join/join.h"
#include "shardex/version.h"

extern "C" {
#include <libavutil/log.h>
}

namespace {

void usage(std::FILE* to) {
    std::fprintf(to,
                 "usage: shardex-join -o OUTPUT.wmv SEGMENT.wmv [SEGMENT.wmv...]\n"
                 "       shardex-join --help | --version\n"
                 "\n"
                 "Joins the segment files of one Shardex run (NAME_SX.wmv, NAME_SX1.wmv, NAME_SX2.wmv) into\n"
                 "one file, in any order given. Nothing is encoded again: the pictures are copied and the\n"
                 "sound is spliced on the frame grid the run's encoders shared, so the joined file plays\n"
                 "as one encode of the whole stretch would. Files that do not make one stretch together\n"
                 "(another run or profile, a gap, an overlap, a file given twice, a file not made by\n"
                 "Shardex as a segment of a run) are refused with the reason. The output is written under\n"
                 "a temporary name beside it and replaces OUTPUT only when complete.\n"
                 "\n"
                 "  -o, --output FILE  the joined file\n"
                 "  -q, --quiet        no progress lines\n"
                 "  --help             this text\n"
                 "  --version          the program's version\n"
                 "\n"
                 "Exit status: 0 joined, 1 refused or failed, 2 wrong usage.\n");
}

}  // namespace

int main(int argc, char** argv) {
    shardex::join::JoinRequest request;
    bool quiet = false;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--help" || a == "-h") {
            usage(stdout);
            return 0;
        }
        if (a == "--version") {
            std::printf("shardex-join %s\n", shardex::kVersion);
            return 0;
        }
        if (a == "-q" || a == "--quiet") {
            quiet = true;
        } else if (a == "-o" || a == "--output") {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "shardex-join: %s needs a file name\n", a.c_str());
                return 2;
            }
            request.output = argv[++i];
        } else if (a.size() > 1 && a[0] == '-') {
            std::fprintf(stderr, "shardex-join: unknown option '%s'\n", a.c_str());
            usage(stderr);
            return 2;
        } else {
            request.inputs.push_back(a);
        }
    }
    if (request.output.empty() || request.inputs.empty()) {
        usage(stderr);
        return 2;
    }

    av_log_set_level(AV_LOG_ERROR);  // FFmpeg's notes would drown the lines below
    int shown = -1;
    if (!quiet) {
        std::printf("joining %zu segments into '%s'\n", request.inputs.size(), request.output.c_str());
        request.onProgress = [&shown](double done) {
            const int tenth = static_cast<int>(done * 10);
            if (tenth == shown || tenth >= 10) return;
            shown = tenth;
            std::printf("  %d%%\n", tenth * 10);
            std::fflush(stdout);
        };
    }
    try {
        const auto result = shardex::join::join_segments(request);
        if (!quiet)
            std::printf("done: size %lld bytes, media %.1f s, %lld bit/s\n", static_cast<long long>(result.bytes),
                        static_cast<double>(result.durationMs) / 1000.0,
                        result.durationMs > 0 ? static_cast<long long>(result.bytes * 8000 / result.durationMs) : 0LL);
        if (!result.rateWarning.empty()) std::fprintf(stderr, "shardex-join: warning: %s\n", result.rateWarning.c_str());
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "shardex-join: %s\n", e.what());
        return 1;
    }
}
