#!/bin/sh
# Builds the project and runs the tests:
#  - optimised build: clang-tidy over its sources, then every test (unit, integration, end-to-end, the
#    one-minute soak);
#  - ASan+UBSan build: the unit tests and the shutdown-under-load test;
#  - ThreadSanitizer build: the shutdown-under-load test and the encoder channel tests;
#  - clang build of the fuzzers (deserializers, SOME/IP receive path): a short bounded run of each.
set -eu
cd "$(dirname "$0")/.."

JOBS=$(nproc)

# Every source formatted; the layers' rule (platform/ and modules/ never use tools/) is checked by CMake at
# configure time.
./scripts/check-format.sh
RELEASE_DIR=${RELEASE_DIR:-build/release}
ASAN_DIR=${ASAN_DIR:-build/asan}

cmake -S . -B "$RELEASE_DIR" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCAMERA_STRICT=ON
cmake --build "$RELEASE_DIR" -j "$JOBS"
# clang-tidy over every source the build compiles (.clang-tidy says which checks and why).
BUILD_DIR="$RELEASE_DIR" ./scripts/lint.sh
ctest --test-dir "$RELEASE_DIR" --output-on-failure -j "$JOBS"

cmake -S . -B "$ASAN_DIR" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCAMERA_STRICT=ON -DCAMERA_SANITIZE=ON
cmake --build "$ASAN_DIR" -j "$JOBS"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir "$ASAN_DIR" --output-on-failure -j "$JOBS" -L "unit|shutdown"

TSAN_DIR=${TSAN_DIR:-build/tsan}
cmake -S . -B "$TSAN_DIR" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCAMERA_STRICT=ON -DCAMERA_TSAN=ON
cmake --build "$TSAN_DIR" -j "$JOBS" --target camera_driving application_e2e_test media_test
TSAN_OPTIONS="halt_on_error=1 suppressions=$PWD/scripts/tsan.supp" \
  ctest --test-dir "$TSAN_DIR" --output-on-failure -L shutdown
# The encoder and picture channels' threads and their callers, who may do the work themselves.
TSAN_OPTIONS="halt_on_error=1 suppressions=$PWD/scripts/tsan.supp" \
  ctest --test-dir "$TSAN_DIR" --output-on-failure \
  -R '^EncoderChannelTest\.|/EncoderChannelCodecTest\.|^PictureTasksTest\.|^PictureChannelSlotsTest\.'

# ---- Fuzzers: a clang build of the deserializers' and the SOME/IP receive path's libFuzzer targets and a
# short, bounded run of each ----
# A fault they find leaves its input as crash-* in the run directory: add it to
# <fuzzer dir>/regressions/<target>/ so the unit tests replay it from then on.
FUZZ_DIR=${FUZZ_DIR:-build/fuzz}
FUZZ_SECONDS=${FUZZ_SECONDS:-20}
CC=clang CXX=clang++ cmake -S . -B "$FUZZ_DIR" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=OFF \
  -DCAMERA_STRICT=ON -DVRT_BUILD_FUZZERS=ON
cmake --build "$FUZZ_DIR" -j "$JOBS" --target vrt_fuzz_shm_deserializer vrt_fuzz_someip_deserializer \
  vrt_fuzz_someip_receive
# <source dir>:<target>, the binary being $FUZZ_DIR/<source dir>/vrt_fuzz_<target>
for fuzzer in platform/vrt:shm_deserializer platform/vrt:someip_deserializer platform/com:someip_receive; do
  dir=${fuzzer%%:*}
  name=${fuzzer#*:}
  work="$FUZZ_DIR/run/$name"
  rm -rf "$work" && mkdir -p "$work/corpus"
  cp "$dir"/fuzz/corpus/"$name"/* "$work/corpus/"
  "$FUZZ_DIR/$dir/vrt_fuzz_$name" -max_total_time="$FUZZ_SECONDS" -max_len=2048 \
    -artifact_prefix="$work/" "$work/corpus" 2>"$work/log" || { tail -40 "$work/log"; exit 1; }
  echo "fuzz: $name $(grep -o 'Done [0-9]* runs' "$work/log")"
done
