#!/bin/sh
# Sets up this machine and runs every test: unit and virtual-LAN tests under
# ASan+UBSan, the threaded engine tests under ThreadSanitizer, then each libFuzzer
# target for a bounded time.
set -eu
ROOT=$(cd "$(dirname "$0")/.." && pwd)
"$ROOT/scripts/setup.sh"
"$ROOT/scripts/build.sh" asan
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
(cd "$ROOT/build-asan" && ctest --output-on-failure -j 2 -LE lan && ctest --output-on-failure -L lan -LE "known-fault|timing")
"$ROOT/scripts/build.sh" tsan
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1
(cd "$ROOT/build-tsan" && ctest --output-on-failure -j 2 -L unit -R "^(${VELUNOR_TSAN_TESTS:-Msg_test|RtpAudio_test|TimerManager_c_test|kmodule_device_test|testKo_ko_test|testKo_route_test|driver_test|myPtp_test|asio_[a-z]*_test})[.]")
"$ROOT/scripts/build.sh" fuzz
"$ROOT/scripts/fuzz.sh" "${VELUNOR_FUZZ_SECONDS:-30}"
echo "all tests passed"
