#!/usr/bin/env bash
# Incremental developer build: compiles the extension into build/dev/stage/duv so that
# `PYTHONPATH=build/dev/stage python -m pytest tests` runs against it without pip.
set -euo pipefail
cd "$(dirname "$0")/.."
py=${PYTHON:-python3}
if [ ! -f build/dev/build.ninja ]; then
  cmake -S . -B build/dev -G Ninja -DCMAKE_BUILD_TYPE=Release -DPython_EXECUTABLE="$(command -v "$py")" \
    -DCMAKE_LIBRARY_OUTPUT_DIRECTORY="$PWD/build/dev/stage/duv" >/dev/null
fi
cmake --build build/dev
