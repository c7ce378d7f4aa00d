#include "interface/pqMosaicInterface.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "common/secret.h"
#include "common/sha256.h"
#include "debug/std_debug.h"
#include "demux/hashedInput.h"
#include "demux/mediaDemuxer.h"
#include "interface/evidence.h"
#include "interface/ffmpegLog.h"
#include "interface/resultStatus.h"

std::shared_ptr<char> convert_to_utf8(const char* text) {
    if (text == nullptr) return nullptr;
    const size_t length = std::strlen(text);
    std::shared_ptr<char> copy(new char[length + 1], std::default_delete<char[]>());
    std::memcpy(copy.get(), text, length + 1);
    return copy;
}

namespace {

// The path made absolute when it leads to something, else as given.
std::string absolute_path(const std::string& path) {
    char* real = realpath(path.c_str(), nullptr);
    if (real == nullptr) return path;
    std::string absolute(real);
    free(real);
    return absolute;
}

// What the input is, for the evidence record: the record is no more readable than the input,
// as the restored file (owner-only when the input cannot be looked at).
const struct stat* input_info(const char* input_path, struct stat* info) {
    return input_path != nullptr && stat(input_path, info) == 0 ? info : nullptr;
}

// Writes the evidence record of the job that has just ended. When it cannot be written, the
// job fails with code 4, and neither the record nor the restored file stays behind: a restore
// asked to be recorded is not left without its record.
void write_record(job_context& job, evidenceFile& record, const evidence_facts& started_facts, hashedInput* reader,
                  const mediaDemuxer* demuxer, const char* privacy_key) {
    evidence_facts facts = started_facts;
    if (demuxer != nullptr) facts.offset = demuxer->range_offset();
    if (reader != nullptr && !reader->finish(&facts.input.sha256, &facts.input.size)) facts.input.sha256.clear();
    struct stat output_info {};
    const bool output = !job.output_path.empty() && lstat(job.output_path.c_str(), &output_info) == 0;
    if (output) {
        facts.output.path = absolute_path(job.output_path);
        facts.output.sha256 = sha256_file(job.output_path, &facts.output.size);
    }
    const picture_counts& counts = job.pictures;
    facts.pictures = counts.pictures;
    facts.key_pictures = counts.key_pictures;
    facts.found = counts.found;
    facts.restored = counts.restored;
    facts.dropped = counts.dropped();
    facts.damaged = counts.damaged;
    if (privacy_key != nullptr && facts.mode != restore_options::job_mode::info) {
        facts.key_fingerprint = key_fingerprint(privacy_key);
    }
    facts.code = job.get_result_status(&facts.message);
    facts.finished = time(nullptr);
    std::string why;
    if (record.write(evidence_record(facts) + "\n", &why)) return;
    DEBUG_ERR("cannot write the report: %s", why.c_str());
    record.remove();
    struct stat now {};
    if (output && lstat(job.output_path.c_str(), &now) == 0 && now.st_dev == output_info.st_dev &&
        now.st_ino == output_info.st_ino) {
        unlink(job.output_path.c_str());
    }
    job.output_path.clear();
    job.set_result_status(RESULT_OPEN_OUTPUT_ERROR);
}

}  // namespace

int pq_mosaic_interface_input(job_context& job, const char* input_path, const char* privacy_key,
                              const restore_options& options) {
    // The code of no stage on this thread (FFmpeg's log callback included) reports to the job.
    const job_context::thread_binding bound(job);
    if (!job.console()) ffmpeg_log::route_to_jobs();
    const bool info = options.mode == restore_options::job_mode::info;
    evidence_facts facts;
    facts.started = time(nullptr);
    facts.command = options.command;
    facts.mode = options.mode;
    facts.copy = options.copy;
    facts.range = options.has_range();
    facts.from = std::max<int64_t>(options.from, 0);
    facts.to = options.to;
    if (input_path != nullptr) facts.input.path = absolute_path(input_path);

    // The record's file is claimed before anything runs: an existing file is never overwritten.
    evidenceFile record;
    std::string why;
    struct stat input_stat {};
    if (!options.report.empty() && !record.create(options.report, input_info(input_path, &input_stat), &why)) {
        DEBUG_ERR("cannot create the report %s: %s", options.report.c_str(), why.c_str());
        job.set_result_status(RESULT_OPEN_OUTPUT_ERROR);
        if (info) job.description = describe_input(input_path, nullptr, job.pictures, RESULT_OPEN_OUTPUT_ERROR,
                                                   result_message(RESULT_OPEN_OUTPUT_ERROR));
        return RESULT_OPEN_OUTPUT_ERROR;
    }

    // (The reader outlives the demuxer, which reads through it.)
    hashedInput reader;
    bool hashing = false;
    std::unique_ptr<mediaDemuxer> demuxer;
    if (input_path == nullptr || (privacy_key == nullptr && !info)) {
        DEBUG_ERR("mosaic interface input param is error");
        job.set_result_status(RESULT_PARAM_ERROR);
    } else if (!options.validate(&why)) {
        DEBUG_ERR("%s", why.c_str());
        job.set_result_status(RESULT_PARAM_ERROR);
    } else if (!job.cancelled()) {
        // Nothing thrown goes past the job: memory that runs out (in the demuxer's set-up, say)
        // becomes the job's result like any failure. The pipeline's own stages are stopped,
        // and the unfinished output removed, by the demux loop.
        std::string key;
        try {
            if (privacy_key != nullptr) key.assign(privacy_key, std::strlen(privacy_key));
            std::shared_ptr<char> utf8_path = convert_to_utf8(input_path);
            std::shared_ptr<char> utf8_output =
                convert_to_utf8(options.output.empty() ? nullptr : options.output.c_str());
            const int type = info ? mediaDemuxer::k_type_info
                             : options.mode == restore_options::job_mode::check
                                 ? mediaDemuxer::k_type_check
                                 : mediaDemuxer::k_type_privacy | (options.copy ? mediaDemuxer::k_type_copy : 0);
            // With a record, the input is hashed from the reads of the demuxer itself.
            hashing = record.is_open();
            // The demuxer keeps the only copy of the key (and wipes it).
            demuxer.reset(new mediaDemuxer(job, utf8_path.get(), type, std::move(key), utf8_output.get(),
                                           hashing ? &reader : nullptr));
            utf8_path.reset();
            demuxer->set_range(options.from, options.to);
            demuxer->demuxer_media_file_process();
            DEBUG_WRN("mosaic process end");
        } catch (...) {
            job.fail_with(std::current_exception());
        }
        wipe_string(key);  // (a short key is copied, not moved)
    }

    const bool restored = options.mode == restore_options::job_mode::restore && demuxer;
    job.output_path = restored && job.get_result_code() == RESULT_OK ? demuxer->output_path : std::string();
    if (record.is_open()) write_record(job, record, facts, hashing ? &reader : nullptr, demuxer.get(), privacy_key);
    std::string message;
    const int code = job.get_result_status(&message);
    if (info) job.description = describe_input(input_path, demuxer.get(), job.pictures, code, message);
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
