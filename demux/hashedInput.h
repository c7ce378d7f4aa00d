// The input file read through an AVIOContext of its own, so that its SHA-256 is taken from the
// bytes the demuxer reads anyway instead of from a second reading of the file.
//
// A demuxer does not read a file straight through: MP4 jumps to its index (often at the end)
// and back, AVI to its index, a seek skips ahead. The digest follows a frontier: bytes are
// hashed when a read reaches them in order; a read that lands a little ahead of the frontier
// (skipped boxes and chunks, up to k_gap_fill bytes) hashes the gap first; one far ahead
// leaves the frontier where it is. What the reading never reached in order (an index read
// out of turn, everything behind a range's end) is hashed at the end, by finish(), which
// reads from the frontier to the end of the file.
#pragma once

#include <cstdint>
#include <string>

#include "common/sha256.h"

extern "C" {
#include <libavformat/avio.h>
}

class hashedInput {
public:
    static constexpr int64_t k_gap_fill = 1 << 20;

    hashedInput() = default;
    // Frees the AVIOContext: only after the format context that reads through it is closed.
    ~hashedInput();
    hashedInput(const hashedInput&) = delete;
    hashedInput& operator=(const hashedInput&) = delete;

    // Opens the file for reading. False when it cannot be opened (FFmpeg then opens the path
    // itself and reports why).
    bool open(const std::string& path);
    // The AVIOContext FFmpeg reads the file through (seekable), or null when none can be made.
    AVIOContext* io();

    // Hashes what the reading left out, from the frontier to the end of the file. The digest
    // (64 hex digits) and the file's length, or false when the file could not be read.
    bool finish(std::string* digest, int64_t* size);

    // Bytes hashed before finish: from the reads themselves and the small skips between
    // them. finish reads the rest of the file again.
    int64_t hashed_before_finish() const { return hashed_before_finish_; }

private:
    static int read(void* opaque, uint8_t* buffer, int size);
    static int64_t seek(void* opaque, int64_t offset, int whence);
    // Hashes what of the bytes read at offset lies at or just past the frontier.
    void note_read(int64_t offset, const uint8_t* data, int64_t size);

    int fd_ = -1;
    int64_t position_ = 0;  // where the next read starts
    int64_t frontier_ = 0;  // bytes [0, frontier_) are in the digest
    int64_t hashed_before_finish_ = 0;
    bool failed_ = false;
    sha256 digest_;
    AVIOContext* io_ = nullptr;
};
