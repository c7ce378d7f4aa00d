// Publishes the debug record before main() runs. Kept in its own file so that only the
// programs that want the log before main (the tests, fuzz targets and benchmarks) link it in:
// they link the whole core library. demosaic links only what it uses and runs the start-up
// routine itself, once it knows whether to print the start-up line; the mosaic tool stays quiet.
#include "debug/std_debug.h"

namespace {
struct std_debug_initialiser {
    std_debug_initialiser() { std_debug::startup(); }
} g_std_debug_initialiser;
}  // namespace
