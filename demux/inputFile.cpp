#include "demux/inputFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>

#include "common/ffHolders.h"

extern "C" {
#include <libavutil/error.h>
#include <libavutil/mem.h>
}

namespace {

constexpr int k_io_buffer = 1 << 15;

}  // namespace

inputFile::~inputFile() {
    if (io_ != nullptr) {
        av_freep(&io_->buffer);
        avio_context_free(&io_);
    }
    if (fd_ >= 0) ::close(fd_);
}

inputFile::open_status inputFile::open(const char* path) {
    // A FIFO would block in open() until a writer came, a device might do anything on open:
    // neither is opened at all.
    struct stat named {};
    if (::stat(path, &named) != 0) return open_status::not_found;
    if (!S_ISREG(named.st_mode)) return open_status::not_regular;
    for (;;) {
        // O_NONBLOCK: should the name lead to a FIFO by now, open() does not wait for a
        // writer; a file under a lease answers EWOULDBLOCK instead of waiting for its holder.
        fd_ = ::open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
        if (fd_ >= 0) break;
        if (errno == EINTR) continue;
        if (errno != EWOULDBLOCK) return open_status::not_found;
        // The holder has been asked to let go; the kernel breaks the lease itself in the end.
        if (stop_()) return open_status::stopped;
        std::this_thread::sleep_for(std::chrono::milliseconds(k_lease_poll_ms));
    }
    // What was opened is what gets checked: the name may lead elsewhere since stat().
    if (fstat(fd_, &info_) != 0 || !S_ISREG(info_.st_mode)) {
        ::close(fd_);
        fd_ = -1;
        return open_status::not_regular;
    }
    fcntl(fd_, F_SETFL, fcntl(fd_, F_GETFL) & ~O_NONBLOCK);
    return open_status::ok;
}

bool inputFile::open_same(const inputFile& other) {
    if (other.fd_ < 0) return false;
    fd_ = fcntl(other.fd_, F_DUPFD_CLOEXEC, 0);
    info_ = other.info_;
    offset_ = 0;
    return fd_ >= 0;
}

int inputFile::read_bytes(void* opaque, uint8_t* data, int size) {
    auto* self = static_cast<inputFile*>(opaque);
    for (;;) {
        if (self->stop_()) return AVERROR_EXIT;
        const ssize_t n = ::pread(self->fd_, data, static_cast<size_t>(size), static_cast<off_t>(self->offset_));
        if (n > 0) {
            if (self->seen_) self->seen_(self->offset_, data, n);
            self->offset_ += n;
            return static_cast<int>(n);
        }
        if (n == 0) return AVERROR_EOF;
        if (errno != EINTR) return AVERROR(errno);
    }
}

int64_t inputFile::seek(void* opaque, int64_t offset, int whence) {
    auto* self = static_cast<inputFile*>(opaque);
    if (whence & AVSEEK_SIZE) return ff::seek_descriptor(self->fd_, offset, whence);
    int64_t to = offset;
    switch (whence & ~AVSEEK_FORCE) {
        case SEEK_SET:
            break;
        case SEEK_CUR:
            to += self->offset_;
            break;
        case SEEK_END: {
            const int64_t size = ff::seek_descriptor(self->fd_, 0, AVSEEK_SIZE);
            if (size < 0) return size;
            to += size;
            break;
        }
        default:
            return AVERROR(EINVAL);
    }
    if (to < 0) return AVERROR(EINVAL);
    self->offset_ = to;
    return to;
}

AVIOContext* inputFile::io() {
    if (io_ != nullptr || fd_ < 0) return io_;
    auto* buffer = static_cast<unsigned char*>(av_malloc(k_io_buffer));
    if (buffer == nullptr) return nullptr;
    io_ = avio_alloc_context(buffer, k_io_buffer, 0, this, &inputFile::read_bytes, nullptr, &inputFile::seek);
    if (io_ == nullptr) av_free(buffer);
    return io_;
}
