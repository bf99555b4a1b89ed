#!/usr/bin/env bash
# Rewrites examples/expected/NAME.out from the examples/NAME.script runs, after an intended change
# of the simulator's or the driver's output. Review the result with git diff before committing.
# Usage: tests/tools/regenerate-golden.sh [BUILD_DIR]   (default: build/default)
set -euo pipefail
cd "$(dirname "$0")/../.."
sim="${1:-build/default}/tools/sim/devididi-sim"
if [ ! -x "$sim" ]; then
  echo "no simulator at $sim: build first (cmake --build --preset default)" >&2
  exit 1
fi
mkdir -p examples/expected
for script in examples/*.script; do
  name=$(basename "$script" .script)
  status=0
  "$sim" --script "$script" --stable-addresses > "examples/expected/$name.out" || status=$?
  if [ "$status" -ne 0 ]; then
    echo "$script: the run failed (exit status $status); its output is in examples/expected/$name.out" >&2
    exit 1
  fi
  echo "examples/expected/$name.out"
done
