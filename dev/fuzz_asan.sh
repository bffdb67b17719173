#!/usr/bin/env bash
# Builds the module with AddressSanitizer and UndefinedBehaviorSanitizer into
# build-asan/ and runs the test suite and the fuzzer against it:
#   dev/fuzz_asan.sh [fuzzer seconds, default 120]
# CPython itself is not instrumented, so the sanitizer runtimes are preloaded
# and leak detection is left to valgrind (CPython keeps memory until exit).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build-asan
flags="-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize=vptr"
if [ ! -f "$build/build.ninja" ]; then
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DPython_EXECUTABLE="$(command -v python3)" -DCMAKE_CXX_FLAGS="$flags" \
    -DCMAKE_MODULE_LINKER_FLAGS="-fsanitize=address,undefined" \
    $(command -v ccache >/dev/null && echo -DCMAKE_CXX_COMPILER_LAUNCHER=ccache) >/dev/null
fi
cmake --build "$build" -j1
pkg="$build/pkg/larkspan"
rm -rf "$pkg" && mkdir -p "$pkg"
for f in "$root"/python/larkspan/*.py; do ln -s "$f" "$pkg/"; done
cp "$build"/larkspan*.so "$pkg/"
export LD_PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libubsan.so)"
export ASAN_OPTIONS=detect_leaks=0:halt_on_error=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
export PYTHONPATH="$build/pkg"
# Sanitizer stack frames are several times larger: the small-thread-stack test
# measures the release build's frames, not these.
python3 -m pytest -q "$root/tests" --deselect tests/test_param.py::test_deepest_expressions_fit_a_small_thread_stack
python3 "$root/dev/fuzz_api.py" --seconds "${1:-120}" --workers 2 --threads
