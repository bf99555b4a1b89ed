#!/usr/bin/env bash
# The picture of a run, checked in a real browser: the default run, a script with a waiting consumer
# and lost blocks (tests/tools/report-run.script) and a run with a loaded client driver that loses
# blocks each write --report and --trace; headless
# Chromium renders each report, and the page must mark itself rendered with every chart's series
# drawn and no console message, and with the series of the waits, losses and events each run is known
# to have; each trace must carry the format's required fields and add up to the run's own sums. Every
# run and every browser start is bounded in time.
#   scripts/report-check.sh [BUILD-DIR]                    (default build/default)
#   scripts/report-check.sh [BUILD-DIR] --screenshot FILE  also the default run's report as a picture
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/default}
screenshot=""
[ "${2:-}" = "--screenshot" ] && screenshot=${3:?--screenshot takes a file}
scripts/install-deps.sh
[ -f "$build/CMakeCache.txt" ] || cmake --preset default >/dev/null
cmake --build "$build" --target devididi-sim echo_module >/dev/null
sim=$build/tools/sim/devididi-sim
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
browser() {
  timeout 120 chromium --headless --no-sandbox --disable-gpu --disable-dev-shm-usage --no-first-run \
    --user-data-dir="$work/profile" --enable-logging=stderr --v=0 --virtual-time-budget=10000 "$@"
}
render() { # NAME [SERIES...]: renders NAME.html, checks the page, the series named and the console
  local name=$1
  shift
  browser --dump-dom "file://$work/$name.html" >"$work/$name.dom" 2>"$work/$name.chromium.log" ||
    { tail -20 "$work/$name.chromium.log"; echo "report-check: chromium failed on $name.html" >&2; exit 1; }
  python3 tests/tools/report_check.py dom "$work/$name.dom" "$work/$name.chromium.log" "$@"
}

echo "=== report and trace: the default run"
timeout 300 "$sim" --report "$work/default.html" --trace "$work/default.json" >"$work/default.out" ||
  { tail -30 "$work/default.out"; echo "report-check: the default run failed" >&2; exit 1; }
render default "wait of display" lost remove-device unload
python3 tests/tools/report_check.py trace "$work/default.json" "$work/default.out"

echo "=== report and trace: a script with a waiting consumer and lost blocks"
timeout 300 "$sim" --script tests/tools/report-run.script --report "$work/script.html" --trace "$work/script.json" \
  >"$work/script.out"
render script "wait of display" "lost (point size: bytes)" lost register-consumer registration-completed \
  remove-device unload orb-query
python3 tests/tools/report_check.py trace "$work/script.json" "$work/script.out"

echo "=== report and trace: a loaded client driver that loses blocks"
timeout 300 "$sim" --load-driver "$build/examples/client-driver/echo.so" --ring-size 1000 --block-size 100-450 \
  --force-loss 10 --duration 2 --report "$work/driver.html" --trace "$work/driver.json" >"$work/driver.out" ||
  { tail -30 "$work/driver.out"; echo "report-check: the run with a loaded driver failed" >&2; exit 1; }
render driver "echo (ring 1000 B)" "echo lost" "wait of echo"
python3 tests/tools/report_check.py trace "$work/driver.json" "$work/driver.out"

if [ -n "$screenshot" ]; then
  browser --hide-scrollbars --window-size=1400,1500 --screenshot="$(realpath -m "$screenshot")" \
    "file://$work/default.html" 2>/dev/null
  echo "report-check: screenshot in $screenshot"
fi
