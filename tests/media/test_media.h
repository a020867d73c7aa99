// Media files for tests, generated with ffmpeg's synthetic sources into a temporary folder
// that is removed with the object.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <unistd.h>

namespace shardex::testing {

class TempMediaDir {
public:
    TempMediaDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "shardex-media-XXXXXX").string();
        if (!mkdtemp(pattern.data())) throw std::runtime_error("cannot create a temporary folder");
        dir_ = pattern;
    }
    ~TempMediaDir() {
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }
    TempMediaDir(const TempMediaDir&) = delete;
    TempMediaDir& operator=(const TempMediaDir&) = delete;

    const std::filesystem::path& path() const { return dir_; }

    // A clip of `seconds` with a moving test picture at 25 frames per second (and a tone
    // unless `audio` is false). `video` names the encoder and its settings.
    std::string clip(const std::string& name, int seconds = 10, const std::string& size = "320x240",
                     bool audio = true, const std::string& video = "-c:v mjpeg -q:v 5") const {
        std::string out = (dir_ / name).string();
        std::string cmd = "ffmpeg -nostdin -loglevel error -y -f lavfi -i testsrc2=size=" + size + ":rate=25";
        if (audio) cmd += " -f lavfi -i sine=frequency=440:sample_rate=44100";
        cmd += " -t " + std::to_string(seconds) + " " + video;
        if (audio) cmd += " -c:a pcm_s16le";
        cmd += " '" + out + "'";
        run(cmd);
        return out;
    }

    // Sound only, no picture.
    std::string tone(const std::string& name, int seconds = 3) const {
        std::string out = (dir_ / name).string();
        run("ffmpeg -nostdin -loglevel error -y -f lavfi -i sine=frequency=440:sample_rate=44100 -t " +
            std::to_string(seconds) + " -c:a pcm_s16le '" + out + "'");
        return out;
    }

    // A file with the given bytes (not media at all).
    std::string text(const std::string& name, const std::string& content) const {
        std::string out = (dir_ / name).string();
        std::ofstream(out, std::ios::binary) << content;
        return out;
    }

private:
    static void run(const std::string& cmd) {
        if (std::system(cmd.c_str()) != 0) throw std::runtime_error("ffmpeg failed: " + cmd);
    }
    std::filesystem::path dir_;
};

}  // namespace shardex::testing
