#include "demux/hashedInput.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

extern "C" {
#include <libavutil/error.h>
#include <libavutil/mem.h>
}

namespace {
constexpr int k_io_buffer = 1 << 16;
}  // namespace

hashedInput::~hashedInput() {
    if (io_ != nullptr) {
        av_freep(&io_->buffer);
        avio_context_free(&io_);
    }
    if (fd_ >= 0) close(fd_);
}

bool hashedInput::open(const std::string& path) {
    do {
        fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    } while (fd_ < 0 && errno == EINTR);
    return fd_ >= 0;
}

AVIOContext* hashedInput::io() {
    if (io_ != nullptr || fd_ < 0) return io_;
    auto* buffer = static_cast<unsigned char*>(av_malloc(k_io_buffer));
    if (buffer == nullptr) return nullptr;
    io_ = avio_alloc_context(buffer, k_io_buffer, 0, this, &hashedInput::read, nullptr, &hashedInput::seek);
    if (io_ == nullptr) av_free(buffer);
    return io_;
}

int hashedInput::read(void* opaque, uint8_t* buffer, int size) {
    auto* self = static_cast<hashedInput*>(opaque);
    ssize_t n;
    do {
        n = pread(self->fd_, buffer, static_cast<size_t>(size), static_cast<off_t>(self->position_));
    } while (n < 0 && errno == EINTR);
    if (n < 0) return AVERROR(errno);
    if (n == 0) return AVERROR_EOF;
    self->note_read(self->position_, buffer, n);
    self->position_ += n;
    return static_cast<int>(n);
}

int64_t hashedInput::seek(void* opaque, int64_t offset, int whence) {
    auto* self = static_cast<hashedInput*>(opaque);
    struct stat info {};
    const int base = whence & ~AVSEEK_FORCE;
    if (base == AVSEEK_SIZE || base == SEEK_END) {
        if (fstat(self->fd_, &info) != 0) return AVERROR(errno);
        if (base == AVSEEK_SIZE) return static_cast<int64_t>(info.st_size);
    }
    const int64_t at = base == SEEK_SET   ? offset
                       : base == SEEK_CUR ? self->position_ + offset
                       : base == SEEK_END ? static_cast<int64_t>(info.st_size) + offset
                                          : -1;
    if (at < 0) return AVERROR(EINVAL);
    self->position_ = at;
    return at;
}

void hashedInput::note_read(int64_t offset, const uint8_t* data, int64_t size) {
    if (failed_) return;
    if (offset > frontier_ && offset - frontier_ <= k_gap_fill) {
        // A little ahead: the skipped bytes are read and hashed now, while they are near.
        std::vector<uint8_t> gap(static_cast<size_t>(offset - frontier_));
        ssize_t n;
        do {
            n = pread(fd_, gap.data(), gap.size(), static_cast<off_t>(frontier_));
        } while (n < 0 && errno == EINTR);
        if (n != static_cast<ssize_t>(gap.size())) {
            failed_ = true;
            return;
        }
        digest_.update(gap.data(), gap.size());
        frontier_ = offset;
        hashed_before_finish_ = frontier_;
    }
    if (offset <= frontier_ && offset + size > frontier_) {
        const int64_t skip = frontier_ - offset;
        digest_.update(data + skip, static_cast<size_t>(size - skip));
        frontier_ = offset + size;
        hashed_before_finish_ = frontier_;
    }
}

bool hashedInput::finish(std::string* digest, int64_t* size) {
    if (fd_ < 0 || failed_ || !digest_.update_from_file(fd_, frontier_)) return false;
    frontier_ = digest_.size();
    *size = digest_.size();
    *digest = digest_.hex();
    failed_ = true;  // the digest is finished
    return !digest->empty();
}
