// Reading the privacy key from a descriptor (standard input, a key file) without leaving it
// anywhere: the first line only, into storage that never moves (so no copy stays behind in
// memory given back), without echo at a terminal, and never stuck once the job stops.
#pragma once

#include <functional>
#include <string>

enum class key_read_status {
    ok,
    nothing,   // the end came before any byte
    too_long,  // no line end within k_max_key_bytes
    stopped,   // stop() turned true while waiting
    failed,    // the descriptor could not be read; errno tells why
};

// The longest key read this way.
constexpr size_t k_max_key_bytes = 65536;

// Reads the first line of fd into *key (which is wiped first), without its line end ("\n",
// and any "\r" before it). An empty line is a key too (ok); the end of the input before any
// byte is nothing. At a terminal, prompt is written to standard error first and the line is
// read without echo; the terminal's settings come back on every way out. stop is asked at
// least every k_stop_check_ms while waiting for input. The bytes read are wiped from every
// buffer but *key.
key_read_status read_key_line(int fd, std::string* key, const std::function<bool()>& stop, const char* prompt);
constexpr int k_stop_check_ms = 100;
