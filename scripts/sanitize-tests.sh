#!/usr/bin/env bash
# Builds the extension with AddressSanitizer and UndefinedBehaviorSanitizer into build/asan and runs the whole
# test suite against it. The interpreter is not instrumented, so the sanitizer runtimes are preloaded into it and,
# through the inherited environment, into every interpreter it starts (loky's workers and resource tracker, the
# fresh interpreters of some tests). Every process writes its reports to build/asan/reports; any report of an
# interpreter fails the run, whether or not the test that caused it noticed.
#
# Usage: scripts/sanitize-tests.sh [PYTEST_ARGS...]   (default: tests -q)
set -euo pipefail
cd "$(dirname "$0")/.."
py=${PYTHON:-python3}
# The interpreter itself, not a wrapper script (pyenv's shim is bash, which the preload would fail).
py=$("$py" -c 'import sys; print(sys.executable)')
flags="-fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer"
if [ ! -f build/asan/build.ninja ]; then
  cmake -S . -B build/asan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPython_EXECUTABLE="$(command -v "$py")" \
    -DCMAKE_LIBRARY_OUTPUT_DIRECTORY="$PWD/build/asan/stage/duv" -DCMAKE_CXX_FLAGS="$flags" \
    -DCMAKE_SHARED_LINKER_FLAGS="-fsanitize=address,undefined" >/dev/null
fi
cmake --build build/asan

reports=$PWD/build/asan/reports
# Every object a block of its own: ASan sees overruns and uses after free of Python objects, and LeakSanitizer
# follows pointers through them (pymalloc's arenas are never scanned).
export PYTHONMALLOC=malloc
# allocator_may_return_null: a failed allocation is NumPy's MemoryError (the histogram's bin fallback relies on it).
export ASAN_OPTIONS="detect_leaks=1:halt_on_error=1:allocator_may_return_null=1:check_initialization_order=1:\
log_path=$reports/asan:log_exe_name=1"
export LSAN_OPTIONS="suppressions=$PWD/scripts/lsan.supp:print_suppressions=0"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:log_path=$reports/ubsan:log_exe_name=1"
# Few examples and calls: the sanitizers look at each call, repetition adds nothing here.
export DUV_FUZZ_EXAMPLES=${DUV_FUZZ_EXAMPLES:-10} DUV_LEAK_CALLS=${DUV_LEAK_CALLS:-100}
(($#)) || set -- tests -q
preload="$(gcc -print-file-name=libasan.so) $(gcc -print-file-name=libubsan.so)"

run_pytest() {
  rm -rf "$reports" && mkdir -p "$reports"
  PYTHONPATH="$PWD/build/asan/stage${PYTHONPATH:+:$PYTHONPATH}" LD_PRELOAD=$preload \
    "$py" -m pytest -o cache_dir="$PWD/build/asan/pytest-cache" "$@"
}

# Sets found (reports of interpreters) and tool_crash (LeakSanitizer's own tracer died while a process exited).
# Only interpreters count: a tool started by the suite or a plugin (git, lscpu) inherits the preload and reports its
# own leaks, which say nothing about the package. A file without an error holds only the warnings of allocations that
# failed on purpose (allocator_may_return_null).
scan_reports() {
  found=0 tool_crash=0
  for f in "$reports"/*; do
    [ -e "$f" ] || continue
    if ! grep -q -e 'ERROR: ' -e 'runtime error' -e 'fatal error' "$f"; then
      echo "(warnings only: ${f##*/}: $(sort -u "$f" | tr '\n' ' ' | cut -c1-200))"
      continue
    fi
    if grep -q 'Tracer caught signal' "$f" && ! grep -q -e 'ERROR: ' -e 'runtime error' "$f"; then
      tool_crash=1; echo "(LeakSanitizer's tracer crashed, no finding: ${f##*/})"; continue
    fi
    case ${f##*/} in
      *.python*) found=1; echo "==== sanitizer report: ${f##*/}"; cat "$f" ;;
      *) echo "(not an interpreter, ignored: ${f##*/}: $(grep -m1 -o 'ERROR: [A-Za-z]*: [a-z -]*' "$f"))" ;;
    esac
  done
}

rc=0
run_pytest "$@" || rc=$?
scan_reports
# A tracer crash fails the test whose process it ended without saying anything about the package: those tests once more.
if ((rc != 0 && found == 0 && tool_crash == 1)); then
  echo "sanitizers: rerunning the failed tests after a tracer crash"
  rc=0
  run_pytest "$@" --last-failed || rc=$?
  scan_reports
fi
if ((found)); then
  echo "sanitizers: reports above (also in $reports)"
  exit 1
fi
echo "sanitizers: no report"
exit "$rc"
