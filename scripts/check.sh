#!/usr/bin/env bash
# Second command of the README: installs what is missing, builds, and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
jobs=$(nproc 2>/dev/null || echo 2)

echo "== Release build and full test suite"
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j"$jobs"
(cd build && ctest --output-on-failure -j"$jobs")

echo "== AddressSanitizer + UndefinedBehaviorSanitizer build: hostile inputs and the pipeline"
# Any finding stops the program that made it (so the test that ran it fails); leaks are
# reported when each program ends.
asan_start=$(date +%s)
cmake -S . -B build-asan -DDEMOSAIC_SANITIZE=address,undefined -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build-asan -j"$jobs"
(
    cd build-asan
    export ASAN_OPTIONS=halt_on_error=1:detect_leaks=1:abort_on_error=0
    export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
    export LSAN_OPTIONS=suppressions=$PWD/../tests/support/lsan.supp:print_suppressions=0
    ctest --output-on-failure -j"$jobs"
)
echo "== sanitizer section took $(( $(date +%s) - asan_start )) s"

# The pipeline runs four threads; the suite again with ThreadSanitizer (the programs the
# end-to-end tests run are sanitised too, and a report makes them exit non-zero). The
# malformed-input campaign stays with the AddressSanitizer run: it adds inputs, not threads.
echo "== ThreadSanitizer build and suite"
cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DDEMOSAIC_SANITIZE=thread >/dev/null
cmake --build build-tsan -j"$jobs"
cat tests/support/tsan.supp > build-tsan/tsan.supp
(cd build-tsan && TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$PWD/tsan.supp" ctest --output-on-failure -j"$jobs" -E HostileCampaign)

# libFuzzer smoke runs under AddressSanitizer and UndefinedBehaviorSanitizer (a minute per
# target, from seeds generated at build time). The clang whose runtimes deps.sh installed.
echo "== libFuzzer smoke runs"
clang_major=$(bash scripts/deps.sh --clang-major)
CC=clang-$clang_major CXX=clang++-$clang_major cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DDEMOSAIC_FUZZ=ON \
  -DDEMOSAIC_TESTS=OFF -DDEMOSAIC_SANITIZE=address,undefined >/dev/null
cmake --build build-fuzz -j"$jobs"
ctest --test-dir build-fuzz/fuzz --output-on-failure
