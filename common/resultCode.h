// The result codes of a job and their fixed messages. A job's outcome and the pipeline's stop
// signal are one code with its message (common/jobContext.h); callers of the program parse
// these texts, so they are kept exactly as they are.
#pragma once

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
    // Not a failure of the job itself: it was cancelled (on the command line by SIGINT,
    // SIGTERM or SIGHUP).
    RESULT_INTERRUPTED = 10,
};

// The fixed message of a code ("" for a code outside the table).
const char* result_message(int code);
