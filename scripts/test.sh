#!/usr/bin/env bash
# Builds and runs every test in the given presets (default: default and asan).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
presets=("$@")
[ ${#presets[@]} -eq 0 ] && presets=(default asan)
for p in "${presets[@]}"; do
  echo "=== preset $p ==="
  cmake --preset "$p" >/dev/null
  cmake --build --preset "$p"
  ctest --preset "$p"
done
