#!/usr/bin/env bash
# Builds and runs every test in the given presets (default: default and asan).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
presets=("$@")
[ ${#presets[@]} -eq 0 ] && presets=(default asan)
# Wherever the default build is tested, the 32-bit build is too: it runs the genuine kernel image
# through every example script and a live run, and the whole suite at 32 bits.
if [[ " ${presets[*]} " == *" default "* && " ${presets[*]} " != *" m32 "* ]]; then
  presets+=(m32)
fi
for p in "${presets[@]}"; do
  echo "=== preset $p ==="
  cmake --preset "$p" >/dev/null
  cmake --build --preset "$p"
  ctest --preset "$p"
done
