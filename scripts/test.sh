#!/usr/bin/env bash
# Installs what is missing, builds the tests with AddressSanitizer and
# UndefinedBehaviorSanitizer and runs them all with CTest. Tests that need an
# X display get the build tree's own Xvfb, which CTest starts and stops
# through scripts/xvfb.sh (the xserver fixture in tests/CMakeLists.txt).
# Then the programs are built once more optimised (RelWithDebInfo, same
# sanitizers and warnings), the tests that drive every thread of the client
# and the service run under ThreadSanitizer, and every fuzz target is built
# with clang and run for ZAN_FUZZ_SECONDS (20 by default) from its seeds.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
# Each stage says when it starts, in seconds since this script started.
stage() { echo "== $1 at ${SECONDS}s"; }
stage "installing what is missing"
bash "$top/scripts/deps.sh"
build=${ZAN_BUILD_DIR:-$top/build/test}
stage "the sanitizer build"
cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=Debug -DZAN_SANITIZE=ON
cmake --build "$build" --parallel "$(nproc)"
bash "$top/scripts/check-includes.sh"
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
cd "$build"
stage "the tests"
ctest --output-on-failure --parallel "$(nproc)" --timeout 300 "$@"

stage "the optimised build"

cmake -S "$top" -B "$build-rel" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZAN_SANITIZE=ON -DZAN_TESTS=OFF -DZAN_BENCH=OFF
cmake --build "$build-rel" --parallel "$(nproc)"

# ThreadSanitizer: one test or more for every thread of the client and the
# service (docs/ARCHITECTURE.md, "Threads"), chosen so that no long test runs
# twice. Child programs (peers, the service) are built with it too; their
# reports land in tsan-reports/ beside the tests' own and fail the stage.
stage "the ThreadSanitizer build"
cmake -S "$top" -B "$build-tsan" -DCMAKE_BUILD_TYPE=Debug -DZAN_TSAN=ON -DZAN_BENCH=OFF
cmake --build "$build-tsan" --parallel "$(nproc)" --target zandrel zandrel-server test_client test_dispatch \
  test_sessions test_screen test_files test_media test_server test_template test_nodewindow test_platform
tsanTests='^(ClientProcess|ClientSignIn|ServiceHosts|ZSIPService|ScreenPeers|CaptureEndToEnd|PlaybackTest|ZSoundBuffer'
tsanTests+='|AuthServer|SignalServer|Relay|TemplateRootTest|WindowNodeTest)\.'
tsanTests+='|^Loopback\.(SignsOffAndComesBackOnline|GoesOnlineThroughTheRelayWhenUDPIsBlocked)$'
tsanTests+='|^ZDispatchServiceLoop\.MapsThePortOnTheRouter|^PeerLoopback\.BuddiesConnectChatOnce'
tsanTests+='|^FilePeers\.ADeclinedOffer|^ZFileService\.ADoneLostOnTheWay|^PeerMedia\.ATalkSends'
tsanTests+='|^ServerProgram\.StopsCleanly'
stage "the tests under ThreadSanitizer"
rm -rf "$build-tsan/tsan-reports"
mkdir -p "$build-tsan/tsan-reports"
tsanStatus=0
(cd "$build-tsan" && TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 log_path='$build-tsan/tsan-reports/report'" \
  ctest --output-on-failure --parallel "$(nproc)" --timeout 600 -R "$tsanTests" -E '\.desktop$') || tsanStatus=$?
if compgen -G "$build-tsan/tsan-reports/report*" > /dev/null; then
  cat "$build-tsan"/tsan-reports/report*
  echo "ThreadSanitizer reported the above" >&2
  exit 1
fi
[ "$tsanStatus" = 0 ] || exit "$tsanStatus"

stage "the fuzz build"
CC=clang CXX=clang++ cmake -S "$top" -B "$build-fuzz" -DCMAKE_BUILD_TYPE=Debug -DZAN_SANITIZE=ON -DZAN_FUZZ=ON \
  -DZAN_TESTS=OFF -DZAN_BENCH=OFF -DZAN_FUZZ_SECONDS="${ZAN_FUZZ_SECONDS:-20}"
cmake --build "$build-fuzz" --target fuzz_all --parallel "$(nproc)"
cd "$build-fuzz"
stage "the fuzz targets"
ctest --output-on-failure --parallel "$(nproc)" -L fuzz
stage "done"
