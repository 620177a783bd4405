#!/bin/sh
# Sets up this machine and runs every test: unit and virtual-LAN tests under
# ASan+UBSan, the threaded engine tests under ThreadSanitizer, then each libFuzzer
# target for a bounded time. Every stage runs even when an earlier one failed (a
# stage whose build failed is reported as not run); a summary of all stages, with
# each failing test named, ends the run, and the exit status is 1 if any failed.
# Timing figures that only a quiet machine meets are not here: scripts/soak.sh.
set -u
ROOT=$(cd "$(dirname "$0")/.." && pwd)
SUMMARY=$(mktemp)
trap 'rm -f "$SUMMARY"' EXIT
failed=0
started=$(date +%s)

# note STAGE RESULT [DETAIL]: one line of the summary.
note() {
  printf '%-10s %-7s %s\n' "$1" "$2" "${3:-}" >>"$SUMMARY"
  [ "$2" = passed ] || failed=1
}

# ctest_stage STAGE BUILD ARGS...: runs ctest, notes the counts and the failing tests.
ctest_stage() {
  stage=$1 build=$2
  shift 2
  t0=$(date +%s)
  rm -f "$build/Testing/Temporary/LastTestsFailed.log"
  out=$(mktemp)
  (cd "$build" && ctest --output-on-failure "$@") 2>&1 | tee "$out"
  counts=$(grep -E '^[0-9]+% tests passed' "$out" | tail -n 1)
  [ -n "$counts" ] || counts="ctest printed no result"
  secs=$(($(date +%s) - t0))
  if grep -qE '^100% tests passed' "$out"; then
    note "$stage" passed "$counts (${secs}s)"
  else
    names=$(sed -n 's/^[0-9]*://p' "$build/Testing/Temporary/LastTestsFailed.log" 2>/dev/null | tr '\n' ' ')
    note "$stage" FAILED "$counts (${secs}s): ${names:-see the log above}"
    # Each failure's own words, so that the summary alone says what broke.
    grep -E '^(FAIL: |\[  FAILED  \] [^ ]+\.)' "$out" | awk '!seen[$0]++' | cut -c1-400 | sed 's/^/           /' >>"$SUMMARY"
  fi
  rm -f "$out"
}

# build_stage FLAVOUR: builds one flavour; returns non-zero when it failed.
build_stage() {
  t0=$(date +%s)
  if "$ROOT/scripts/build.sh" "$1"; then
    note "build-$1" passed "($(($(date +%s) - t0))s)"
  else
    note "build-$1" FAILED "the build failed; its tests did not run"
    return 1
  fi
}

if ! "$ROOT/scripts/setup.sh"; then
  note setup FAILED "scripts/setup.sh failed"
fi

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
if build_stage asan; then
  ctest_stage asan-unit "$ROOT/build-asan" -j 2 -LE lan
  ctest_stage lan "$ROOT/build-asan" -L lan -LE "known-fault|timing|soak"
fi

export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1
if build_stage tsan; then
  ctest_stage tsan-unit "$ROOT/build-tsan" -j 2 -L unit \
    -R "^(${VELUNOR_TSAN_TESTS:-Msg_test|RtpAudio_test|TimerManager_c_test|kmodule_device_test|testKo_ko_test|testKo_route_test|driver_test|myPtp_test|asio_[a-z]*_test})[.]"
fi

if build_stage fuzz; then
  t0=$(date +%s)
  out=$(mktemp)
  "$ROOT/scripts/fuzz.sh" "${VELUNOR_FUZZ_SECONDS:-30}" 2>&1 | tee "$out"
  bad=$(sed -n 's/^fuzz: \([^ ]*\) FAILED.*/\1/p' "$out" | tr '\n' ' ')
  ran=$(grep -c 'no crash$' "$out")
  if [ -z "$bad" ] && [ "$ran" -gt 0 ]; then
    note fuzz passed "$ran targets without a crash ($(($(date +%s) - t0))s)"
  else
    note fuzz FAILED "$ran targets without a crash; failed: ${bad:-no target ran}"
  fi
  rm -f "$out"
fi

echo
echo "== Summary ($(($(date +%s) - started))s)"
cat "$SUMMARY"
if [ "$failed" = 0 ]; then
  echo "all tests passed"
else
  echo "some tests FAILED"
  exit 1
fi
