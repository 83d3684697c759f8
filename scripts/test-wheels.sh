#!/usr/bin/env bash
# Builds the wheels once and tests every install of them: the stable-ABI wheel (cp312-abi3, built with the first
# CPython 3.12+ found) and the CPython 3.11 wheel are installed into a fresh virtual environment for each CPython
# 3.11+ here and into the CPython 3.14 chroot (scripts/chroot314.sh --wheel), and the test suite runs against each
# install from a directory outside the source tree. Then the sdist is built and installed into a fresh environment.
#
# Usage: scripts/test-wheels.sh [PYTEST_ARGS...]     (added to "tests -q")
#   DUV_PYTHONS   interpreters to test (default: every /root/.pyenv/versions/3.1[1-9]*/bin/python)
#   DUV_CHROOT314 0 skips the CPython 3.14 chroot leg (it needs root)
# Everything goes to build/wheels/ (wheels in dist/, one venv per interpreter, logs).
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
SRC=$PWD
OUT=$SRC/build/wheels
PYTEST_EXTRA=("$@")
read -r -a PYTHONS <<<"${DUV_PYTHONS:-$(ls -d /root/.pyenv/versions/3.1[1-9]*/bin/python 2>/dev/null | sort -V | tr '\n' ' ')}"
((${#PYTHONS[@]})) || { echo "test-wheels: no CPython 3.11+ found (set DUV_PYTHONS)" >&2; exit 2; }
export PIP_DISABLE_PIP_VERSION_CHECK=1

log() { echo "==> [test-wheels] $*" >&2; }
version_of() { "$1" -c 'import sys; print(f"{sys.version_info[0]}.{sys.version_info[1]}")'; }
RESULTS=()
record() { RESULTS+=("$(printf '%-28s %-6s %5ss  %s' "$1" "$2" "$3" "$4")"); }
# The counts line pytest ends with ("12 passed, 1 skipped in 3.4s"), or the last line of the log.
counts() { grep -E '^=*\s*[0-9]+ (passed|failed|error)' "$1" | tail -n1 | tr -d '=' | sed 's/^ *//;s/ *$//' || tail -n1 "$1"; }

rm -rf "$OUT"
mkdir -p "$OUT/dist" "$OUT/logs"

fresh_venv() {  # fresh_venv PYTHON DIR
  "$1" -m venv "$2"
  "$2/bin/python" -m pip install -q --upgrade pip
}

# --- build each wheel once -----------------------------------------------------------
declare -A WHEEL_FOR   # X.Y -> wheel file
ABI3=''
for py in "${PYTHONS[@]}"; do
  v=$(version_of "$py")
  [[ $v == 3.11 || -z $ABI3 ]] || continue
  kind=$([[ $v == 3.11 ]] && echo "cp311" || echo "abi3")
  log "building the $kind wheel with Python $v"
  t0=$SECONDS
  before=$(ls "$OUT/dist")
  "$py" -m pip wheel --no-deps -w "$OUT/dist" "$SRC" >"$OUT/logs/wheel-$kind.log" 2>&1 ||
    { log "wheel build failed, see $OUT/logs/wheel-$kind.log"; exit 1; }
  whl=$OUT/dist/$(comm -13 <(echo "$before") <(ls "$OUT/dist") | head -n1)
  record "build $kind wheel ($v)" ok $((SECONDS - t0)) "$(basename "$whl")"
  if [[ $v == 3.11 ]]; then WHEEL_FOR[3.11]=$whl; else ABI3=$whl; fi
done
wheel_for() { [[ $1 == 3.11 ]] && echo "${WHEEL_FOR[3.11]:-}" || echo "$ABI3"; }

# --- one leg per interpreter ---------------------------------------------------------
status=0
for py in "${PYTHONS[@]}"; do
  v=$(version_of "$py")
  whl=$(wheel_for "$v")
  [[ -n $whl ]] || { log "no wheel for Python $v"; status=1; continue; }
  t0=$SECONDS
  env=$OUT/venv-$v
  log "Python $v: installing $(basename "$whl") into a fresh venv"
  fresh_venv "$py" "$env"
  "$env/bin/pip" install -q "$whl[test]" >"$OUT/logs/install-$v.log" 2>&1 ||
    { log "install failed, see $OUT/logs/install-$v.log"; record "Python $v" FAIL $((SECONDS - t0)) install; status=1; continue; }
  run=$(mktemp -d)
  log "Python $v: running the suite from $run"
  rc=0
  (cd "$run" && "$env/bin/python" -c 'import duv; print("testing", duv.__file__)' &&
    "$env/bin/python" -m pytest "$SRC/tests" -q -p no:cacheprovider "${PYTEST_EXTRA[@]}") >"$OUT/logs/test-$v.log" 2>&1 || rc=$?
  rm -rf "$run"
  ((rc == 0)) || status=1
  record "Python $v ($(basename "$whl" | cut -d- -f3-4))" "$( ((rc == 0)) && echo ok || echo FAIL)" \
    $((SECONDS - t0)) "$(counts "$OUT/logs/test-$v.log")"
done

# --- CPython 3.14 in the Debian chroot, with the stable-ABI wheel ---------------------
if [[ ${DUV_CHROOT314:-1} != 0 ]]; then
  t0=$SECONDS
  log "CPython 3.14 (chroot): $(basename "$ABI3")"
  rc=0
  "$SRC/scripts/chroot314.sh" "$SRC" --wheel "$ABI3" -- "${PYTEST_EXTRA[@]}" >"$OUT/logs/test-3.14-chroot.log" 2>&1 ||
    rc=$?
  ((rc == 0)) || status=1
  record "Python 3.14 chroot (abi3)" "$( ((rc == 0)) && echo ok || echo FAIL)" $((SECONDS - t0)) \
    "$(counts "$OUT/logs/test-3.14-chroot.log")"
fi

# --- the sdist: build it, install it into a fresh venv, run the demo and the package tests ---
py=${PYTHONS[-1]}
v=$(version_of "$py")
t0=$SECONDS
log "sdist: building and installing with Python $v"
rc=0
run=$(mktemp -d)
# One chain: `set -e` does not apply inside a command whose status is tested.
{ fresh_venv "$py" "$OUT/venv-sdist" &&
  "$OUT/venv-sdist/bin/pip" install -q build &&
  "$OUT/venv-sdist/bin/python" -m build --sdist --outdir "$OUT/dist" "$SRC" &&
  "$OUT/venv-sdist/bin/pip" install --no-cache-dir "$(ls "$OUT"/dist/*.tar.gz)[test]" &&
  (cd "$run" && "$OUT/venv-sdist/bin/python" "$SRC/examples/demo.py" &&
    "$OUT/venv-sdist/bin/python" -m pytest "$SRC/tests/test_package.py" "$SRC/tests/test_stable_abi.py" -q \
      -p no:cacheprovider); } >"$OUT/logs/sdist.log" 2>&1 || rc=$?
rm -rf "$run"
((rc == 0)) || status=1
record "sdist install ($v)" "$( ((rc == 0)) && echo ok || echo FAIL)" $((SECONDS - t0)) "$(counts "$OUT/logs/sdist.log")"

echo
echo "leg                          result  time  tests"
printf '%s\n' "${RESULTS[@]}"
echo "logs: $OUT/logs"
exit "$status"
