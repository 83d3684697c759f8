#!/usr/bin/env bash
# Incremental developer build: compiles the extension into $DUV_BUILD/stage/duv (default
# build/dev) so that `PYTHONPATH=build/dev/stage python -m pytest tests` runs against it
# without pip.
set -euo pipefail
cd "$(dirname "$0")/.."
py=${PYTHON:-python3}
dir=${DUV_BUILD:-build/dev}
if [ ! -f "$dir/build.ninja" ]; then
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DPython_EXECUTABLE="$(command -v "$py")" \
    -DCMAKE_LIBRARY_OUTPUT_DIRECTORY="$PWD/$dir/stage/duv" >/dev/null
fi
cmake --build "$dir"
