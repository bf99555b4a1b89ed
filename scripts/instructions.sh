#!/usr/bin/env bash
# The data path's price in instructions, counted by callgrind on a fixed run (bench/instructions.cpp):
# one line per case, for reading beside the time tables of docs/benchmark.md. It fails only when it
# cannot count, never on the figures.
#   scripts/instructions.sh [BUILD-DIR]      (default build/default, configured from its preset if needed)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/default}
scripts/install-deps.sh
[ -f "$build/CMakeCache.txt" ] || cmake --preset default >/dev/null
cmake --build "$build" --target dv_instructions >/dev/null
bin=$build/bench/dv_instructions
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
valgrind --tool=callgrind --collect-atstart=no --dump-instr=yes --dump-line=no --compress-pos=no \
         --compress-strings=no --callgrind-out-file="$work/run.%p" "$bin" --run >"$work/valgrind.log" 2>&1 ||
  { cat "$work/valgrind.log"; echo "instructions: the counted run failed" >&2; exit 1; }
echo "=== instructions (callgrind, verifier off, every debug level 0)"
"$bin" --read "$work"/run.*
