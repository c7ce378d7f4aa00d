// The one entry point that runs a whole restoration job for one input file.
#pragma once

#include <memory>

// Runs one job and returns its result code (0 to 9). When message is not null it receives
// the result message as a zero-terminated string; it must hold at least 256 bytes.
int pq_mosaic_interface_input(const char* input_path, const char* privacy_key, char* message);

// Paths are already UTF-8 on this platform: returns a copy of text (null for null).
std::shared_ptr<char> convert_to_utf8(const char* text);
