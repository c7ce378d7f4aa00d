// The restored file on disk: created exclusively (never opened over an existing file, so a
// restore cannot destroy one) with no more access than the input allows, written through its
// descriptor by an AVIOContext, and removed again, only while its name still leads to the file
// this run created, unless the run keeps it: a run that ends in any other way, an exception
// included, leaves nothing behind.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <string>

#include "common/ffHolders.h"

extern "C" {
#include <libavformat/avio.h>
}

class outputFile {
public:
    outputFile() = default;
    // Removes the file unless it was kept.
    ~outputFile();
    outputFile(const outputFile&) = delete;
    outputFile& operator=(const outputFile&) = delete;

    // Creates path, failing when anything of that name exists, for the restore of the input
    // described by input (null: owner-only), with its group and bits (common/fileAccess.h).
    // On failure errno tells why (EEXIST: taken).
    static int create_exclusive(const std::string& path, const struct stat* input);

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

    // The finished file stays when this object goes.
    void keep() { created_ = false; }

    // Hands the descriptor over (to another outputFile's adopt) and forgets the file: -1 when
    // there is none.
    int release();

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
