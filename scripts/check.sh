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

# The pipeline runs four threads; the whole suite again with ThreadSanitizer (the programs
# the end-to-end tests run are sanitised too, and a report makes them exit non-zero).
echo "== ThreadSanitizer build and suite"
cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DDEMOSAIC_SANITIZE=thread >/dev/null
cmake --build build-tsan -j"$jobs"
(cd build-tsan && TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" ctest --output-on-failure -j"$jobs")

# libFuzzer smoke runs under AddressSanitizer and UndefinedBehaviorSanitizer (a minute per
# target, from seeds the targets write themselves).
echo "== libFuzzer smoke runs"
CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DDEMOSAIC_FUZZ=ON \
  -DDEMOSAIC_TESTS=OFF -DDEMOSAIC_SANITIZE=address,undefined >/dev/null
cmake --build build-fuzz -j"$jobs"
ctest --test-dir build-fuzz/fuzz --output-on-failure
