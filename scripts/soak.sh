#!/bin/sh
# Soak: the timing figures that only a quiet machine meets, kept out of the test gate.
# Runs the virtual-LAN tests labelled timing or soak, then the gate's audio LAN tests
# for longer, beside a busy loop at normal priority on every core (the load a busy
# desktop puts beside the card), and prints every figure the tests report ("figure:"
# lines and the stall sweeps' tables: sound lost, stalls the witness saw, delays, gaps)
# with each test's verdict.
# It is not part of scripts/test.sh: a figure missed here is a finding, not a red gate.
#
#   scripts/soak.sh [--rounds N] [--seconds S] [--no-load] [--flavour release|asan]
set -u
ROOT=$(cd "$(dirname "$0")/.." && pwd)
ROUNDS=1 SECS=30 LOAD=1 FLAVOUR=release
while [ $# -gt 0 ]; do
  case "$1" in
    --rounds) ROUNDS=$2; shift 2 ;;
    --seconds) SECS=$2; shift 2 ;;
    --no-load) LOAD=0; shift ;;
    --flavour) FLAVOUR=$2; shift 2 ;;
    -h|--help) sed -n '2,9p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "soak: unknown argument $1 (see --help)" >&2; exit 2 ;;
  esac
done
case "$ROUNDS$SECS" in *[!0-9]*|'') echo "soak: --rounds and --seconds take whole numbers" >&2; exit 2 ;; esac
[ "$(id -u)" = 0 ] || { echo "soak: needs root (network namespaces)" >&2; exit 2; }

"$ROOT/scripts/setup.sh" >/dev/null || exit 1
BUILD=$("$ROOT/scripts/build.sh" "$FLAVOUR" | tail -n 1) || exit 1

LOADERS=""
stop_load() {
  for p in $LOADERS; do kill "$p" 2>/dev/null; done
  LOADERS=""
}
trap stop_load EXIT INT TERM
if [ "$LOAD" = 1 ]; then
  i=0
  while [ "$i" -lt "$(nproc)" ]; do
    sh -c 'while :; do :; done' &
    LOADERS="$LOADERS $!"
    i=$((i + 1))
  done
  echo "soak: $(nproc) busy loop(s) at normal priority beside the tests"
fi

# Longer runs of the audio tests than the gate gives them.
export VELUNOR_SOAK=1 VELUNOR_ASIO_E2E_SECONDS=$SECS VELUNOR_ENGINE_E2E_SECONDS=$SECS VELUNOR_SOAK_SECONDS=$SECS
export ASAN_OPTIONS=detect_leaks=0:abort_on_error=1

RESULTS=$(mktemp)
round=1
while [ "$round" -le "$ROUNDS" ]; do
  for sel in "-L timing" "-L soak" "-R ^lan_test_(asio|engine|alsa|driver)_e2e$|^lan_test_alsa_bad_input$"; do
    names=$(cd "$BUILD" && ctest -N $sel | sed -n 's/^ *Test *#[0-9]*: //p')
    for t in $names; do
      log=$(mktemp)
      t0=$(date +%s)
      # -V: a passing test's figures are in its output too, not only a failing one's.
      (cd "$BUILD" && ctest -V --output-on-failure -R "^$t\$") >"$log" 2>&1
      if grep -q '^100% tests passed' "$log"; then v=passed
      elif grep -q 'Not Run\|Skipped\|SKIP' "$log"; then v=skipped
      else v=MISSED; fi
      echo "round $round  $t  $v  ($(($(date +%s) - t0))s)" | tee -a "$RESULTS"
      # The figures, and the stall sweeps' tables (from their header to the next ok line).
      # (ctest -V puts "N: " before each line of the test's own output.)
      sed 's/^[0-9][0-9]*: //' "$log" | awk '/^side +S ms +slack/ { t = 1 } /^(ok:|FAIL)/ || /^$/ { t = 0 }
           t || /figure:|^FIGURES|^FAIL/' | sed 's/^/    /' | tee -a "$RESULTS"
      rm -f "$log"
    done
  done
  round=$((round + 1))
done
stop_load

echo
echo "== Soak summary ($ROUNDS round(s), ${SECS}s of audio a test, load $LOAD)"
grep -E '^round' "$RESULTS"
missed=$(grep -c ' MISSED ' "$RESULTS")
rm -f "$RESULTS"
echo "$missed figure(s) missed"
[ "$missed" = 0 ]
