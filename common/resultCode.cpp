#include "common/resultCode.h"

namespace {
const char* const k_messages[] = {
    "Demosaic successfully, please get the new video without mosaic in the video file path",
    "Init decrypt Error",
    "The privacy key is incorrect",
    "Open input file Error",
    "Open output file Error",
    "video stream format Error",
    "video muxer Error",
    "Parama Error",
    "video decoder Error",
    "video encoder Error",
    "Interrupted by signal",
};
constexpr int k_message_count = static_cast<int>(sizeof(k_messages) / sizeof(k_messages[0]));
}  // namespace

const char* result_message(int code) {
    if (code < 0 || code >= k_message_count) return "";
    return k_messages[code];
}
