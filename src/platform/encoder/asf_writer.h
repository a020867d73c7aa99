// The output file of an encode: the ASF muxer writing through a descriptor of our own rather
// than FFmpeg's file protocol, so that the file is created only when the header is written,
// the encode knows whether it created the file (and so may remove it when no header got into
// it), and a link in the output's place can be refused at the moment the file is opened.
// Owns the muxer, the output sink and its I/O context, and the live count of bytes written.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include <sys/stat.h>

#include "platform/encoder/ffmpeg_util.h"
#include "platform/encoder/transcoder.h"

namespace shardex::encoder {

class AsfWriter {
public:
    // Sets up the muxer for `path`; nothing is created yet. Throws shardex::Error.
    AsfWriter(std::string path, bool refuseLinkedOutput);
    ~AsfWriter();
    AsfWriter(const AsfWriter&) = delete;
    AsfWriter& operator=(const AsfWriter&) = delete;

    // Checks that the output file can be made (its folder exists and may be written, the
    // name is not a folder) without creating it or touching a file of that name, so a prepare
    // that is never started, or an encode that fails before its header, leaves nothing behind
    // and an existing file as it was. Throws shardex::Error.
    void check_output_can_be_created() const;

    // Whether the encoders must put their set-up into the container's header.
    bool wants_global_header() const;
    // Neither open nor holding a header: ready for a run.
    bool idle() const;
    // Fixes the size of the container's packets (bytes).
    void set_packet_size(int bytes);
    // A stream carrying what `encoder` makes; `frameRate` for a video stream.
    AVStream* add_stream(const AVCodecContext& encoder, AVRational frameRate = {0, 1});
    // A stream carrying packets copied from another file's stream of `parameters`, timed in
    // `timeBase`.
    AVStream* add_stream(const AVCodecParameters& parameters, AVRational timeBase, AVRational frameRate = {0, 1});
    void set_metadata(const Metadata& metadata);
    // One more text tag of the header (an extended content description).
    void set_tag(const std::string& key, const std::string& value);

    // Creates the file and writes the header; `bytes` follows the file's size from then on.
    void write_header(std::atomic<std::int64_t>& bytes);
    bool header_written() const { return headerWritten_; }
    // Writes an encoded packet of `st`, timed in `tb`, `offsetUs` later than it says.
    void write(AVPacket* p, AVRational tb, AVStream* st, std::int64_t offsetUs);
    // Completes a file that has its header (the trailer, then closed); a file this encode
    // created without one holds nothing readable and goes, one that was there before is left.
    // Throws shardex::Error when the file cannot be completed.
    void finish();

private:
    [[noreturn]] void output_unavailable(int err) const;
    [[noreturn]] void output_is_link() const;
    [[noreturn]] void output_has_other_names() const;
    void check_existing(const struct stat& st) const;
    void create_output();
    void open_as_it_is();
    int close_output();
    void discard_output();

    std::string path_;
    bool refuseLinkedOutput_;
    ff::OutputFormatPtr out_;  // its pb, while the file is open, is io_
    int fd_ = -1;
    ff::AvioPtr io_;
    bool createdOutput_ = false;  // this encode created the file it writes (it did not exist)
    std::string partPath_;        // while the header is written over an existing file: where
    bool headerWritten_ = false;
    std::atomic<std::int64_t>* bytes_ = nullptr;
};

}  // namespace shardex::encoder
