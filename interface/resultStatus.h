// The process-wide result status: one code and its fixed message, kept together under
// status_mutex in the debug record. Each job has a status of its own (common/jobContext.h);
// this one serves the process-wide interface function, which starts each job from it and
// copies the job's outcome back, so that it is never reset between jobs.
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
