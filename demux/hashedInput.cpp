#include "demux/hashedInput.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

hashedInput::~hashedInput() {
    if (fd_ >= 0) close(fd_);
}

bool hashedInput::attach(int fd) {
    if (fd_ >= 0) close(fd_);
    fd_ = fd >= 0 ? fcntl(fd, F_DUPFD_CLOEXEC, 0) : -1;
    return fd_ >= 0;
}

void hashedInput::note_read(int64_t offset, const uint8_t* data, int64_t size) {
    if (failed_) return;
    if (offset > frontier_ && offset - frontier_ <= k_gap_fill) {
        // A little ahead: the skipped bytes are read and hashed now, while they are near.
        // One buffer serves every gap (it grows to the largest, at most k_gap_fill).
        gap_.resize(static_cast<size_t>(offset - frontier_));
        ssize_t n;
        do {
            n = pread(fd_, gap_.data(), gap_.size(), static_cast<off_t>(frontier_));
        } while (n < 0 && errno == EINTR);
        if (n != static_cast<ssize_t>(gap_.size())) {
            failed_ = true;
            return;
        }
        digest_.update(gap_.data(), gap_.size());
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
