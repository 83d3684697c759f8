#!/usr/bin/env bash
# Opens the built site (build/docs/html, from scripts/build-docs.sh) in headless Chromium and saves screenshots
# of the landing page and of one API page into build/docs-screenshots/. Needs Debian's chromium package.
set -euo pipefail
cd "$(dirname "$0")/.."
html=${DOCS_BUILD:-build/docs}/html
out=build/docs-screenshots
mkdir -p "$out"
log="$out/chromium.log"
: >"$log"

# shot NAME PAGE HEIGHT TEXT: a screenshot of PAGE, after checking that the page Chromium loads shows TEXT.
shot() {
  local url="file://$PWD/$html/$2"
  chromium --headless --no-sandbox --disable-gpu --dump-dom "$url" 2>>"$log" | grep -q "$4" ||
    { echo "$2: Chromium does not show \"$4\" (see $log)" >&2; return 1; }
  chromium --headless --no-sandbox --disable-gpu --hide-scrollbars --window-size=1280,"$3" \
    --screenshot="$out/$1.png" "$url" >>"$log" 2>&1
  [ "$(stat -c %s "$out/$1.png")" -gt 20000 ] || { echo "$out/$1.png looks empty" >&2; return 1; }
  echo "$out/$1.png: $2"
}
shot landing index.html 1400 "What is inside"
shot api-MixtureOfExpertsRegressor api/duv/ensemble/MixtureOfExpertsRegressor.html 2200 "aggregation_method"
