#include "interface/ffmpegLog.h"

#include <atomic>
#include <cstdarg>
#include <cstring>
#include <initializer_list>
#include <mutex>

#include "common/jobContext.h"

extern "C" {
#include <libavutil/log.h>
}

namespace ffmpeg_log {
namespace {

std::atomic<bool> filtering{false};

bool is_hardware_source(const char* class_name, const char* item_name) {
    if (class_name != nullptr && std::strcmp(class_name, "AVHWDeviceContext") == 0) return true;
    if (item_name == nullptr) return false;
    for (const char* kind : {"_nvenc", "_qsv", "_amf", "_vaapi", "hwupload", "hwframes"}) {
        if (std::strstr(item_name, kind) != nullptr) return true;
    }
    return false;
}

// Whether the job of the calling thread (or, on a thread of no job, any job) is probing.
bool probing_now() {
    const job_context* job = job_context::bound();
    return job != nullptr ? job->probing() : job_context::any_probing();
}

// The filter proper: warnings and errors, without expected probe failures and our own
// harmless libx264 warning.
bool passes(int level, const char* class_name, const char* item_name, const char* format) {
    if (level > AV_LOG_WARNING) return false;
    if (is_hardware_source(class_name, item_name) && probing_now()) return false;
    // libx264 warns when a frame asks for a picture type its GOP settings do not expect;
    // the decoded frames we hand on keep the type they had in the input, which is harmless.
    if (format != nullptr && std::strncmp(format, "specified frame type", 20) == 0) return false;
    return true;
}

void names_of(void* context, const char** class_name, const char** item_name) {
    *class_name = nullptr;
    *item_name = nullptr;
    if (context == nullptr) return;
    const AVClass* av_class = *static_cast<AVClass**>(context);
    if (av_class == nullptr) return;
    *class_name = av_class->class_name;
    *item_name = av_class->item_name != nullptr ? av_class->item_name(context) : nullptr;
}

void filtered_callback(void* context, int level, const char* format, va_list arguments) {
    const char* class_name;
    const char* item_name;
    names_of(context, &class_name, &item_name);
    if (!shown(level, class_name, item_name, format)) return;
    av_log_default_callback(context, level, format, arguments);
}

void routing_callback(void* context, int level, const char* format, va_list arguments) {
    job_context* job = job_context::bound();
    if (job == nullptr) return;
    const char* class_name;
    const char* item_name;
    names_of(context, &class_name, &item_name);
    if (!passes(level, class_name, item_name, format)) return;
    if (job->console()) {
        av_log_default_callback(context, level, format, arguments);
        return;
    }
    const int line_level = level <= AV_LOG_ERROR ? STD_DEBUG_LEVEL_ERR : STD_DEBUG_LEVEL_WRN;
    if (!std_debug::enabled(&job->log, line_level)) return;
    char line[1024];
    int print_prefix = 1;
    av_log_format_line2(context, level, format, arguments, line, sizeof(line), &print_prefix);
    job->log.write(line_level, line);
}

}  // namespace

bool shown(int level, const char* class_name, const char* item_name, const char* format) {
    if (!filtering) return true;
    return passes(level, class_name, item_name, format);
}

void install(bool verbose) {
    if (verbose) return;
    filtering = true;
    av_log_set_level(AV_LOG_WARNING);
    av_log_set_callback(filtered_callback);
}

void route_to_jobs() {
    static std::once_flag once;
    std::call_once(once, [] { av_log_set_callback(routing_callback); });
}

}  // namespace ffmpeg_log
