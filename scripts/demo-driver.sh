#!/bin/sh
# The driver path: a WAV played with aplay into one card's endpoint, heard with arecord on
# another card, in a virtual LAN of network namespaces. Needs root.
#   ./scripts/demo-driver.sh [--seconds N]
set -eu
ROOT=$(cd "$(dirname "$0")/.." && pwd)
if [ "$(id -u)" != 0 ]; then
  echo "demo-driver.sh: needs root: it builds a virtual LAN of network namespaces (run: sudo $0)" >&2
  exit 1
fi
"$ROOT/scripts/setup.sh"
"$ROOT/scripts/build.sh" release
exec python3 "$ROOT/tests/lan/demo_driver.py" --build-dir "$ROOT/build-release" "$@"
