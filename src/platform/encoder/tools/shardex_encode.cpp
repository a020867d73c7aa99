// shardex-encode: drives the encoder component from the command line, the way a job of the
// window does, so encodes can be scripted, measured and tested without the window.
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <functional>
#include <mutex>
#include <string>

#include "platform/encoder/factory.h"
#include "platform/encoder/local_encoder.h"
#include "platform/encoder/profiles.h"
#include "platform/encoder/rate_check.h"
#include "platform/paths.h"
#include "shardex/version.h"

extern "C" {
#include <libavutil/log.h>
}

namespace {

using namespace shardex::encoder;

constexpr const char* kDefaultProfile = "Windows Media Video 8 for Local Area Network (768 Kbps)";

constexpr const char* kUsage =
    "usage: shardex-encode SOURCE OUTPUT.wmv [--profile NAME] [--mark-in MS] [--mark-out MS]\n"
    "                      [--stretch START:END] [--two-pass] [--threads N]\n"
    "       shardex-encode --list-profiles | --help | --version\n";

// Prints the usage after a mistake on the command line; the exit code of such a run.
int usage_error() {
    std::fputs(kUsage, stderr);
    std::fputs("shardex-encode --help explains the options\n", stderr);
    return 2;
}

int help() {
    std::fputs(kUsage, stdout);
    std::printf(
        "\n"
        "Encodes SOURCE, a video file, into OUTPUT.wmv (ASF container, WMV video, WMA audio) with the\n"
        "encoder Shardex runs on every computer, and prints its progress twice a second.\n"
        "\n"
        "  --profile NAME   the profile to encode with, by its full name; --list-profiles prints\n"
        "                   the names (default: %s)\n"
        "  --mark-in MS     start the encode this many milliseconds into SOURCE (default 0)\n"
        "  --mark-out MS    end it there (default: the end of SOURCE)\n"
        "  --stretch START:END\n"
        "                   the encode is one segment of a run over that stretch of SOURCE (ms; END\n"
        "                   'end' for the end of SOURCE), made to be joined with the run's other\n"
        "                   segments by shardex-join\n"
        "  --two-pass       analyse the video in a first pass, then encode; always done for\n"
        "                   profiles whose video is two-pass variable bit rate\n"
        "  --threads N      threads of the video encoder and of the source's decoder (default 1;\n"
        "                   0: one encoder thread, and as many decoder threads as FFmpeg chooses)\n"
        "  --list-profiles  print the profiles this computer offers and end: one a line, with its\n"
        "                   number, what it holds (audio+video, video or audio), how its video\n"
        "                   bit rate is kept (CBR constant; 2-pass VBR peak, variable under a\n"
        "                   peak; quality VBR, variable for a steady quality; 2-pass VBR,\n"
        "                   variable), where it comes from, and its name\n"
        "  --help           print this and end\n"
        "  --version        print the version and end\n"
        "\n"
        "Profiles: the stock set is built into the program. Profile files of your own (*.json) in\n"
        "  %s\n"
        "follow it, sorted by file name; a file that cannot be read is left out.\n"
        "\n"
        "A file that ends more than 5%% over its profile's rate is told in a warning with the figure.\n"
        "\n"
        "Exit status: 0 when the encode ends well, 1 when it fails (the reason is printed), 2 for a\n"
        "mistake on the command line.\n",
        kDefaultProfile, shardex::platform::user_profiles_folder().string().c_str());
    return 0;
}

const char* content_name(int contentType) {
    switch (contentType) {
    case kContentAudioVideo: return "audio+video";
    case kContentVideo: return "video";
    case kContentAudio: return "audio";
    default: return "?";
    }
}

const char* mode_name(int mode) {
    switch (mode) {
    case kModeCbr: return "CBR";
    case kModeVbrPeak: return "2-pass VBR peak";
    case kModeVbrQuality: return "quality VBR";
    case kModeVbrUnconstrained: return "2-pass VBR";
    default: return "?";
    }
}

// The profiles as --list-profiles prints them: a header line naming the columns, then one
// line a profile in the order the window lists them.
void list_profiles(ProfileCollection& profiles, ProfileEditor& editor) {
    const int stock = static_cast<int>(stock_profiles().size());
    std::printf("%3s  %-11s  %-15s  %-14s  %s\n", "NO.", "CONTENT", "VIDEO RATE", "FROM", "NAME");
    for (int i = 0; i < profiles.count(); ++i) {
        auto p = profiles.item(i);
        editor.load(p);
        const int content = editor.contentType();
        std::printf("%3d  %-11s  %-15s  %-14s  %s\n", i, content_name(content),
                    content == kContentAudio ? "-" : mode_name(editor.bitrateMode(kSourceVideo, 0)),
                    i < stock ? "built in" : "profile folder", p->name().c_str());
    }
}

// Events are queued by the encoder's executor and run here, on the main thread.
class EventQueue {
public:
    void post(std::function<void()> fn) {
        {
            std::lock_guard lock(mutex_);
            queue_.push_back(std::move(fn));
        }
        cv_.notify_one();
    }
    // Runs queued events; waits at most `timeout` for the first one.
    void runFor(std::chrono::milliseconds timeout) {
        std::unique_lock lock(mutex_);
        cv_.wait_for(lock, timeout, [&] { return !queue_.empty(); });
        while (!queue_.empty()) {
            auto fn = std::move(queue_.front());
            queue_.pop_front();
            lock.unlock();
            fn();
            lock.lock();
        }
    }

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    std::deque<std::function<void()>> queue_;
};

// The profile's total rate: its video's and its sound's (first audience).
std::int64_t profile_total_rate(ProfileEditor& editor) {
    const int content = editor.contentType();
    auto audience = editor.audience(0);
    std::int64_t rate = 0;
    if (content != kContentAudio) rate += audience->videoBitrate(0);
    if (content != kContentVideo) rate += audience->audioBitrate(0);
    return rate;
}

void print_figures(Statistics& st, const char* prefix) {
    std::printf("%ssize %lld bytes, media %.1f s, %d bit/s\n", prefix,
                static_cast<long long>(st.archiveFileSize().raw), st.archiveFileDuration().raw / 1000.0,
                st.outputBitrate());
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    std::string source, output, profileName = kDefaultProfile;
    int markIn = 0, markOut = -1, threads = 1;  // mark-out -1: to the end
    int stretchStart = -1, stretchEnd = -1;     // none
    bool twoPass = false, list = false;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "shardex-encode: %s needs a value\n", a.c_str());
                std::exit(usage_error());
            }
            return argv[++i];
        };
        auto number = [&]() {
            std::string v = value();
            char* end = nullptr;
            long n = std::strtol(v.c_str(), &end, 10);
            if (v.empty() || *end || n < 0 || n > INT32_MAX) {
                std::fprintf(stderr, "shardex-encode: %s wants a whole number, not '%s'\n", a.c_str(), v.c_str());
                std::exit(2);
            }
            return static_cast<int>(n);
        };
        auto stretch = [&]() {
            const std::string v = value();
            const std::size_t colon = v.find(':');
            char* end = nullptr;
            const long from = std::strtol(v.c_str(), &end, 10);
            long to = -1;
            bool ok = colon != std::string::npos && end == v.c_str() + colon && from >= 0 && from <= INT32_MAX;
            if (ok && v.substr(colon + 1) != "end") {
                const std::string t = v.substr(colon + 1);
                to = std::strtol(t.c_str(), &end, 10);
                ok = !t.empty() && !*end && to >= from && to <= INT32_MAX;
            }
            if (!ok) {
                std::fprintf(stderr, "shardex-encode: --stretch wants START:END in ms (END 'end'), not '%s'\n", v.c_str());
                std::exit(2);
            }
            stretchStart = static_cast<int>(from);
            stretchEnd = static_cast<int>(to);
        };
        if (a == "--profile") profileName = value();
        else if (a == "--stretch") stretch();
        else if (a == "--mark-in") markIn = number();
        else if (a == "--mark-out") markOut = number();
        else if (a == "--threads") threads = number();
        else if (a == "--two-pass") twoPass = true;
        else if (a == "--list-profiles") list = true;
        else if (a == "--help" || a == "-h") return help();
        else if (a == "--version") return std::printf("shardex-encode %s\n", shardex::kVersion), 0;
        else if (!a.empty() && a[0] == '-') {
            std::fprintf(stderr, "shardex-encode: unknown option '%s'\n", a.c_str());
            return usage_error();
        } else if (source.empty()) source = a;
        else if (output.empty()) output = a;
        else {
            std::fprintf(stderr, "shardex-encode: one SOURCE and one OUTPUT, not also '%s'\n", a.c_str());
            return usage_error();
        }
    }

    av_log_set_level(AV_LOG_ERROR);  // FFmpeg's notes would drown the progress lines
    // The queue and what its events write outlive the encoder: its worker posts to the queue
    // until the encoder's destruction has joined it.
    EventQueue events;
    int state = kStateStopped;
    int error = 0;
    try {
        LocalEncoderOptions options;
        options.codecThreads = std::max(1, threads);
        options.decodeThreads = threads;
        auto encoder = create_local_encoder(options);
        auto profiles = encoder->profileCollection();
        profiles->refresh();
        auto editor = create_profile_editor();
        if (list) {
            list_profiles(*profiles, *editor);
            return 0;
        }
        if (source.empty() || output.empty()) return usage_error();

        std::shared_ptr<Profile> profile;
        for (int i = 0; i < profiles->count() && !profile; ++i)
            if (profiles->item(i)->name() == profileName) profile = profiles->item(i);
        if (!profile)
            throw shardex::Error("no profile named '" + profileName +
                                 "' on this computer: shardex-encode --list-profiles prints their names");
        editor->load(profile);
        if (editor->contentType() != kContentAudio) {
            int mode = editor->bitrateMode(kSourceVideo, 0);
            if (mode == kModeVbrPeak || mode == kModeVbrUnconstrained) twoPass = true;
        }

        auto group = encoder->sourceGroups()->add("SG_1");
        auto video = group->addSource(kSourceVideo);
        auto audio = group->addSource(kSourceAudio);
        video->setInput(source, "", "");
        audio->setInput(source, "", "");
        encoder->file()->setLocalFileName(output);
        auto info = encoder->displayInfo();
        info->setTitle("Shardex demo");
        group->setProfile(profile);
        if (twoPass) video->setPreProcessPass(1);

        encoder->setEventHandlers([&events](std::function<void()> fn) { events.post(std::move(fn)); },
                                  EventHandlers{[&state](std::int32_t s) { state = s; },
                                                [&error](std::int32_t code, const std::string&) { error = code; }});
        encoder->prepare(true);
        const int duration = video->duration();
        if (markOut < 0 || markOut > duration) markOut = duration;
        for (auto& s : {video, audio}) {
            s->setMarkIn(markIn);
            s->setMarkOut(markOut);
            s->setStretch(stretchStart, stretchEnd);
        }
        std::printf("encoding '%s' to '%s' with '%s' (source %d ms)\n", source.c_str(), output.c_str(),
                    profileName.c_str(), duration);
        encoder->start();
        auto stats = encoder->statistics();
        state = kStateStarting;
        while (state != kStateStopped) {
            events.runFor(std::chrono::milliseconds(500));
            if (state != kStateStopped) print_figures(*stats, "  ");
        }
        print_figures(*stats, "done: ");
        if (error != 0) {
            std::fprintf(stderr, "shardex-encode: the encode failed with error 0x%08X\n", static_cast<unsigned>(error));
            return 1;
        }
        const double over = percent_over_rate(stats->archiveFileSize().raw, stats->archiveFileDuration().raw,
                                              profile_total_rate(*editor));
        const std::string warning = rate_warning("'" + output + "'", over, profileName);
        if (!warning.empty()) std::fprintf(stderr, "shardex-encode: warning: %s\n", warning.c_str());
        return 0;
    } catch (const shardex::Error& e) {
        std::fprintf(stderr, "shardex-encode: %s\n", e.what());
        return 1;
    }
}
