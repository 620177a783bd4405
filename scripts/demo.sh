#!/bin/sh
# The sound card's main job, safe on any machine: two cards in a virtual LAN of
# network namespaces (nothing is sent on the real interfaces), for --seconds N
# (default 20), then everything is removed. Needs root.
#   ./scripts/demo.sh [--seconds N]
set -eu
ROOT=$(cd "$(dirname "$0")/.." && pwd)
if [ "$(id -u)" != 0 ]; then
  echo "demo.sh: needs root: it builds a virtual LAN of network namespaces (run: sudo $0)" >&2
  exit 1
fi
"$ROOT/scripts/setup.sh"
"$ROOT/scripts/build.sh" release
exec python3 "$ROOT/tests/lan/demo.py" --build-dir "$ROOT/build-release" "$@"
