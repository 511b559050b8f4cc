#!/bin/sh
# Builds the project twice (optimised, and with ASan+UBSan) and runs the tests:
# every test in the optimised build, the unit tests in the sanitizer build.
set -eu
cd "$(dirname "$0")/.."

JOBS=$(nproc)
RELEASE_DIR=${RELEASE_DIR:-build/release}
ASAN_DIR=${ASAN_DIR:-build/asan}

cmake -S . -B "$RELEASE_DIR" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCAMERA_STRICT=ON
cmake --build "$RELEASE_DIR" -j "$JOBS"
ctest --test-dir "$RELEASE_DIR" --output-on-failure -j "$JOBS"

cmake -S . -B "$ASAN_DIR" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCAMERA_STRICT=ON -DCAMERA_SANITIZE=ON
cmake --build "$ASAN_DIR" -j "$JOBS"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir "$ASAN_DIR" --output-on-failure -j "$JOBS" -L unit
