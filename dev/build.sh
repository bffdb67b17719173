#!/usr/bin/env bash
# Incremental development build: compiles into BUILD_DIR (default build-dev/)
# and lays out an importable package in BUILD_DIR/pkg, so that
#   PYTHONPATH=build-dev/pkg python -m pytest tests
# runs the tests against the fresh build without reinstalling.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build-dev}
export CCACHE_BASEDIR="$root"
launcher=$(command -v ccache || true)
if [ ! -f "$build/build.ninja" ]; then
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DPython_EXECUTABLE="$(command -v python3)" ${launcher:+-DCMAKE_CXX_COMPILER_LAUNCHER=$launcher} >/dev/null
fi
cmake --build "$build"
pkg="$build/pkg/larkspan"
rm -rf "$pkg"
mkdir -p "$pkg"
for f in "$root"/python/larkspan/*.py; do ln -s "$f" "$pkg/"; done
cp "$build"/larkspan*.so "$pkg/"
