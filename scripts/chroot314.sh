#!/usr/bin/env bash
# Build and test the project under CPython 3.14 inside a cached Debian unstable chroot.
#
# Usage: scripts/chroot314.sh [SRC_DIR] [--check | --shell CMD | --wheel WHEEL | --rebuild] [-- PYTEST_ARGS...]
#   SRC_DIR defaults to the repository containing this script; PYTEST_ARGS default to "tests -q".
#   --check   only print the interpreter and library versions inside the chroot
#   --shell   run CMD with bash inside the chroot (source tree at /src, read-only)
#   --wheel   install WHEEL instead of building the tree, and run SRC_DIR's tests against it from outside the
#             tree (PYTEST_ARGS are added to "tests -q")
#   --rebuild delete and rebuild the cached chroot first
set -euo pipefail

CHROOT=$(realpath -m "${DUV_CHROOT:-/var/cache/duv/sid-chroot}")
MARKER="$CHROOT/.duv-chroot-complete"
SRC=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
MODE=test SHELL_CMD='' WHEEL='' REBUILD=0
PKGS="python3 python3-dev python3-numpy python3-sklearn python3-scipy python3-joblib python3-pandas
      python3-pytest python3-hypothesis python3-pip g++ cmake ninja-build git ca-certificates"
# shellcheck disable=SC2086
STAMP="v1 $(echo $PKGS | md5sum | cut -c1-12)"   # a changed package list forces a rebuild

while (($#)); do
  case $1 in
    --check) MODE=check ;;
    --shell) MODE=shell; SHELL_CMD=${2:?--shell needs a command}; shift ;;
    --wheel) MODE=wheel; WHEEL=$(realpath "${2:?--wheel needs a wheel file}"); shift ;;
    --rebuild) REBUILD=1 ;;
    --) shift; break ;;
    -*) echo "unknown option: $1" >&2; exit 2 ;;
    *) SRC=$(cd "$1" && pwd) ;;
  esac
  shift
done
PYTEST_ARGS=("$@")

log() { echo "==> [chroot314] $*" >&2; }
die() { echo "chroot314: ERROR: $*" >&2; exit 1; }
[[ $(id -u) == 0 ]] || die "must run as root"

# Mount points below the chroot (deepest first), read from /proc/mounts.
mounts_under() { awk -v p="$CHROOT/" 'index($2 "/", p) == 1 { print $2 }' /proc/mounts | sort -r; }

unmount_all() {
  local m
  for m in $(mounts_under); do umount "$m" 2>/dev/null || umount -l "$m" || true; done
}

# One run at a time per chroot; mounts left by a killed run are then known to be stale.
mkdir -p "$(dirname "$CHROOT")"
exec 9>"$CHROOT.lock"
flock -n 9 || { log "waiting for another run using $CHROOT"; flock 9; }
trap unmount_all EXIT
trap 'exit 130' INT TERM HUP
unmount_all

