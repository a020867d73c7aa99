// A source file the encoder reads by offset rather than by path: a file on another
// computer read through its share. The encoder's demuxers read it through an FFmpeg I/O
// context of their own.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

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
    // Ends a read in flight at once and makes every later call fail: the job reading the
    // file was stopped or its session ended. Any thread, any time. A source that cannot
    // be interrupted keeps this default, and a stop then waits for the read in flight.
    virtual void cancel() {}
};

// Interrupts one job's reading of its sources from another thread: the sources the job
// opened are cancelled, and FFmpeg's blocking loops are told to give up. Once triggered it
// stays so; a later job gets a new one. Thread-safe.
class ReadInterrupt {
public:
    void trigger() {
        std::vector<std::weak_ptr<ByteSource>> sources;
        {
            std::lock_guard lock(mutex_);
            triggered_ = true;
            sources.swap(sources_);
        }
        for (auto& weak : sources)
            if (auto s = weak.lock()) s->cancel();
    }
    bool triggered() const {
        std::lock_guard lock(mutex_);
        return triggered_;
    }
    // A source the job reads from: cancelled at once when the interrupt came first.
    void watch(const std::shared_ptr<ByteSource>& source) {
        {
            std::lock_guard lock(mutex_);
            if (!triggered_) {
                sources_.push_back(source);
                return;
            }
        }
        source->cancel();
    }

private:
    mutable std::mutex mutex_;
    bool triggered_ = false;
    std::vector<std::weak_ptr<ByteSource>> sources_;
};

// Opens the input a source names. Returns null for a path to be opened as a local file;
// throws shardex::Error for a path that may not be read. The video and audio source of one
// encode that name the same path get the same ByteSource, so its bytes are fetched once.
using InputOpener = std::function<std::shared_ptr<ByteSource>(const std::string& path)>;

}  // namespace shardex::encoder
