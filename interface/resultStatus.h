// The process-wide result status: one code and its fixed message, kept together under
// status_mutex in the debug record. It is both the outcome of a job and the stop signal
// of the pipeline: every stage stops at its next check once the code is not 0.
#pragma once

#include <string>

enum result_code_t {
    RESULT_OK = 0,
    RESULT_INIT_DECRYPT_ERROR = 1,
    RESULT_KEY_INCORRECT = 2,
    RESULT_OPEN_INPUT_ERROR = 3,
    RESULT_OPEN_OUTPUT_ERROR = 4,
    RESULT_STREAM_FORMAT_ERROR = 5,
    RESULT_MUXER_ERROR = 6,
    RESULT_PARAM_ERROR = 7,
    RESULT_DECODER_ERROR = 8,
    RESULT_ENCODER_ERROR = 9,
    // Not a failure of the job itself: SIGINT, SIGTERM or SIGHUP stopped it.
    RESULT_INTERRUPTED = 10,
};

// The fixed message of a code (callers parse these texts; they are kept exactly as they are).
const char* result_message(int code);

// Stores code and message in one locked section; the last setter wins.
void set_result_status(int code, const char* message);

// Stores a code with its own fixed message.
void set_result_status(int code);

int get_result_code();

// Reads message and code in the same locked section.
int get_result_status(std::string* message);

// For test harnesses and fuzz targets that run several jobs in one process: puts the
// status back to success. The program itself never resets it.
void reset_result_status_for_testing();
