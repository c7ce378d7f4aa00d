// The entry points that run a whole restoration job for one input file: on a job of the
// caller's (the command line and programs that run jobs of their own), or on the
// process-wide result status (the interface function of old).
#pragma once

#include <memory>
#include <string>

#include "common/jobContext.h"

// How a job restores, beyond its input and key (the command line's options).
struct restore_options {
    // Lossless restore: the decrypted pictures are copied into the output as recorded,
    // beside the input's key pictures; nothing is decoded or encoded.
    bool copy = false;
    // Where the output goes: empty for the usual name beside the input; a directory for the
    // usual name in it; any other path is the output file itself.
    std::string output;
};

// Runs one job on the caller's thread, with the job bound to it, and returns its result
// code (0 to 10); the message stays readable on the job (get_result_status), and so does
// the output file of a successful run (output_path). The run starts from the job's status as
// it stands: a fresh job runs from success; on a job that has already failed the pipeline
// stops before its first packet and the failure is reported again; a cancelled job builds
// nothing. A job that is not the console's keeps FFmpeg's messages to itself
// (ffmpeg_log::route_to_jobs).
int pq_mosaic_interface_input(job_context& job, const char* input_path, const char* privacy_key,
                              const restore_options& options);

// Runs one job on the process-wide result status and returns its result code (0 to 10), its
// log on standard output. The job starts from the process-wide status and leaves its outcome
// there, which is never reset: after a failure, a later job stops before its first packet and
// reports the old failure again. When message is not null it receives the result message as
// a zero-terminated string; it must hold at least 256 bytes.
int pq_mosaic_interface_input(const char* input_path, const char* privacy_key, char* message);
int pq_mosaic_interface_input(const char* input_path, const char* privacy_key, char* message,
                              const restore_options& options);

// Paths are already UTF-8 on this platform: returns a copy of text (null for null).
std::shared_ptr<char> convert_to_utf8(const char* text);
