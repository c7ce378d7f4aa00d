#include "interface/pqMosaicInterface.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "debug/std_debug.h"
#include "demux/mediaDemuxer.h"
#include "interface/resultStatus.h"

std::shared_ptr<char> convert_to_utf8(const char* text) {
    if (text == nullptr) return nullptr;
    const size_t length = std::strlen(text);
    std::shared_ptr<char> copy(new char[length + 1], std::default_delete<char[]>());
    std::memcpy(copy.get(), text, length + 1);
    return copy;
}

int pq_mosaic_interface_input(const char* input_path, const char* privacy_key, char* message) {
    return pq_mosaic_interface_input(input_path, privacy_key, message, restore_options());
}

int pq_mosaic_interface_input(const char* input_path, const char* privacy_key, char* message,
                              const restore_options& options) {
    std::shared_ptr<mediaDemuxer> demuxer;
    if (input_path == nullptr || privacy_key == nullptr) {
        DEBUG_ERR("mosaic interface input param is error");
        set_result_status(RESULT_PARAM_ERROR);
    } else {
        std::string key(privacy_key, std::strlen(privacy_key));
        std::shared_ptr<char> utf8_path = convert_to_utf8(input_path);
        std::shared_ptr<char> utf8_output = convert_to_utf8(options.output.empty() ? nullptr : options.output.c_str());
        const int type = mediaDemuxer::k_type_privacy | (options.copy ? mediaDemuxer::k_type_copy : 0);
        demuxer.reset(new mediaDemuxer(utf8_path.get(), type, key, utf8_output.get()));
        utf8_path.reset();
        demuxer->demuxer_media_file_process();
        DEBUG_WRN("mosaic process end");
    }

    std::string result_msg;
    const int code = get_result_status(&result_msg);
    // Every fixed message fits the caller's 256 bytes; the bound only guards against a longer one.
    if (message != nullptr) snprintf(message, std::min<size_t>(result_msg.size() + 1, 256), "%s", result_msg.c_str());
    // The demuxer goes after the status has been read.
    demuxer.reset();
    return code;
}
