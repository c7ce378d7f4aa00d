#include "mux/outputFile.h"

#include <openssl/crypto.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "common/fileAccess.h"

extern "C" {
#include <libavutil/mem.h>
}

namespace {

constexpr int k_io_buffer = 1 << 16;

}  // namespace

outputFile::~outputFile() {
    // (A failed removal has nobody left to tell; the owner removes explicitly to report it.)
    remove();
}

int outputFile::create_exclusive(const std::string& path, const struct stat* input) {
    return open_derived_file(path.c_str(), O_CREAT | O_EXCL, input);
}

int outputFile::release() {
    const int fd = fd_;
    fd_ = -1;
    created_ = false;
    return fd;
}

bool outputFile::adopt(int fd, const std::string& path) {
    close();
    struct stat info {};
    if (fd < 0 || fstat(fd, &info) != 0) return false;
    fd_ = fd;
    path_ = path;
    device_ = info.st_dev;
    inode_ = info.st_ino;
    created_ = true;
    write_failed_ = false;
    return true;
}

int outputFile::write_bytes(void* opaque, ff::avio_write_bytes data, int size) {
    auto* self = static_cast<outputFile*>(opaque);
    for (int done = 0; done < size;) {
        const ssize_t n = ::write(self->fd_, data + done, static_cast<size_t>(size - done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            self->write_failed_ = true;
            return n < 0 ? AVERROR(errno) : AVERROR(EIO);
        }
        done += static_cast<int>(n);
    }
    return size;
}

int64_t outputFile::seek(void* opaque, int64_t offset, int whence) {
    return ff::seek_descriptor(static_cast<outputFile*>(opaque)->fd_, offset, whence);
}

AVIOContext* outputFile::io() {
    if (io_ != nullptr || fd_ < 0) return io_;
    auto* buffer = static_cast<unsigned char*>(av_malloc(k_io_buffer));
    if (buffer == nullptr) return nullptr;
    io_ = avio_alloc_context(buffer, k_io_buffer, 1, this, nullptr,
                             &outputFile::write_bytes,
                             &outputFile::seek);
    if (io_ == nullptr) av_free(buffer);
    return io_;
}

bool outputFile::close() {
    if (io_ != nullptr) {
        avio_flush(io_);
        if (io_->error < 0) write_failed_ = true;
        // The buffer held restored pictures on their way to the file.
        OPENSSL_cleanse(io_->buffer, static_cast<size_t>(io_->buffer_size));
        av_freep(&io_->buffer);
        avio_context_free(&io_);
    }
    if (fd_ >= 0) {
        if (::close(fd_) != 0 && errno != EINTR) write_failed_ = true;
        fd_ = -1;
    }
    return !write_failed_;
}

bool outputFile::remove() {
    close();
    if (!created_) return true;
    created_ = false;
    struct stat info {};
    // Gone already, or replaced by something else since: nothing of this run to remove.
    if (lstat(path_.c_str(), &info) != 0 || info.st_dev != device_ || info.st_ino != inode_) return true;
    return ::unlink(path_.c_str()) == 0;
}
