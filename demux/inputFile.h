// The input on disk, opened so that nothing can block the job: only a regular file is opened
// (a FIFO, device, socket or folder is refused before anything could wait on it), the file
// that was checked is the file that is read (through its descriptor, by an AVIOContext), and
// every read and every wait gives up as soon as the job is cancelled.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <functional>

extern "C" {
#include <libavformat/avio.h>
}

class inputFile {
public:
    enum class open_status {
        ok,
        not_found,    // missing or unreadable; errno tells why
        not_regular,  // a FIFO, device, socket or folder
        stopped,      // the job was cancelled while the file was held (another's lease)
    };

    // stop: true once the job is cancelled; asked between waits and before every read.
    explicit inputFile(std::function<bool()> stop) : stop_(std::move(stop)) {}
    ~inputFile();
    inputFile(const inputFile&) = delete;
    inputFile& operator=(const inputFile&) = delete;

    // Opens path for reading when it is a regular file. A file under another process's lease
    // (a file server's) is waited for, looking at stop every k_lease_poll_ms.
    open_status open(const char* path);
    // Reads the file other has opened (the very file, not whatever its name leads to now),
    // from a position of its own. False when other is not open or no descriptor is left.
    bool open_same(const inputFile& other);
    static constexpr int k_lease_poll_ms = 50;

    // What the opened file is (owner, group, bits): valid after open() gave ok.
    const struct stat& info() const { return info_; }

    // The descriptor of the opened file (-1 before open), for a reader that follows this one.
    int descriptor() const { return fd_; }
    // Calls seen(offset, bytes, size) for every read of the AVIOContext below (its digest is
    // taken from them). Set before the first read.
    void on_read(std::function<void(int64_t, const uint8_t*, int64_t)> seen) { seen_ = std::move(seen); }

    // A seekable AVIOContext reading the file, owned here; null when none can be made. Reads
    // end with AVERROR_EXIT once stop is true.
    AVIOContext* io();

private:
    std::function<bool()> stop_;
    std::function<void(int64_t, const uint8_t*, int64_t)> seen_;
    int fd_ = -1;
    int64_t offset_ = 0;  // where the next read starts (several readers may share the file)
    struct stat info_ {};
    AVIOContext* io_ = nullptr;

    static int read_bytes(void* opaque, uint8_t* data, int size);
    static int64_t seek(void* opaque, int64_t offset, int whence);
};
