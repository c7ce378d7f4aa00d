// The progress line for people at a terminal: one updating line on stderr with the
// pictures a job has restored so far of those expected (its job_progress), speed, elapsed
// and remaining time. Silent when stderr is not a terminal; stdout is never touched.
#pragma once

#include <cstdint>
#include <string>

class job_progress;

namespace progress {

// "restored 120/250 pictures  31.5 fps  elapsed 0:03  left 0:04" (the text of one update).
std::string format_line(int64_t done, int64_t expected, double elapsed_seconds);

// Shows the line for counts on stderr every quarter second while it lives (counts must
// outlive it), when stderr is a terminal
// (or when forced, for tests); the last update, drawn when it is destroyed, stays with a
// newline. While it lives, the other text on stderr (FFmpeg's and the encoders' messages)
// and, when stdout is a terminal too, the log lines pass through pipes and are written
// around the line instead of onto it; when stdout is not a terminal it is left alone.
class reporter {
public:
    explicit reporter(const job_progress& counts, bool force = false);
    ~reporter();
    reporter(const reporter&) = delete;
    reporter& operator=(const reporter&) = delete;

private:
    struct impl;
    impl* impl_;
};

}  // namespace progress
