#include "platform/encoder/asf_writer.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <random>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

extern "C" {
#include <libavutil/opt.h>
}

#include "platform/encoder/errors.h"
#include "platform/encoder/failure.h"

namespace shardex::encoder {
namespace {

constexpr int kAvioBufferBytes = 64 << 10;

// Why writing the output failed, in words a user acts on: a full disk (or a used-up quota)
// says so first, since the user then frees room rather than looks for a broken file.
std::string write_failure(const std::string& what, const std::string& path, int rc) {
    const std::string text = what + " " + in_quotes(path) + ": " + ff::error_text(rc);
    if (rc == AVERROR(ENOSPC) || rc == AVERROR(EDQUOT)) return "the disk is full: " + text;
    return text;
}

// The output sink: the I/O context's callbacks over the file's descriptor (`opaque`).
int sink_write(void* opaque, ff::WriteBuffer buf, int size) {
    const int fd = *static_cast<const int*>(opaque);
    int done = 0;
    while (done < size) {
        const ssize_t n = ::write(fd, buf + done, static_cast<std::size_t>(size - done));
        if (n < 0) {
            if (errno == EINTR) continue;
            return AVERROR(errno);
        }
        done += static_cast<int>(n);
    }
    return size;
}

std::int64_t sink_seek(void* opaque, std::int64_t offset, int whence) {
    const int fd = *static_cast<const int*>(opaque);
    whence &= ~AVSEEK_FORCE;
    if (whence == AVSEEK_SIZE) {
        struct stat st {};
        return ::fstat(fd, &st) == 0 ? static_cast<std::int64_t>(st.st_size) : AVERROR(errno);
    }
    const off_t at = ::lseek(fd, static_cast<off_t>(offset), whence);
    return at < 0 ? AVERROR(errno) : static_cast<std::int64_t>(at);
}

}  // namespace

AsfWriter::AsfWriter(std::string path, bool refuseLinkedOutput)
    : path_(std::move(path)), refuseLinkedOutput_(refuseLinkedOutput) {
    AVFormatContext* raw = nullptr;
    const int rc = avformat_alloc_output_context2(&raw, nullptr, "asf", path_.c_str());
    if (rc < 0 || !raw) fail("cannot set up the output: " + ff::error_text(rc), errors::kInternal);
    out_.reset(raw);
    out_->flags |= AVFMT_FLAG_CUSTOM_IO;
}

AsfWriter::~AsfWriter() { close_output(); }

bool AsfWriter::wants_global_header() const { return out_->oformat->flags & AVFMT_GLOBALHEADER; }

bool AsfWriter::idle() const { return !out_->pb && !headerWritten_; }

void AsfWriter::set_packet_size(int bytes) {
    if (out_->priv_data) av_opt_set_int(out_->priv_data, "packet_size", bytes, 0);
}

AVStream* AsfWriter::add_stream(const AVCodecContext& encoder, AVRational frameRate) {
    AVStream* st = avformat_new_stream(out_.get(), nullptr);
    if (!st) throw std::bad_alloc();
    if (avcodec_parameters_from_context(st->codecpar, &encoder) < 0) throw std::bad_alloc();
    st->time_base = encoder.time_base;
    // The container's pixel shape (the muxer reads the stream's).
    st->sample_aspect_ratio = encoder.sample_aspect_ratio;
    if (frameRate.num > 0) {
        st->avg_frame_rate = frameRate;
        st->r_frame_rate = frameRate;
    }
    return st;
}

AVStream* AsfWriter::add_stream(const AVCodecParameters& parameters, AVRational timeBase, AVRational frameRate) {
    AVStream* st = avformat_new_stream(out_.get(), nullptr);
    if (!st) throw std::bad_alloc();
    if (avcodec_parameters_copy(st->codecpar, &parameters) < 0) throw std::bad_alloc();
    st->codecpar->codec_tag = 0;  // the muxer's own tag for the codec
    st->time_base = timeBase;
    st->sample_aspect_ratio = parameters.sample_aspect_ratio;
    if (frameRate.num > 0) {
        st->avg_frame_rate = frameRate;
        st->r_frame_rate = frameRate;
    }
    return st;
}

void AsfWriter::set_metadata(const Metadata& m) {
    auto set = [&](const char* key, const std::string& v) {
        if (!v.empty()) av_dict_set(&out_->metadata, key, v.c_str(), 0);
    };
    set("title", m.title);
    set("author", m.author);
    set("copyright", m.copyright);
    set("comment", m.description);
}

void AsfWriter::set_tag(const std::string& key, const std::string& value) {
    av_dict_set(&out_->metadata, key.c_str(), value.c_str(), 0);
}

void AsfWriter::output_unavailable(int err) const {
    fail(write_failure("cannot create output file", path_, AVERROR(err)), errors::kOutputUnavailable);
}

void AsfWriter::output_is_link() const {
    fail("cannot create output file " + in_quotes(path_) + ": it is a link, and an output is never written "
         "through a link",
         errors::kOutputUnavailable);
}

void AsfWriter::output_has_other_names() const {
    fail("cannot create output file " + in_quotes(path_) + ": the file there has other names too (hard links), and "
         "an output never replaces a file that may belong elsewhere",
         errors::kOutputUnavailable);
}

// What stands at the output's name must be a plain file of one name (or nothing) before the
// encode may replace it; links are refused where the owner asked for that.
void AsfWriter::check_existing(const struct stat& st) const {
    if (S_ISLNK(st.st_mode) && refuseLinkedOutput_) output_is_link();
    if (S_ISDIR(st.st_mode)) output_unavailable(EISDIR);
    if (S_ISLNK(st.st_mode)) return;
    if (!S_ISREG(st.st_mode) && refuseLinkedOutput_)
        fail("cannot create output file " + in_quotes(path_) + ": something that is not a plain file is there",
             errors::kOutputUnavailable);
    if (st.st_nlink > 1 && refuseLinkedOutput_) output_has_other_names();
}

void AsfWriter::check_output_can_be_created() const {
    const std::filesystem::path path(path_);
    const std::filesystem::path folder = path.has_parent_path() ? path.parent_path() : std::filesystem::path(".");
    struct stat st {};
    if (::stat(folder.c_str(), &st) != 0) output_unavailable(errno);
    if (!S_ISDIR(st.st_mode)) output_unavailable(ENOTDIR);
    if (::access(folder.c_str(), W_OK | X_OK) != 0) output_unavailable(errno);
    if (::lstat(path.c_str(), &st) != 0) {
        if (errno != ENOENT) output_unavailable(errno);
        return;
    }
    check_existing(st);
    if (::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) output_unavailable(EISDIR);
}

// Opens the output for writing. A new name is created in place (and remembered as ours). A
// file already there is never opened: the encode writes a part file beside it, which takes
// the name only once its header is on the disk, so an encode that fails before that leaves
// the old file exactly as it was, and a file with other names (hard links) is never written.
// Writes into what is at the output's name without replacing it; opened without blocking, so
// that a pipe nobody reads fails rather than hangs the encode.
void AsfWriter::open_as_it_is() {
    const int fd = ::open(path_.c_str(), O_WRONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) output_unavailable(errno);
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    createdOutput_ = false;
    fd_ = fd;
    io_ = ff::make_avio(kAvioBufferBytes, true, &fd_, nullptr, &sink_write, &sink_seek);
    out_->pb = io_.get();
}

void AsfWriter::create_output() {
    const int flags = O_WRONLY | O_CLOEXEC | O_CREAT | O_EXCL;
    int fd = ::open(path_.c_str(), flags | (refuseLinkedOutput_ ? O_NOFOLLOW : 0), 0666);
    if (fd < 0 && errno == EEXIST) {
        struct stat st {};
        if (::lstat(path_.c_str(), &st) != 0) output_unavailable(errno);
        check_existing(st);
        // A device or pipe named as the output (where links are allowed) is written as it is.
        if (!S_ISREG(st.st_mode) && !S_ISLNK(st.st_mode)) return open_as_it_is();
        const std::filesystem::path path(path_);
        const std::filesystem::path folder = path.has_parent_path() ? path.parent_path() : std::filesystem::path(".");
        std::random_device rd;
        char suffix[20];
        std::snprintf(suffix, sizeof suffix, "%08x%08x", rd(), rd());
        partPath_ = (folder / ("." + path.filename().string() + ".part-" + suffix)).string();
        fd = ::open(partPath_.c_str(), flags | O_NOFOLLOW, 0666);
        if (fd < 0) partPath_.clear();
    }
    if (fd < 0) {
        if (errno == ELOOP && refuseLinkedOutput_) output_is_link();
        output_unavailable(errno);
    }
    createdOutput_ = true;
    fd_ = fd;
    io_ = ff::make_avio(kAvioBufferBytes, true, &fd_, nullptr, &sink_write, &sink_seek);
    out_->pb = io_.get();
}

// Closes the output; returns the errno of a failed close (0 when it went well). The muxer
// must not close our I/O context as if FFmpeg had opened it, so it is detached first.
int AsfWriter::close_output() {
    if (out_) out_->pb = nullptr;
    io_.reset();
    int err = 0;
    if (fd_ >= 0 && ::close(fd_) != 0) err = errno;
    fd_ = -1;
    return err;
}

void AsfWriter::discard_output() {
    const bool open = fd_ >= 0;
    close_output();
    if (open && createdOutput_) ::unlink(partPath_.empty() ? path_.c_str() : partPath_.c_str());
    createdOutput_ = false;
    partPath_.clear();
}

void AsfWriter::write_header(std::atomic<std::int64_t>& bytes) {
    bytes_ = &bytes;
    // The output's time zero is the mark-in. The sound encoder's first frame, which only
    // primes its overlapping transform, lies before it; the container holds times down to
    // minus its preroll, so nothing is shifted to make that frame start at zero.
    out_->avoid_negative_ts = AVFMT_AVOID_NEG_TS_DISABLED;
    create_output();
    // The header reaches the disk before the file takes the output's name (the I/O buffer
    // would otherwise hold it, and a full disk be found only later).
    int rc = avformat_write_header(out_.get(), nullptr);
    if (rc >= 0) {
        avio_flush(out_->pb);
        if (out_->pb->error < 0) rc = out_->pb->error;
    }
    if (rc >= 0 && !partPath_.empty() && ::rename(partPath_.c_str(), path_.c_str()) != 0) rc = AVERROR(errno);
    if (rc < 0) {
        discard_output();
        fail(write_failure("cannot write output file", path_, rc), errors::kWriteFailed);
    }
    partPath_.clear();
    headerWritten_ = true;
    bytes.store(avio_tell(out_->pb), std::memory_order_relaxed);
}

void AsfWriter::write(AVPacket* p, AVRational tb, AVStream* st, std::int64_t offsetUs) {
    av_packet_rescale_ts(p, tb, st->time_base);
    if (offsetUs != 0) {
        const std::int64_t shift = av_rescale_q(offsetUs, {1, 1000000}, st->time_base);
        if (p->pts != AV_NOPTS_VALUE) p->pts += shift;
        if (p->dts != AV_NOPTS_VALUE) p->dts += shift;
    }
    p->stream_index = st->index;
    const int rc = av_interleaved_write_frame(out_.get(), p);
    if (rc < 0) fail(write_failure("cannot write output file", path_, rc), errors::kWriteFailed);
    bytes_->store(std::max<std::int64_t>(0, avio_tell(out_->pb)), std::memory_order_relaxed);
}

void AsfWriter::finish() {
    if (!headerWritten_) {
        discard_output();
        return;
    }
    headerWritten_ = false;
    int rc = av_write_trailer(out_.get());
    avio_flush(out_->pb);
    if (rc >= 0 && out_->pb->error < 0) rc = out_->pb->error;
    // The muxer went back to complete the header; the file's size is its end.
    bytes_->store(std::max<std::int64_t>(0, avio_size(out_->pb)), std::memory_order_relaxed);
    const int closeError = close_output();
    if (rc >= 0 && closeError != 0) rc = AVERROR(closeError);
    if (rc < 0) fail(write_failure("cannot finish output file", path_, rc), errors::kWriteFailed);
}

}  // namespace shardex::encoder
