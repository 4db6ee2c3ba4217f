#!/usr/bin/env bash
# Builds the module with AddressSanitizer and UndefinedBehaviorSanitizer into build/asan and
# runs the test suite against it. The sanitizer runtime is preloaded because the interpreter
# itself is not instrumented; leak detection is off because CPython keeps its own
# allocations alive at exit. Extra arguments go to pytest (default: the whole suite).
set -euo pipefail
cd "$(dirname "$0")/.."
py=${PYTHON:-python3}
if [ ! -f build/asan/build.ninja ]; then
  cmake -S . -B build/asan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKORVALIS_SANITIZE=ON \
        -DPython_EXECUTABLE="$(command -v "$py")" >/dev/null
fi
cmake --build build/asan --target korvalis korvalis_kernels stat_utils_driver
# The statistics driver of the suite, built with the same sanitizers.
export KORVALIS_NATIVE_DRIVER="$PWD/build/asan/stat_utils_driver"
asan_runtime=$(g++ -print-file-name=libasan.so)
ubsan_runtime=$(g++ -print-file-name=libubsan.so)
# The suite's subprocesses (allocation limits, sub-interpreters) inherit these variables.
export LD_PRELOAD="$asan_runtime:$ubsan_runtime"
# A runaway allocation aborts with a report instead of meeting the out-of-memory killer.
export ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:allocator_may_return_null=1:max_allocation_size_mb=4096
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
export KORVALIS_SANITIZED=1
# build/asan/korvalis/ is the package, laid out as an install lays it out.
export PYTHONPATH="$PWD/build/asan${PYTHONPATH:+:$PYTHONPATH}"
if [ "$#" -eq 0 ]; then set -- tests; fi
# Capture at the Python level only, so a sanitizer report written to file descriptor 2
# reaches the terminal even when the process aborts in the middle of a test.
exec "$py" -m pytest -q -p no:cacheprovider --capture=sys "$@"
