#!/bin/sh
# The control panel on a virtual screen inside a virtual LAN: it is clicked like a person
# would, starts a card when the driver is built, and writes screenshots. Needs root.
#   ./scripts/demo-panel.sh [--shots DIR]
set -eu
ROOT=$(cd "$(dirname "$0")/.." && pwd)
if [ "$(id -u)" != 0 ]; then
  echo "demo-panel.sh: needs root: it builds a virtual LAN of network namespaces (run: sudo $0)" >&2
  exit 1
fi
"$ROOT/scripts/setup.sh"
"$ROOT/scripts/build.sh" release
exec python3 "$ROOT/tests/lan/demo_panel.py" --build-dir "$ROOT/build-release" "$@"
