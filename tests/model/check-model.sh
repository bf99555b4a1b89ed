#!/usr/bin/env bash
# Checks a Promela model exhaustively with Spin: safety (assertions) and invalid end states.
# Usage: check-model.sh MODEL.pml WORKDIR [expect-violation] [-DNAME ...]
# Prints Spin's verdict; the exit status says whether it matched the expectation.
set -euo pipefail
[ $# -ge 2 ] || { echo "usage: check-model.sh MODEL.pml WORKDIR [expect-violation] [-DNAME ...]" >&2; exit 2; }
model=$(realpath "$1") work=$2 expect=${3:-verify}
shift 3 || shift $#
command -v spin >/dev/null || { echo "check-model: spin is not installed (scripts/install-deps.sh installs it)" >&2; exit 1; }
mkdir -p "$work" && cd "$work"
spin "$@" -a "$model" >/dev/null
cc -O2 -w -DSAFETY -o pan pan.c
out=$(./pan -m200000 2>&1) || true
errors=$(sed -n 's/.*errors: \([0-9]*\).*/\1/p' <<<"$out")
states=$(sed -n 's/^ *\([0-9e+.]*\) states, stored.*/\1/p' <<<"$out")
what=$(grep -m1 -E '^pan:1: ' <<<"$out" || true)
echo "spin ${*:-(model as built)}: ${errors:-?} error(s), ${states:-?} states${what:+; first: ${what#pan:1: }}"
if [ "$expect" = verify ]; then
  [ "${errors:-1}" = 0 ] || { echo "$out" | tail -30; exit 1; }
else
  [ "${errors:-0}" != 0 ] || { echo "check-model: the broken variant was not caught" >&2; exit 1; }
fi
