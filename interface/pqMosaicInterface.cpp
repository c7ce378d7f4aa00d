#include "interface/pqMosaicInterface.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "debug/std_debug.h"
#include "demux/mediaDemuxer.h"
#include "interface/ffmpegLog.h"
#include "interface/resultStatus.h"

std::shared_ptr<char> convert_to_utf8(const char* text) {
    if (text == nullptr) return nullptr;
    const size_t length = std::strlen(text);
    std::shared_ptr<char> copy(new char[length + 1], std::default_delete<char[]>());
    std::memcpy(copy.get(), text, length + 1);
    return copy;
}

int pq_mosaic_interface_input(job_context& job, const char* input_path, const char* privacy_key,
                              const restore_options& options) {
    // The code of no stage on this thread (FFmpeg's log callback included) reports to the job.
    const job_context::thread_binding bound(job);
    if (!job.console()) ffmpeg_log::route_to_jobs();
    std::unique_ptr<mediaDemuxer> demuxer;
    if (input_path == nullptr || privacy_key == nullptr) {
        DEBUG_ERR("mosaic interface input param is error");
        job.set_result_status(RESULT_PARAM_ERROR);
    } else if (!job.cancelled()) {
        std::string key(privacy_key, std::strlen(privacy_key));
        std::shared_ptr<char> utf8_path = convert_to_utf8(input_path);
        std::shared_ptr<char> utf8_output = convert_to_utf8(options.output.empty() ? nullptr : options.output.c_str());
        const int type = mediaDemuxer::k_type_privacy | (options.copy ? mediaDemuxer::k_type_copy : 0);
        demuxer.reset(new mediaDemuxer(job, utf8_path.get(), type, key, utf8_output.get()));
        utf8_path.reset();
        demuxer->demuxer_media_file_process();
        DEBUG_WRN("mosaic process end");
    }

    const int code = job.get_result_code();
    job.output_path = code == RESULT_OK && demuxer ? demuxer->output_path : std::string();
    // The demuxer goes after the status has been read.
    demuxer.reset();
    return code;
}

int pq_mosaic_interface_input(const char* input_path, const char* privacy_key, char* message) {
    return pq_mosaic_interface_input(input_path, privacy_key, message, restore_options());
}

int pq_mosaic_interface_input(const char* input_path, const char* privacy_key, char* message,
                              const restore_options& options) {
    job_context job;
    job.use_console();
    std::string result_msg;
    const int seed = get_result_status(&result_msg);
    job.set_result_status(seed, result_msg.c_str());
    pq_mosaic_interface_input(job, input_path, privacy_key, options);
    const int code = job.get_result_status(&result_msg);
    set_result_status(code, result_msg.c_str());
    // Every fixed message fits the caller's 256 bytes; the bound only guards against a longer one.
    if (message != nullptr) snprintf(message, std::min<size_t>(result_msg.size() + 1, 256), "%s", result_msg.c_str());
    return code;
}
