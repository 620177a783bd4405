#!/bin/sh
# Runs every libFuzzer target for the given number of seconds (default 30), starting
# from its seed corpus in tests/fuzz/seeds/<target>/ when there is one. Every target
# runs even after one failed; the exit status is 1 if any did.
set -eu
ROOT=$(cd "$(dirname "$0")/.." && pwd)
SECS=${1:-30}
BUILD="$ROOT/build-fuzz"
found=0
bad=0
for t in "$BUILD"/tests/fuzz/*_fuzz; do
  [ -x "$t" ] || continue
  found=1
  name=$(basename "$t")
  work=$(mktemp -d)
  log="$work.log"
  seeds="$ROOT/tests/fuzz/seeds/$name"
  if [ -d "$seeds" ]; then cp -r "$seeds/." "$work/"; fi
  if ! (cd "$work" && "$t" -max_total_time="$SECS" -print_final_stats=1 "$work" >"$log" 2>&1); then
    tail -n 60 "$log"
    echo "fuzz: $name FAILED (crash input left in $work)"
    bad=1
    continue
  fi
  execs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$' || echo "?")
  echo "fuzz: $name ran ${SECS}s, $execs executions, no crash"
  rm -rf "$work" "$log"
done
[ "$found" = 1 ] || { echo "fuzz: no targets built"; exit 1; }
exit "$bad"
