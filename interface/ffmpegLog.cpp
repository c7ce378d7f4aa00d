#include "interface/ffmpegLog.h"

#include <atomic>
#include <cstdarg>
#include <cstring>
#include <initializer_list>

extern "C" {
#include <libavutil/log.h>
}

namespace ffmpeg_log {
namespace {

std::atomic<bool> filtering{false};
std::atomic<bool> probing_now{false};

bool is_hardware_source(const char* class_name, const char* item_name) {
    if (class_name != nullptr && std::strcmp(class_name, "AVHWDeviceContext") == 0) return true;
    if (item_name == nullptr) return false;
    for (const char* kind : {"_nvenc", "_qsv", "_amf", "_vaapi", "hwupload", "hwframes"}) {
        if (std::strstr(item_name, kind) != nullptr) return true;
    }
    return false;
}

void filtered_callback(void* context, int level, const char* format, va_list arguments) {
    const char* class_name = nullptr;
    const char* item_name = nullptr;
    if (context != nullptr) {
        const AVClass* av_class = *static_cast<AVClass**>(context);
        if (av_class != nullptr) {
            class_name = av_class->class_name;
            item_name = av_class->item_name != nullptr ? av_class->item_name(context) : nullptr;
        }
    }
    if (!shown(level, class_name, item_name, format)) return;
    av_log_default_callback(context, level, format, arguments);
}

}  // namespace

bool shown(int level, const char* class_name, const char* item_name, const char* format) {
    if (!filtering) return true;
    if (level > AV_LOG_WARNING) return false;
    if (probing_now && is_hardware_source(class_name, item_name)) return false;
    // libx264 warns when a frame asks for a picture type its GOP settings do not expect;
    // the decoded frames we hand on keep the type they had in the input, which is harmless.
    if (format != nullptr && std::strncmp(format, "specified frame type", 20) == 0) return false;
    return true;
}

void install(bool verbose) {
    if (verbose) return;
    filtering = true;
    av_log_set_level(AV_LOG_WARNING);
    av_log_set_callback(filtered_callback);
}

void set_probing(bool probing) { probing_now = probing; }

}  // namespace ffmpeg_log
