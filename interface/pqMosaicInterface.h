// The one entry point that runs a whole restoration job for one input file.
#pragma once

#include <memory>
#include <string>

// How a job restores, beyond its input and key (the command line's options).
struct restore_options {
    // Lossless restore: the decrypted pictures are copied into the output as recorded,
    // beside the input's key pictures; nothing is decoded or encoded.
    bool copy = false;
    // Where the output goes: empty for the usual name beside the input; a directory for the
    // usual name in it; any other path is the output file itself.
    std::string output;
};

// Runs one job and returns its result code (0 to 9). When message is not null it receives
// the result message as a zero-terminated string; it must hold at least 256 bytes.
int pq_mosaic_interface_input(const char* input_path, const char* privacy_key, char* message);
int pq_mosaic_interface_input(const char* input_path, const char* privacy_key, char* message,
                              const restore_options& options);

// Paths are already UTF-8 on this platform: returns a copy of text (null for null).
std::shared_ptr<char> convert_to_utf8(const char* text);
