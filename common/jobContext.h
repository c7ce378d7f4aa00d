// The context of one restore job: what a run owns and its stages share. Every stage is built
// with the job it works for and reports to it: the result status (the job's outcome and the
// pipeline's stop signal), the log sink, progress and cancel, the counts of hidden pictures, the input's stream parameters
// the demuxer publishes for encoder and muxer, and the run's part in FFmpeg's logging. Jobs
// share nothing, so several can run at once in one process.
#pragma once

#include <atomic>
#include <cstdint>
#include <exception>
#include <functional>
#include <mutex>
#include <string>

#include "common/pictureCounts.h"
#include "common/resultCode.h"
#include "common/streamInfo.h"
#include "debug/std_debug.h"

// The pictures of one run, for a progress line or a caller's callback.
class job_progress {
public:
    // Pictures written so far, and the input's picture count (-1 when it is not known).
    using callback = std::function<void(int64_t done, int64_t total)>;

    // Set before the run. Called for each picture restored, one call at a time: on the
    // muxer's worker thread as it writes it, or, where chunks of pictures are encoded side by
    // side, on the encoder's worker that restored it.
    void set_callback(callback on_progress) { callback_ = std::move(on_progress); }

    // The input's picture count, or an estimate from its length; 0 or less: not known.
    void set_expected_pictures(int64_t count) { expected_ = count; }
    void note_picture_written();
    int64_t expected_pictures() const { return expected_.load(); }
    int64_t pictures_written() const { return written_.load(std::memory_order_relaxed); }
    // Restored pictures that came out damaged (set at the end of the run).
    void set_damaged_pictures(int64_t count) { damaged_ = count; }
    int64_t damaged_pictures() const { return damaged_.load(); }

private:
    std::atomic<int64_t> expected_{0};
    std::atomic<int64_t> written_{0};
    std::atomic<int64_t> damaged_{0};
    callback callback_;
};

class job_context {
public:
    // A job that prints nothing: no log sink, FFmpeg's messages kept to the job (see console()).
    job_context() = default;
    ~job_context();
    job_context(const job_context&) = delete;
    job_context& operator=(const job_context&) = delete;

    // The command line's job: log lines and plain lines go to standard output at the level of
    // the process-wide debug record, exactly as the program prints them, and FFmpeg's and the
    // codec libraries' own messages are left to the process (the program filters them onto
    // standard error).
    void use_console();
    bool console() const { return console_; }

    // Result status: one code of common/resultCode.h with its message, set in one locked
    // section; the last setter wins. Once the code is not 0, every stage stops at its next
    // check and the unfinished output is removed.
    void set_result_status(int code, const char* message);
    void set_result_status(int code);  // with its fixed message
    int get_result_code() const;
    // Reads message and code in the same locked section.
    int get_result_status(std::string* message) const;

    // Records an exception that ended the run or one of its workers, with an ERR line naming
    // it, unless the job has already failed (the first cause stays the result):
    // RESULT_OUT_OF_MEMORY when memory or another system resource ran out (std::bad_alloc,
    // std::length_error, a thread that could not start), RESULT_INTERNAL_ERROR for anything
    // else. Allocates nothing, so that it works when memory has run out.
    void fail_with(const std::exception_ptr& error);

    // Ends the run with RESULT_INTERRUPTED: safe from any thread, before or during the run.
    // Once the muxer has kept the finished output it comes too late and changes nothing.
    void cancel();
    bool cancelled() const;
    // The muxer's last word on its file: true (keep it) when the run has succeeded; from then
    // on a cancel no longer changes the outcome.
    bool keep_output();

    // Where the job's log lines go (nowhere until set up).
    std_debug::log_sink log;
    std_debug::log_sink* log_target() { return &log; }
    // The payload version line has been written (once per job).
    bool version_printed = false;
    // The input's stream parameters, written by the demuxer's constructor before any worker
    // starts, then only read.
    input_stream_info_t input_stream_info;
    job_progress progress;
    // What became of the hidden pictures, counted by the stages that handle them.
    picture_counts pictures;
    // The output file of a successful run (empty otherwise).
    std::string output_path;
    // A description run's (--info's) JSON object, whatever its outcome; empty for other runs.
    std::string description;

    // Brackets the encoder's probing of hardware encoders, whose failures are expected and
    // kept out of the log. any_probing: some job of the process is probing (for FFmpeg's
    // messages from threads of no job).
    void set_probing(bool probing);
    bool probing() const { return probing_; }
    static bool any_probing();

    // Binds a job to the calling thread while it lives, so that code of no stage (free
    // functions, FFmpeg's log callback) reports to it; the previous binding comes back after.
    class thread_binding {
    public:
        explicit thread_binding(job_context& job);
        ~thread_binding();
        thread_binding(const thread_binding&) = delete;
        thread_binding& operator=(const thread_binding&) = delete;

    private:
        job_context* previous_job_;
        std_debug::log_sink* previous_sink_;
    };
    // The job bound to the calling thread, or null.
    static job_context* bound();

private:
    mutable std::mutex status_mutex_;
    int result_code_ = RESULT_OK;
    std::string result_msg_ = result_message(RESULT_OK);
    bool cancelled_ = false;
    bool output_kept_ = false;
    bool console_ = false;
    std::atomic<bool> probing_{false};
};
