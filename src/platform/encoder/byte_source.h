// A source file the encoder reads by offset rather than by path: a file on another
// computer read through its share. The encoder's demuxers read it through an FFmpeg I/O
// context of their own.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace shardex::encoder {

class ByteSource {
public:
    virtual ~ByteSource() = default;
    // The file's size in bytes.
    virtual std::int64_t size() = 0;
    // Reads up to `length` bytes at `offset` into `buffer`; returns the number read, 0 at
    // the end of the file. Throws shardex::Error (naming the file and what failed) when the
    // read fails. Called from the encoder's worker (and from prepare on the owner's thread),
    // never from two threads at once for one encode.
    virtual std::int64_t read(std::int64_t offset, std::uint8_t* buffer, std::int64_t length) = 0;
};

// Opens the input a source names. Returns null for a path to be opened as a local file;
// throws shardex::Error for a path that may not be read. The video and audio source of one
// encode that name the same path get the same ByteSource, so its bytes are fetched once.
using InputOpener = std::function<std::shared_ptr<ByteSource>(const std::string& path)>;

}  // namespace shardex::encoder
