#!/bin/sh
# Configures and builds one flavour: build.sh [release|asan|tsan|fuzz]
set -eu
ROOT=$(cd "$(dirname "$0")/.." && pwd)
FLAVOUR=${1:-release}
case "$FLAVOUR" in
  release) OPTS="-DCMAKE_BUILD_TYPE=RelWithDebInfo" ;;
  asan) OPTS="-DCMAKE_BUILD_TYPE=Debug -DVELUNOR_ASAN=ON -DVELUNOR_WERROR=ON" ;;
  tsan) OPTS="-DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELUNOR_TSAN=ON -DVELUNOR_BENCH=OFF" ;;
  fuzz) OPTS="-DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELUNOR_FUZZ=ON -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_C_COMPILER=clang" ;;
  *) echo "usage: build.sh [release|asan|tsan|fuzz]" >&2; exit 2 ;;
esac
BUILD="$ROOT/build-$FLAVOUR"
cmake -S "$ROOT" -B "$BUILD" -G Ninja $OPTS >/dev/null
cmake --build "$BUILD" -j "$(nproc)"
echo "$BUILD"
