#!/usr/bin/env bash
# Builds the extension with AddressSanitizer and UndefinedBehaviorSanitizer into
# build/asan and runs the test suite against it. Tests that start joblib worker
# processes are left out: the sanitizer runtime does not survive loky's workers.
set -euo pipefail
cd "$(dirname "$0")/.."
py=${PYTHON:-python3}
flags="-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined"
if [ ! -f build/asan/build.ninja ]; then
  cmake -S . -B build/asan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPython_EXECUTABLE="$(command -v "$py")" \
    -DCMAKE_LIBRARY_OUTPUT_DIRECTORY="$PWD/build/asan/stage/duv" -DCMAKE_CXX_FLAGS="$flags" \
    -DCMAKE_SHARED_LINKER_FLAGS="-fsanitize=address,undefined" >/dev/null
fi
cmake --build build/asan
export LD_PRELOAD="$(gcc -print-file-name=libasan.so) $(gcc -print-file-name=libubsan.so)"
export ASAN_OPTIONS=detect_leaks=0,allocator_may_return_null=1 UBSAN_OPTIONS=print_stacktrace=1
PYTHONPATH=build/asan/stage exec "$py" -m pytest tests -q -p no:cacheprovider \
  -k "not -2] and not n_jobs and not process and not fresh and not pickle" "$@"