# Never recurse into a chroot that still has something mounted inside (e.g. the host's /dev).
safe_delete_chroot() {
  unmount_all
  [[ -z $(mounts_under) ]] || die "refusing to delete $CHROOT: still mounted: $(mounts_under | tr '\n' ' ')"
  [[ $CHROOT == /var/cache/duv/* || -n ${DUV_CHROOT:-} ]] || die "unexpected chroot path $CHROOT"
  rm -rf --one-file-system "$CHROOT"
}

# Run a command in the chroot with a clean environment.
in_chroot() {
  local keep=() v
  for v in CI OPENBLAS_CORETYPE OPENBLAS_L2_SIZE SKBUILD_CMAKE_DEFINE; do [[ -n ${!v:-} ]] && keep+=("$v=${!v}"); done
  env -i PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 \
    DEBIAN_FRONTEND=noninteractive PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_ROOT_USER_ACTION=ignore \
    "${keep[@]}" chroot "$CHROOT" "$@" 9>&-
}

# Bind a host path into the chroot (the mount is recorded in /proc/mounts, undone by the trap).
bind() { mkdir -p "$CHROOT$2"; mount --bind "$1" "$CHROOT$2"; [[ ${3:-} != ro ]] || mount -o remount,bind,ro "$CHROOT$2"; }

mount_runtime() {
  [[ -z $(mounts_under) ]] || die "something is already mounted under $CHROOT (another run?)"
  mkdir -p "$CHROOT/proc"; mount -t proc proc "$CHROOT/proc"
  bind /dev /dev
  bind /dev/shm /dev/shm   # joblib's process backend needs a working /dev/shm
  bind "$SRC" /src ro
  [[ -z $WHEEL ]] || bind "$(dirname "$WHEEL")" /wheels ro
}

# CA bundles and resolver from the host, so https (PyPI) and DNS work inside.
sync_host_config() {
  cp -L /etc/resolv.conf "$CHROOT/etc/resolv.conf"
  if compgen -G '/usr/local/share/ca-certificates/*.crt' >/dev/null; then
    mkdir -p "$CHROOT/usr/local/share/ca-certificates"
    cp /usr/local/share/ca-certificates/*.crt "$CHROOT/usr/local/share/ca-certificates/"
    [[ ! -x $CHROOT/usr/sbin/update-ca-certificates ]] || in_chroot update-ca-certificates >/dev/null
  fi
}

build_chroot() {
  local t0=$SECONDS mirror pkg
  command -v debootstrap >/dev/null || { apt-get update -q && apt-get install -y -q debootstrap; }
  # The host's Debian mirror (first non-security ".../debian" URI in its apt sources).
  mirror=$(cat /etc/apt/sources.list /etc/apt/sources.list.d/*.{list,sources} 2>/dev/null |
    grep -v '^\s*#' | grep -oE 'https?://[^ ]+/debian/?(\s|$)' | head -n1 | tr -d '[:space:]' || true)
  mirror=${mirror:-http://deb.debian.org/debian}
  log "building $CHROOT from $mirror (sid)"
  safe_delete_chroot
  mkdir -p "$CHROOT"
  debootstrap --variant=minbase sid "$CHROOT" "$mirror"
  sync_host_config
  # The mirror here may serve a frozen snapshot whose Release has expired (the host ignores that too).
  printf 'Acquire::Check-Valid-Until "false";\nAcquire::Check-Date "false";\n' >"$CHROOT/etc/apt/apt.conf.d/99duv"
  mount -t proc proc "$CHROOT/proc"
  in_chroot apt-get update -q
  # Use Debian's nanobind / scikit-build-core when packaged, else PyPI (below).
  for pkg in python3-nanobind python3-scikit-build-core; do
    [[ -n $(in_chroot apt-cache policy "$pkg" | awk '/Candidate:/ && $2 != "(none)"') ]] && PKGS+=" $pkg"
  done
  # shellcheck disable=SC2086
  in_chroot apt-get install -y -q --no-install-recommends $PKGS
  in_chroot apt-get clean
  sync_host_config   # ca-certificates is installed now
  in_chroot python3 - <<'EOF'
import sys, importlib.util as u, inspect, subprocess
assert sys.version_info[:2] == (3, 14), f"python3 is {sys.version}, need 3.14"
pip = [sys.executable, "-m", "pip", "install", "-q", "--break-system-packages"]
missing = [p for m, p in [("nanobind", "nanobind"), ("scikit_build_core", "scikit-build-core")] if not u.find_spec(m)]
if missing:
    subprocess.check_call(pip + missing)
from sklearn.utils import check_array
if "ensure_all_finite" not in inspect.signature(check_array).parameters:
    subprocess.check_call(pip + ["scikit-learn>=1.6"])
EOF
  umount "$CHROOT/proc"
  echo "$STAMP" >"$MARKER"   # written last: its absence means a half-built chroot
  log "chroot built in $((SECONDS - t0))s, size $(du -sh --one-file-system "$CHROOT" | cut -f1)"
}

print_versions() {
  in_chroot python3 - <<'EOF'
import sys, importlib.metadata as md
print("python3", sys.version.split()[0])
for d in ["numpy", "scikit-learn", "scipy", "joblib", "pandas", "nanobind", "scikit-build-core", "pytest", "hypothesis"]:
    try: print(f"{d:18} {md.version(d)}")
    except md.PackageNotFoundError: print(f"{d:18} MISSING")
EOF
}

if ((REBUILD)) || [[ $(cat "$MARKER" 2>/dev/null) != "$STAMP" ]]; then build_chroot; fi
mount_runtime
print_versions
case $MODE in
  check) exit 0 ;;
  shell) in_chroot bash -c "cd /src && $SHELL_CMD"; exit ;;
esac

# Copy the tree (tracked and untracked-but-not-ignored files) so the build never writes to the host.
# The file list is made on the host: a git worktree's metadata lies outside the mounted tree.
log "copying $SRC to /tmp/duv-build and installing"
if git -C "$SRC" rev-parse --git-dir >/dev/null 2>&1; then
  git -C "$SRC" ls-files -z --cached --others --exclude-standard |
    tar -C "$SRC" --null --ignore-failed-read -T - -cf -
else
  tar -C "$SRC" --exclude=./build --exclude=./.ci-venv --exclude=__pycache__ -cf - .
fi | in_chroot bash -euo pipefail -c 'rm -rf /tmp/duv-build && mkdir -p /tmp/duv-build && tar -C /tmp/duv-build -xf -'
if [[ $MODE == wheel ]]; then
  log "installing $(basename "$WHEEL")"
  in_chroot python3 -m pip install -q --break-system-packages --no-deps --force-reinstall "/wheels/$(basename "$WHEEL")"
  # From an empty directory, so that nothing but the installed package can be imported as duv.
  log "python3 -m pytest tests -q ${PYTEST_ARGS[*]} (from outside the tree)"
  rc=0
  in_chroot bash -c 'rm -rf /tmp/duv-run && mkdir /tmp/duv-run && cd /tmp/duv-run &&
    python3 -c "import duv; print(\"testing\", duv.__file__)" &&
    exec python3 -m pytest /tmp/duv-build/tests -q -p no:cacheprovider "$@"' pytest "${PYTEST_ARGS[@]}" || rc=$?
  log "pytest exit code $rc"
  exit "$rc"
fi
in_chroot bash -euo pipefail -c '
  cd /tmp/duv-build
  python3 -m pip install --break-system-packages --no-build-isolation --no-deps .'
# Without arguments the whole suite runs; arguments replace the default selection.
((${#PYTEST_ARGS[@]})) || PYTEST_ARGS=(tests -q)
log "python3 -m pytest ${PYTEST_ARGS[*]}"
rc=0
in_chroot bash -c 'cd /tmp/duv-build && exec python3 -m pytest "$@"' pytest "${PYTEST_ARGS[@]}" || rc=$?
log "pytest exit code $rc"
exit "$rc"
