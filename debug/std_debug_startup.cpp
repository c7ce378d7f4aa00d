// Publishes the debug record before main() runs. Kept in its own file so that only the
// programs that want the log (demosaic and the tests) link it in; they link the whole core
// library, while the mosaic tool links only what it uses and stays quiet.
#include "debug/std_debug.h"

namespace {
struct std_debug_initialiser {
    std_debug_initialiser() { std_debug::startup(); }
} g_std_debug_initialiser;
}  // namespace
