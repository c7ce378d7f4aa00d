#include "common/jobContext.h"

#include <cstdio>

namespace {
thread_local job_context* t_job = nullptr;
std::atomic<int> g_jobs_probing{0};
}  // namespace

void job_progress::note_picture_written() {
    const int64_t done = written_.fetch_add(1, std::memory_order_relaxed) + 1;
    if (!callback_) return;
    const int64_t expected = expected_.load();
    callback_(done, expected > 0 ? expected : -1);
}

// A run that ended inside the probing bracket (an exception) leaves no probing behind.
job_context::~job_context() { set_probing(false); }

void job_context::use_console() {
    console_ = true;
    log.level = g_debug_context != nullptr ? g_debug_context->log_level : 0;
    log.write = [](int, const char* line) { fputs(line, stdout); };
}

void job_context::set_result_status(int code, const char* message) {
    std::lock_guard<std::mutex> lock(status_mutex_);
    result_code_ = code;
    result_msg_ = message != nullptr ? message : "";
}

void job_context::set_result_status(int code) { set_result_status(code, result_message(code)); }

int job_context::get_result_code() const {
    std::lock_guard<std::mutex> lock(status_mutex_);
    return result_code_;
}

int job_context::get_result_status(std::string* message) const {
    std::lock_guard<std::mutex> lock(status_mutex_);
    if (message != nullptr) *message = result_msg_;
    return result_code_;
}

void job_context::cancel() {
    std::lock_guard<std::mutex> lock(status_mutex_);
    cancelled_ = true;
    if (output_kept_) return;
    result_code_ = RESULT_INTERRUPTED;
    result_msg_ = result_message(RESULT_INTERRUPTED);
}

bool job_context::cancelled() const {
    std::lock_guard<std::mutex> lock(status_mutex_);
    return cancelled_;
}

bool job_context::keep_output() {
    std::lock_guard<std::mutex> lock(status_mutex_);
    if (result_code_ != RESULT_OK) return false;
    output_kept_ = true;
    return true;
}

void job_context::set_probing(bool probing) {
    if (probing_.exchange(probing) != probing) g_jobs_probing += probing ? 1 : -1;
}

bool job_context::any_probing() { return g_jobs_probing > 0; }

job_context::thread_binding::thread_binding(job_context& job)
    : previous_job_(t_job), previous_sink_(std_debug::bind_thread_sink(&job.log)) {
    t_job = &job;
}

job_context::thread_binding::~thread_binding() {
    t_job = previous_job_;
    std_debug::bind_thread_sink(previous_sink_);
}

job_context* job_context::bound() { return t_job; }
