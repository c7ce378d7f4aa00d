// The restored file on disk: created exclusively (never opened over an existing file, so a
// restore cannot destroy one), written through its descriptor by an AVIOContext, and removed
// only while its name still leads to the file this run created.
#pragma once

#include <sys/types.h>

#include <string>

#include "common/ffHolders.h"

extern "C" {
#include <libavformat/avio.h>
}

class outputFile {
public:
    outputFile() = default;
    ~outputFile();
    outputFile(const outputFile&) = delete;
    outputFile& operator=(const outputFile&) = delete;

    // Creates path, failing when anything of that name exists. mode is narrowed to the
    // read/write bits and then by the umask. On failure errno tells why (EEXIST: taken).
    static int create_exclusive(const std::string& path, mode_t mode);

    // Takes over a descriptor create_exclusive made for path. False when it is not usable.
    bool adopt(int fd, const std::string& path);
    bool is_open() const { return fd_ >= 0; }
    // The descriptor, for writing without an AVIOContext (-1 when not open).
    int fd() const { return fd_; }

    // A seekable AVIOContext writing to the file, owned here; null when none can be made.
    AVIOContext* io();

    // Flushes and frees the AVIOContext and closes the descriptor. False when a write failed.
    bool close();

    // Closes, then unlinks the name when it still leads to the created file. False (errno
    // set) when the unlink failed; a name that now leads elsewhere is left alone.
    bool remove();

private:
    int fd_ = -1;
    std::string path_;
    dev_t device_ = 0;
    ino_t inode_ = 0;
    bool created_ = false;
    AVIOContext* io_ = nullptr;
    bool write_failed_ = false;

    static int write_bytes(void* opaque, ff::avio_write_bytes data, int size);
    static int64_t seek(void* opaque, int64_t offset, int whence);
};
