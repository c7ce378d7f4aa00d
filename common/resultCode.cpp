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
    "Out of memory",
    "Internal error",
};
constexpr int k_message_count = static_cast<int>(sizeof(k_messages) / sizeof(k_messages[0]));
static_assert(k_message_count == RESULT_LAST + 1, "one message per code");
}  // namespace

const char k_key_correct_message[] = "The privacy key is correct";
const char k_input_read_message[] = "The input was read";

const char* result_message(int code) {
    if (code < 0 || code >= k_message_count) return "";
    return k_messages[code];
}
