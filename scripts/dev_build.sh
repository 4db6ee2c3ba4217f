#!/usr/bin/env bash
# Incremental developer build into build/dev; use with PYTHONPATH=build/dev.
set -euo pipefail
cd "$(dirname "$0")/.."
py=${PYTHON:-python3}
if [ ! -f build/dev/build.ninja ]; then
  cmake -S . -B build/dev -G Ninja -DCMAKE_BUILD_TYPE=${BUILD_TYPE:-Release} -DPython_EXECUTABLE="$(command -v "$py")" "$@" >/dev/null
fi
cmake --build build/dev
