// The process-wide result status: one code and its fixed message, kept together under
// status_mutex in the debug record. It is both the outcome of a job and the stop signal
// of the pipeline: every stage stops at its next check once the code is not 0. The codes
// and their messages are in common/resultCode.h.
#pragma once

#include <string>

#include "common/resultCode.h"

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
