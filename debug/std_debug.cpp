#include "debug/std_debug.h"

#include <sys/time.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <vector>

#include "common/resultCode.h"

debug_context* g_debug_context = nullptr;

namespace {
// A function-local static, so that the record is built before the start-up routine uses it
// whatever order the files' initialisers run in.
debug_context& debug_record() {
    static debug_context record;
    return record;
}
}  // namespace

namespace std_debug {

namespace {
thread_local log_sink* t_sink = nullptr;
}  // namespace

log_sink* thread_sink() { return t_sink; }

log_sink* bind_thread_sink(log_sink* sink) {
    log_sink* previous = t_sink;
    t_sink = sink;
    return previous;
}

namespace {
// Without a sink: one printf call to standard output. With one: formatted into a buffer that
// fits the whole line and handed over.
void write_to(log_sink* sink, int level, const char* format, va_list arguments) {
    if (sink == nullptr) {
        vprintf(format, arguments);
        return;
    }
    if (!sink->write) return;
    char text[1024];
    va_list again;
    va_copy(again, arguments);
    const int needed = vsnprintf(text, sizeof(text), format, arguments);
    if (needed >= 0 && static_cast<size_t>(needed) < sizeof(text)) {
        sink->write(level, text);
    } else if (needed >= 0) {
        std::vector<char> longer(static_cast<size_t>(needed) + 1);
        vsnprintf(longer.data(), longer.size(), format, again);
        sink->write(level, longer.data());
    }
    va_end(again);
}
}  // namespace

void write_line(log_sink* sink, int level, const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    write_to(sink, level, format, arguments);
    va_end(arguments);
}

void write_plain(log_sink* sink, const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    write_to(sink, STD_DEBUG_LEVEL_PLAIN, format, arguments);
    va_end(arguments);
}

void format_timestamp(char* buf, unsigned size) {
    std::memset(buf, 0, size);
    struct timeval tv {};
    gettimeofday(&tv, nullptr);
    struct tm local {};
    time_t seconds = tv.tv_sec;
    localtime_r(&seconds, &local);
    snprintf(buf, size, "%4d-%02d-%02d %02d:%02d:%02d.%03d", local.tm_year + 1900, local.tm_mon + 1,
             local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec, static_cast<int>(tv.tv_usec / 1000));
}

int process_id() { return static_cast<int>(getpid()); }

void startup() {
    if (g_debug_context != nullptr) {
        printf("DEBUG ERR : lib std_debug busy!!!\r\n");
        return;
    }
    debug_context& record = debug_record();
    record.log_level = 2;
    {
        std::lock_guard<std::mutex> lock(record.status_mutex);
        record.result_code = RESULT_OK;
        record.result_msg = result_message(RESULT_OK);
    }
    g_debug_context = &record;
    printf("DEBUG LEVEL : %d\r\n", g_debug_context->log_level);
}

}  // namespace std_debug
