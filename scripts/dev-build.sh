#!/usr/bin/env bash
# Incremental developer build: compiles the extension into $DUV_BUILD/stage/duv (default
# build/dev) so that `PYTHONPATH=build/dev/stage python -m pytest tests` runs against it
# without pip. DUV_STABLE_ABI=1 builds against CPython's stable ABI (abi3, Python 3.12+), as the wheel is.
set -euo pipefail
cd "$(dirname "$0")/.."
py=${PYTHON:-python3}
dir=${DUV_BUILD:-build/dev}
abi=()
[[ ${DUV_STABLE_ABI:-0} != 1 ]] || abi=(-DSKBUILD_SABI_COMPONENT=Development.SABIModule)
if [ ! -f "$dir/build.ninja" ]; then
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DPython_EXECUTABLE="$(command -v "$py")" \
    -DCMAKE_LIBRARY_OUTPUT_DIRECTORY="$PWD/$dir/stage/duv" "${abi[@]}" >/dev/null
fi
cmake --build "$dir"
