// The C interface of libdemosaic (include/demosaic.h): a job object in the shape of an easy
// handle around the in-process runner. Each run gets a job_context of its own, so nothing of
// an earlier run (status, cancel, counts) carries over; the handle keeps the input, key,
// options and callbacks between runs, and the outcome of the last one. No exception leaves
// these functions.
#include "include/demosaic.h"

#include <openssl/crypto.h>

#include <atomic>
#include <mutex>
#include <new>
#include <string>

#include "common/jobContext.h"
#include "interface/pqMosaicInterface.h"

#ifndef DEMOSAIC_VERSION
#error "DEMOSAIC_VERSION is set by the build"
#endif

struct demosaic_job {
    std::string input;
    std::string key;
    restore_options options;
    demosaic_progress_fn progress_fn = nullptr;
    void* progress_opaque = nullptr;
    demosaic_log_fn log_fn = nullptr;
    void* log_opaque = nullptr;

    // One run at a time; set and callbacks are refused while it is true.
    std::atomic<bool> running{false};
    // Guards run and cancel_pending against demosaic_job_cancel from other threads.
    std::mutex cancel_mutex;
    job_context* run = nullptr;
    bool cancel_pending = false;
    // The host's log callback sees one line at a time, whichever of the job's threads wrote it.
    std::mutex log_mutex;

    std::string message;
    std::string output;
    bool has_output = false;
    std::string description;  // the last run's, when it described the input ("info")

    ~demosaic_job() {
        if (!key.empty()) OPENSSL_cleanse(&key[0], key.size());
    }
};

namespace {

// One run on a fresh job_context, which reports to the handle's callbacks.
int run_once(demosaic_job& job) {
    job_context context;
    if (job.log_fn != nullptr) {
        context.log.level = STD_DEBUG_LEVEL_WRN;
        context.log.write = [&job](int level, const char* line) {
            const std::lock_guard<std::mutex> lock(job.log_mutex);
            job.log_fn(job.log_opaque, level, line);
        };
    }
    if (job.progress_fn != nullptr) {
        context.progress.set_callback(
            [&job](int64_t done, int64_t total) { job.progress_fn(job.progress_opaque, done, total); });
    }
    {
        const std::lock_guard<std::mutex> lock(job.cancel_mutex);
        job.run = &context;
        if (job.cancel_pending) context.cancel();
    }
    struct run_end {
        demosaic_job& job;
        ~run_end() {
            const std::lock_guard<std::mutex> lock(job.cancel_mutex);
            job.run = nullptr;
            job.cancel_pending = false;
        }
    } end{job};
    int code;
    try {
        code = pq_mosaic_interface_input(context, job.input.c_str(), job.key.c_str(), job.options);
    } catch (...) {
        // An unexpected failure inside the pipeline: 11 when memory ran out, else 12, unless the
        // run had failed already.
        context.fail_with(std::current_exception());
        code = context.get_result_code();
        context.output_path.clear();
    }
    context.get_result_status(&job.message);
    job.output = context.output_path;
    job.has_output = code == RESULT_OK && !job.output.empty();
    job.description = std::move(context.description);
    return code;
}

}  // namespace

extern "C" {

const char* demosaic_version(void) { return DEMOSAIC_VERSION; }

demosaic_job* demosaic_job_new(const char* input, const char* key) {
    if (input == nullptr || key == nullptr) return nullptr;
    try {
        demosaic_job* job = new demosaic_job;
        job->input = input;
        job->key = key;
        return job;
    } catch (...) {
        return nullptr;
    }
}

int demosaic_job_set(demosaic_job* job, const char* option, const char* value) {
    if (job == nullptr || option == nullptr) return DEMOSAIC_UNKNOWN_OPTION;
    // The options a job takes are the command line's, by name without the dashes, with its values.
    try {
        if (!restore_options::known(option)) return DEMOSAIC_UNKNOWN_OPTION;
        if (value == nullptr) return DEMOSAIC_BAD_VALUE;
        if (job->running) return DEMOSAIC_JOB_RUNNING;
        std::string why;  // (the run's ERR line says it again should the options not go together)
        return job->options.set(option, value, &why) ? 0 : DEMOSAIC_BAD_VALUE;
    } catch (...) {
        return DEMOSAIC_BAD_VALUE;
    }
}

void demosaic_job_on_progress(demosaic_job* job, demosaic_progress_fn fn, void* opaque) {
    if (job == nullptr || job->running) return;
    job->progress_fn = fn;
    job->progress_opaque = opaque;
}

void demosaic_job_on_log(demosaic_job* job, demosaic_log_fn fn, void* opaque) {
    if (job == nullptr || job->running) return;
    job->log_fn = fn;
    job->log_opaque = opaque;
}

int demosaic_job_run(demosaic_job* job) {
    if (job == nullptr || job->running.exchange(true)) return RESULT_PARAM_ERROR;
    int code;
    try {
        code = run_once(*job);
    } catch (...) {
        // Only the strings of the outcome can fail here: memory ran out.
        job->message.clear();
        job->has_output = false;
        job->description.clear();
        code = RESULT_OUT_OF_MEMORY;
    }
    job->running = false;
    return code;
}

void demosaic_job_cancel(demosaic_job* job) {
    if (job == nullptr) return;
    const std::lock_guard<std::mutex> lock(job->cancel_mutex);
    job->cancel_pending = true;
    if (job->run != nullptr) job->run->cancel();
}

const char* demosaic_job_message(const demosaic_job* job) { return job != nullptr ? job->message.c_str() : nullptr; }

const char* demosaic_job_description(const demosaic_job* job) {
    return job != nullptr && !job->description.empty() ? job->description.c_str() : nullptr;
}

const char* demosaic_job_output(const demosaic_job* job) {
    return job != nullptr && job->has_output ? job->output.c_str() : nullptr;
}

void demosaic_job_free(demosaic_job* job) { delete job; }

}  // extern "C"
