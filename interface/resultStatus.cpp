#include "interface/resultStatus.h"

#include <mutex>

#include "debug/std_debug.h"

void set_result_status(int code, const char* message) {
    if (g_debug_context == nullptr) return;
    std::lock_guard<std::mutex> lock(g_debug_context->status_mutex);
    g_debug_context->result_code = code;
    g_debug_context->result_msg = message ? message : "";
}

void set_result_status(int code) { set_result_status(code, result_message(code)); }

int get_result_code() {
    if (g_debug_context == nullptr) return RESULT_OK;
    std::lock_guard<std::mutex> lock(g_debug_context->status_mutex);
    return g_debug_context->result_code;
}

int get_result_status(std::string* message) {
    if (g_debug_context == nullptr) {
        if (message) *message = result_message(RESULT_OK);
        return RESULT_OK;
    }
    std::lock_guard<std::mutex> lock(g_debug_context->status_mutex);
    if (message) *message = g_debug_context->result_msg;
    return g_debug_context->result_code;
}
