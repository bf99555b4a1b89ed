#!/usr/bin/env bash
# Builds the libFuzzer targets (preset "fuzz") and runs each for SECONDS (default 60) on its committed
# corpus (tests/fuzz/corpus/NAME) plus what earlier runs found (build/fuzz/corpus/NAME). Fails when a
# target crashes, and says how to replay the input that did it.
#   scripts/fuzz.sh [SECONDS] [TARGET...]      TARGET: control, reg_import, script, ldr, explore (default: all)
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
shift || true
targets=("$@")
[ ${#targets[@]} -eq 0 ] && targets=(control reg_import script ldr explore)
case "$seconds" in ''|*[!0-9]*) echo "fuzz.sh: SECONDS must be a whole number, not '$seconds'" >&2; exit 2 ;; esac

scripts/install-deps.sh
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz --target $(printf 'fuzz_%s ' "${targets[@]}")
# The loader's seeds are the genuine images, built here rather than committed.
if [[ " ${targets[*]} " == *" ldr "* ]]; then
  images=build/fuzz/images
  { tools/ntbuild/build-sys.sh "$images" &&
    tools/ntbuild/build-client-sys.sh "$images" echo examples/client-driver/imports.allow examples/client-driver/echo.c; } \
    >"$images.log" 2>&1 ||
    { echo "fuzz.sh: the kernel images do not build (see $images.log): no seeds for fuzz_ldr" >&2; exit 2; }
  mkdir -p build/fuzz/corpus/ldr
  cp "$images/devididi.sys" "$images/echo.sys" build/fuzz/corpus/ldr/
fi

export ASAN_OPTIONS=${ASAN_OPTIONS:-abort_on_error=1:detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
failed=0
summary=()
for t in "${targets[@]}"; do
  bin=build/fuzz/tests/fuzz/fuzz_$t
  seeds=tests/fuzz/corpus/$t
  work=build/fuzz/corpus/$t
  artifacts=build/fuzz/artifacts/$t
  [ -x "$bin" ] || { echo "fuzz.sh: no target '$t' ($bin)" >&2; exit 2; }
  [ -d "$seeds" ] || { echo "fuzz.sh: no seed corpus $seeds" >&2; exit 2; }
  mkdir -p "$work" "$artifacts"
  log=build/fuzz/fuzz_$t.log
  echo "=== fuzz_$t for ${seconds} s (log: $log)"
  set +e
  # The driver's memory is the emulated pool, which the targets check themselves; the host-side leak
  # scan would triple the time of each run of the two that load the driver.
  leaks=0
  case "$t" in reg_import|ldr) leaks=1 ;; esac
  # A kernel image is tens of kilobytes; the other inputs are scripts and requests.
  maxlen=4096
  [ "$t" != ldr ] || maxlen=131072
  "$bin" -max_total_time="$seconds" -timeout=20 -max_len=$maxlen -print_final_stats=1 -detect_leaks=$leaks \
         -artifact_prefix="$artifacts/" "$work" "$seeds" >"$log" 2>&1
  rc=$?
  set -e
  # A crash while loading the corpus leaves some of these out of the log.
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  cov=$( (grep -ao 'cov: [0-9]*' "$log" || true) | tail -1 | cut -d' ' -f2)
  corpus=$(find "$work" -type f | wc -l)
  if [ $rc -ne 0 ]; then
    failed=1
    crash=$(sed -n 's/.*Test unit written to \(.*\)$/\1/p' "$log" | tail -1)
    echo "fuzz_$t FAILED (exit status $rc). The end of its log:"
    grep -av '^#\|NEW_FUNC' "$log" | tail -n 40
    if [ -n "$crash" ]; then
      echo "Replay the input: $bin $crash"
      echo "Add it to the corpus once fixed: cp $crash $seeds/"
    fi
    summary+=("fuzz_$t: CRASH after ${execs:-?} runs, coverage ${cov:-?}, input ${crash:-not saved}")
  else
    summary+=("fuzz_$t: ${execs:-?} runs, coverage ${cov:-?} edges, corpus of ${corpus} inputs, no crash")
  fi
done
echo "=== fuzz summary (${seconds} s per target)"
printf '%s\n' "${summary[@]}"
exit $failed
