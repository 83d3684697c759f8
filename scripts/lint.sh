#!/usr/bin/env bash
# The project's gates on its C++ sources: clang-format (no file may change) and clang-tidy
# (.clang-tidy, warnings are errors). Usage: scripts/lint.sh [format|tidy] (default: both).
set -euo pipefail
cd "$(dirname "$0")/.."
py=${PYTHON:-python3}
what=${1:-all}
mapfile -t sources < <(git ls-files 'src/*.cpp' 'src/*.hpp')

if [[ $what == all || $what == format ]]; then
  echo "clang-format $(clang-format --version | grep -oE '[0-9]+\.[0-9.]+' | head -1): checking ${#sources[@]} files"
  clang-format --dry-run --Werror "${sources[@]}"
fi

if [[ $what == all || $what == tidy ]]; then
  dir=build/lint
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_EXPORT_COMPILE_COMMANDS=ON \
    -DPython_EXECUTABLE="$(command -v "$py")" >/dev/null
  mapfile -t units < <(git ls-files 'src/*.cpp')
  echo "clang-tidy $(clang-tidy --version | grep -oE '[0-9]+\.[0-9.]+' | head -1): checking ${#units[@]} files"
  printf '%s\n' "${units[@]}" | xargs -P "$(nproc)" -n 4 clang-tidy -p "$dir" --quiet
fi
