// The JSON records of a job: --info's description of an input, and --report's evidence
// record, which says what was done to which file, by which program, with what outcome.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

#include "common/pictureCounts.h"
#include "interface/restoreOptions.h"
#include "mux/outputFile.h"

class mediaDemuxer;

// The description of an input (one JSON object, one line): its container, duration, video and
// audio, the pictures the privacy step would see (all, key, hidden), the first version text,
// the times of the first and last hidden picture, and the result. demuxer: the description
// run's demuxer, or null when none was built; what it could not learn is null.
std::string describe_input(const char* input_path, const mediaDemuxer* demuxer, const picture_counts& counts,
                           int code, const std::string& message);

// Identifies a key without revealing it: 32 hex digits, the first 16 bytes of
// PBKDF2-HMAC-SHA256 over the key with this fixed salt and this many iterations. The same key
// gives the same fingerprint in every record; a guess of the key costs more to test against
// it than against the privacy messages of the video itself (1000 iterations each).
extern const char k_fingerprint_salt[];
constexpr int k_fingerprint_iterations = 200000;
std::string key_fingerprint(const std::string& key);

// Local time in ISO 8601 with its offset from UTC: "2026-12-06T15:04:05+01:00".
std::string iso8601(time_t when);

// What the evidence record states.
struct evidence_facts {
    time_t started = 0;
    time_t finished = 0;
    std::vector<std::string> command;  // the key replaced by "***"; empty: null
    restore_options::job_mode mode = restore_options::job_mode::restore;
    bool copy = false;
    bool range = false;
    int64_t from = 0, to = -1, offset = -1;  // microseconds; to -1: the end; offset -1: not reached
    struct file {
        std::string path;        // empty: null (no such file)
        int64_t size = -1;       // -1: null
        std::string sha256;      // empty: null
    } input, output;
    int code = 0;
    std::string message;
    int64_t pictures = 0, key_pictures = 0, found = 0, restored = 0, dropped = 0, damaged = 0;
    std::string key_fingerprint;  // empty: null (no key)
};
std::string evidence_record(const evidence_facts& facts);

// The record's file: created new before the job runs (an existing file is refused), written
// once when it ends, removed (only while its name still leads to it) when it cannot be.
class evidenceFile {
public:
    // Creates path exclusively, no more readable than the input described by input (null:
    // owner-only). False with *why (strerror) when it exists or cannot be made.
    bool create(const std::string& path, const struct stat* input, std::string* why);
    bool is_open() const { return file_.is_open(); }
    // Writes text, flushes it to the disk and closes. False with *why when that failed.
    bool write(const std::string& text, std::string* why);
    // Removes the file this run created (a record that could not be written whole).
    void remove() { file_.remove(); }

private:
    outputFile file_;
};
