#!/usr/bin/env bash
# Installs what is missing, builds the tests with AddressSanitizer and
# UndefinedBehaviorSanitizer and runs them all with CTest. Tests that need an
# X display get the build tree's own Xvfb, which CTest starts and stops
# through scripts/xvfb.sh (the xserver fixture in tests/CMakeLists.txt).
# Then the programs are built once more optimised (RelWithDebInfo, same
# sanitizers and warnings), the playback renderer's feeders and the sound
# buffer's pump run under ThreadSanitizer, and every fuzz target is built
# with clang and run for ZAN_FUZZ_SECONDS (20 by default) from its seeds.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
bash "$top/scripts/deps.sh"
build=${ZAN_BUILD_DIR:-$top/build/test}
cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=Debug -DZAN_SANITIZE=ON
cmake --build "$build" --parallel "$(nproc)"
bash "$top/scripts/check-includes.sh"
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
cd "$build"
ctest --output-on-failure --parallel "$(nproc)" --timeout 300 "$@"

cmake -S "$top" -B "$build-rel" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZAN_SANITIZE=ON -DZAN_TESTS=OFF -DZAN_BENCH=OFF
cmake --build "$build-rel" --parallel "$(nproc)"

cmake -S "$top" -B "$build-tsan" -DCMAKE_BUILD_TYPE=Debug -DZAN_TSAN=ON -DZAN_BENCH=OFF
cmake --build "$build-tsan" --target test_media test_platform --parallel "$(nproc)"
TSAN_OPTIONS=halt_on_error=1 "$build-tsan/tests/test_media" --gtest_filter='PlaybackTest.*'
TSAN_OPTIONS=halt_on_error=1 "$build-tsan/tests/test_platform" --gtest_filter='ZSoundBuffer.*'

CC=clang CXX=clang++ cmake -S "$top" -B "$build-fuzz" -DCMAKE_BUILD_TYPE=Debug -DZAN_SANITIZE=ON -DZAN_FUZZ=ON \
  -DZAN_TESTS=OFF -DZAN_BENCH=OFF -DZAN_FUZZ_SECONDS="${ZAN_FUZZ_SECONDS:-20}"
cmake --build "$build-fuzz" --target fuzz_all --parallel "$(nproc)"
cd "$build-fuzz"
ctest --output-on-failure --parallel "$(nproc)" -L fuzz
