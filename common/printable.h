// Text that comes from an input file (a version text, a file name, a tag) on its way to
// standard output or a log: printable characters pass unchanged, everything that could move
// the cursor, colour the terminal or begin a new line is shown escaped, so that nothing from
// a file can start a line of its own or pose as the result line.
#pragma once

#include <cstddef>
#include <string>

// size bytes of text with every control character (below 0x20, 0x7f, and the C1 controls
// U+0080 to U+009F) and every byte that is not part of valid UTF-8 written as an escape:
// \n, \r and \t by name, any other as \xNN (two lower-case hex digits, one per byte).
// Printable ASCII and valid UTF-8 of printable characters come back unchanged.
std::string printable(const char* text, size_t size);
std::string printable(const std::string& text);
