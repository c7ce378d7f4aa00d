// The log line, where it goes, and the process-wide debug record (log level and the status of
// the process-wide interface function).
//
// Every diagnostic is one line:
//   [ERR:2026-03-02 09:05:03.007 4242] \033[0;31mmessage\033[0;39m ==func:f file:demux/mediaDemuxer.cpp line:25
// ERR lines are level 1 (red), WRN lines level 2 (yellow). Each line goes to a log sink: the
// DEBUG_ macros ask log_target() for it, by name, so that inside the members of a stage (and
// of decryptMosic) the member of that name answers with the sink of the stage's job, and
// elsewhere the global one answers with the sink of the job bound to the calling thread.
// Without any job the line goes to standard output at the level of the process-wide record,
// which a start-up routine that runs before main() sets to 2.
#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <string>

struct debug_context {
    int log_level = 0;
    int result_code = 0;
    std::string result_msg;
    std::mutex status_mutex;
};

// Null until the start-up routine has run; lines without a job are not printed while it is null.
extern debug_context* g_debug_context;

#define STD_DEBUG_LEVEL_PLAIN 0
#define STD_DEBUG_LEVEL_ERR 1
#define STD_DEBUG_LEVEL_WRN 2

namespace std_debug {

// Where the lines of one job go. Set up before the job runs; read by all of its threads.
struct log_sink {
    // Lines up to this level are written; plain lines whatever it is.
    std::atomic<int> level{0};
    // Takes one whole line (newline included) with its level: STD_DEBUG_LEVEL_ERR or _WRN, or
    // STD_DEBUG_LEVEL_PLAIN for a plain line. Empty: nothing is formatted or written.
    std::function<void(int level, const char* line)> write;
};

// Whether a line of this level goes anywhere: to sink, or without one to standard output.
// The test comes first, before any time is read or anything is formatted.
inline bool enabled(const log_sink* sink, int level) {
    if (sink == nullptr) return g_debug_context != nullptr && g_debug_context->log_level >= level;
    return sink->write && sink->level.load(std::memory_order_relaxed) >= level;
}

// Formats one line and hands it to sink, or prints it to standard output (one printf call)
// without a sink. The caller has checked enabled().
void write_line(log_sink* sink, int level, const char* format, ...) __attribute__((format(printf, 3, 4)));

// A plain line, without decoration and not subject to the level: to sink when it has a
// writer, or printed to standard output without a sink.
void write_plain(log_sink* sink, const char* format, ...) __attribute__((format(printf, 2, 3)));

// The sink bound to the calling thread (null: none), and the binding itself, which returns
// the previous one. A job binds its sink to the threads that work for it.
log_sink* thread_sink();
log_sink* bind_thread_sink(log_sink* sink);

// Writes the local wall-clock time with milliseconds as "%4d-%02d-%02d %02d:%02d:%02d.%03d"
// into buf (zero-filled first, at most size bytes including the terminating zero).
void format_timestamp(char* buf, unsigned size);

// The process id shown in every log line.
int process_id();

// The start-up routine. Exposed so that a second run can be observed: it prints
// "DEBUG ERR : lib std_debug busy!!!\r\n" and changes nothing when the record is already published.
void startup();

}  // namespace std_debug

// The log target of code that belongs to no stage: the sink of the job the calling thread
// works for, or none.
inline std_debug::log_sink* log_target() { return std_debug::thread_sink(); }

// The message arguments are evaluated only when the line is written.
#define STD_DEBUG_LINE(level, tag, colour, fmt, ...)                                              \
    do {                                                                                          \
        std_debug::log_sink* const std_debug_sink_ = log_target();                                \
        if (std_debug::enabled(std_debug_sink_, (level))) {                                       \
            char std_debug_ts_[32];                                                               \
            std_debug::format_timestamp(std_debug_ts_, sizeof(std_debug_ts_));                    \
            std_debug::write_line(std_debug_sink_, (level),                                       \
                                  "[%s%s %d] " colour fmt "\033[0;39m ==func:%s file:%s line:%d\n", tag, \
                                  std_debug_ts_, std_debug::process_id(), ##__VA_ARGS__, __func__,       \
                                  __FILE__, __LINE__);                                            \
        }                                                                                         \
    } while (0)

#define DEBUG_ERR(fmt, ...) STD_DEBUG_LINE(STD_DEBUG_LEVEL_ERR, "ERR:", "\033[0;31m", fmt, ##__VA_ARGS__)
#define DEBUG_WRN(fmt, ...) STD_DEBUG_LINE(STD_DEBUG_LEVEL_WRN, "WRN:", "\033[0;33m", fmt, ##__VA_ARGS__)
// A plain line to the same target (the payload version line).
#define DEBUG_PLAIN(fmt, ...) std_debug::write_plain(log_target(), fmt, ##__VA_ARGS__)
