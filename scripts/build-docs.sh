#!/usr/bin/env bash
# Builds the documentation site into build/docs/html (Sphinx, warnings are errors) and runs every code example
# of the user guide (docs/guide/*.rst, as doctests). Needs duv importable and the docs extra:
#   pip install ".[docs]" && scripts/build-docs.sh      # then open build/docs/html/index.html
# (against a developer build: PYTHONPATH=build/dev/stage scripts/build-docs.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
py=${PYTHON:-python3}
out=${DOCS_BUILD:-build/docs}
export MPLBACKEND=Agg

"$py" -m sphinx -E -W --keep-going -q -b html docs "$out/html"
"$py" -m pytest docs/index.rst docs/guide -q -p no:cacheprovider --doctest-glob='*.rst' \
  -o doctest_optionflags='ELLIPSIS NORMALIZE_WHITESPACE' --disable-warnings
echo "The site is in $out/html; open $out/html/index.html in a browser."
