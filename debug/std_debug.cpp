#include "debug/std_debug.h"

#include <sys/time.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <ctime>

#include "interface/resultStatus.h"

debug_context* g_debug_context = nullptr;

namespace {
debug_context g_debug_record;
}

namespace std_debug {

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
    g_debug_record.log_level = 2;
    {
        std::lock_guard<std::mutex> lock(g_debug_record.status_mutex);
        g_debug_record.result_code = RESULT_OK;
        g_debug_record.result_msg = result_message(RESULT_OK);
    }
    g_debug_context = &g_debug_record;
    printf("DEBUG LEVEL : %d\r\n", g_debug_context->log_level);
}

}  // namespace std_debug

namespace {
// Runs before main(): publishes the record and prints the level line.
struct std_debug_initialiser {
    std_debug_initialiser() { std_debug::startup(); }
} g_std_debug_initialiser;
}  // namespace
