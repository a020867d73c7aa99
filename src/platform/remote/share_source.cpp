// A shared file as the encoder's ByteSource: reads by offset, served from a small cache of
// 1 MiB blocks so that the video and audio demuxers of one encode, which read the same
// stretch of an interleaved file shortly after each other, fetch each byte once.
#include <algorithm>
#include <cstring>
#include <mutex>
#include <optional>
#include <vector>

#include "platform/error.h"
#include "platform/remote/share_client.h"
#include "platform/remote/share_service.h"

namespace shardex::remote {
namespace {

constexpr std::int64_t kBlockBytes = kMaxReadBytes;  // one Read call per block
constexpr std::size_t kKeptBlocks = 16;

class CachedShareSource final : public encoder::ByteSource {
public:
    CachedShareSource(std::shared_ptr<ShareClient> client, std::string path)
        : client_(std::move(client)), path_(std::move(path)) {}

    std::int64_t size() override {
        std::lock_guard lock(mutex_);
        return size_locked();
    }

    // Reads stop at the size the share gave (at most kMaxSharedFileBytes), so the offsets
    // below never overflow whatever the caller asks for.
    std::int64_t read(std::int64_t offset, std::uint8_t* buffer, std::int64_t length) override {
        if (offset < 0 || length < 0)
            throw Error("cannot read '" + path_ + "' at offset " + std::to_string(offset) + ": a negative position");
        std::lock_guard lock(mutex_);
        const std::int64_t size = size_locked();
        if (offset >= size) return 0;
        const std::int64_t end = offset + std::min(length, size - offset);
        std::int64_t done = 0;
        while (offset + done < end) {
            const std::int64_t at = offset + done;
            const Block& b = block(at / kBlockBytes);
            const std::int64_t inBlock = at - b.index * kBlockBytes;
            const std::int64_t n = std::min<std::int64_t>(static_cast<std::int64_t>(b.data.size()) - inBlock, end - at);
            std::memcpy(buffer + done, b.data.data() + inBlock, static_cast<std::size_t>(n));
            done += n;
        }
        return done;
    }

    // Not under the mutex: that is held by the read this ends.
    void cancel() override { canceller_.cancel(); }

private:
    struct Block {
        std::int64_t index = -1;
        std::uint64_t lastUse = 0;
        std::vector<std::uint8_t> data;
    };

    std::int64_t size_locked() {
        if (!size_) size_ = client_->size(path_, &canceller_);
        return *size_;
    }

    // Block `index`, fetched when it is not kept; the least recently used one makes room.
    const Block& block(std::int64_t index) {
        ++clock_;
        for (Block& b : blocks_)
            if (b.index == index) {
                b.lastUse = clock_;
                return b;
            }
        Block fresh;
        fresh.index = index;
        fresh.lastUse = clock_;
        const std::int64_t start = index * kBlockBytes;
        const auto want = std::clamp<std::int64_t>(*size_ - start, 0, kBlockBytes);
        fresh.data.resize(static_cast<std::size_t>(want));
        const std::int64_t got = client_->read(path_, start, fresh.data.data(), want, &canceller_);
        // Encoding what is there would give an output silently cut short.
        if (got != want)
            throw Error(client_->computer() + ": '" + path_ + "' changed while it was read: it is shorter than the " +
                        std::to_string(*size_) + " bytes it had");
        if (blocks_.size() < kKeptBlocks) {
            blocks_.push_back(std::move(fresh));
            return blocks_.back();
        }
        auto oldest = std::min_element(blocks_.begin(), blocks_.end(),
                                       [](const Block& a, const Block& b) { return a.lastUse < b.lastUse; });
        *oldest = std::move(fresh);
        return *oldest;
    }

    std::shared_ptr<ShareClient> client_;
    std::string path_;
    CallCanceller canceller_;
    std::mutex mutex_;
    std::optional<std::int64_t> size_;
    std::vector<Block> blocks_;  // at most kKeptBlocks; few enough to search in order
    std::uint64_t clock_ = 0;
};

}  // namespace

std::shared_ptr<encoder::ByteSource> make_cached_share_source(std::shared_ptr<ShareClient> client, std::string path) {
    return std::make_shared<CachedShareSource>(std::move(client), std::move(path));
}

}  // namespace shardex::remote
