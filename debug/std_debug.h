// The process-wide debug record (log level and result status) and the two log macros.
//
// Every diagnostic is one line on standard output:
//   [ERR:2026-03-02 09:05:03.007 4242] \033[0;31mmessage\033[0;39m ==func:f file:demux/mediaDemuxer.cpp line:25
// ERR lines are level 1 (red), WRN lines level 2 (yellow). A start-up routine that runs
// before main() sets the level to 2, so both are printed for the whole run.
#pragma once

#include <mutex>
#include <string>

struct debug_context {
    int log_level = 0;
    int result_code = 0;
    std::string result_msg;
    std::mutex status_mutex;
};

// Null until the start-up routine has run; the log macros print nothing while it is null.
extern debug_context* g_debug_context;

#define STD_DEBUG_LEVEL_ERR 1
#define STD_DEBUG_LEVEL_WRN 2

namespace std_debug {

// Writes the local wall-clock time with milliseconds as "%4d-%02d-%02d %02d:%02d:%02d.%03d"
// into buf (zero-filled first, at most size bytes including the terminating zero).
void format_timestamp(char* buf, unsigned size);

// The process id shown in every log line.
int process_id();

// The start-up routine. Exposed so that a second run can be observed: it prints
// "DEBUG ERR : lib std_debug busy!!!\r\n" and changes nothing when the record is already published.
void startup();

}  // namespace std_debug

// The level test comes first: nothing is read or formatted when the line is not printed,
// and the message arguments are not evaluated.
#define STD_DEBUG_LINE(level, tag, colour, fmt, ...)                                          \
    do {                                                                                      \
        if (g_debug_context != nullptr && g_debug_context->log_level >= (level)) {           \
            char std_debug_ts_[32];                                                           \
            std_debug::format_timestamp(std_debug_ts_, sizeof(std_debug_ts_));                \
            printf("[%s%s %d] " colour fmt "\033[0;39m ==func:%s file:%s line:%d\n", tag,     \
                   std_debug_ts_, std_debug::process_id(), ##__VA_ARGS__, __func__, __FILE__, \
                   __LINE__);                                                                 \
        }                                                                                     \
    } while (0)

#define DEBUG_ERR(fmt, ...) STD_DEBUG_LINE(STD_DEBUG_LEVEL_ERR, "ERR:", "\033[0;31m", fmt, ##__VA_ARGS__)
#define DEBUG_WRN(fmt, ...) STD_DEBUG_LINE(STD_DEBUG_LEVEL_WRN, "WRN:", "\033[0;33m", fmt, ##__VA_ARGS__)
