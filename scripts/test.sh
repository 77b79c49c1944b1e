#!/usr/bin/env bash
# Installs what is missing, builds the tests with AddressSanitizer and
# UndefinedBehaviorSanitizer and runs them all with CTest. Tests that need an
# X display get the build tree's own Xvfb, which CTest starts and stops
# through scripts/xvfb.sh (the xserver fixture in tests/CMakeLists.txt).
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
