// The SHA-256 of the input file, taken from the bytes the demuxer reads anyway (inputFile hands
// every read to note_read) instead of from a second reading of the file.
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
#include <vector>

#include "common/sha256.h"

class hashedInput {
public:
    static constexpr int64_t k_gap_fill = 1 << 20;

    hashedInput() = default;
    ~hashedInput();
    hashedInput(const hashedInput&) = delete;
    hashedInput& operator=(const hashedInput&) = delete;

    // Follows the file open at fd (the very file the demuxer reads; a descriptor of its own).
    // False when no descriptor is left.
    bool attach(int fd);
    // Hashes what of the bytes read at offset lies at or just past the frontier.
    void note_read(int64_t offset, const uint8_t* data, int64_t size);

    // Hashes what the reading left out, from the frontier to the end of the file. The digest
    // (64 hex digits) and the file's length, or false when the file could not be read.
    bool finish(std::string* digest, int64_t* size);

    // Bytes hashed before finish: from the reads themselves and the small skips between
    // them. finish reads the rest of the file again.
    int64_t hashed_before_finish() const { return hashed_before_finish_; }

private:
    int fd_ = -1;
    int64_t frontier_ = 0;  // bytes [0, frontier_) are in the digest
    int64_t hashed_before_finish_ = 0;
    bool failed_ = false;
    std::vector<uint8_t> gap_;  // skipped bytes read for the digest
    sha256 digest_;
};
