#!/usr/bin/env bash
# The mutation check: plants one plausible mistake at a time in the driver (streamer/server, alloc,
# debug), builds the default preset and runs the suite; a mistake the suite does not catch survives.
#
#   scripts/mutation.sh [COMMIT] [--mutants FILE] [--only N[,N...]]
#   scripts/mutation.sh --compare BEFORE.log AFTER.log   (the mutants whose result changed)
#
# COMMIT (default HEAD) is exported with git archive into a temporary directory, so a run never
# touches the working tree; the mutant list is read from the working tree (tests/mutation/mutants.txt
# unless --mutants says otherwise), so one list can be run against an older commit. A fragment that
# does not occur exactly once in its file is reported as stale, not run.
#
# Environment: MUTATION_TIMEOUT seconds for a test without a timeout of its own (default 120; the
# discovered unit tests carry 300), MUTATION_WORK a directory to keep the
# copy and its build in (default: a temporary one, removed at the end), MUTATION_EXCLUDE a ctest -E
# regex of tests that do not exercise the driver (default below).
set -euo pipefail
# Read whole before it runs, so that editing the script during a long run cannot change the run.
{

repo=$(git -C "$(dirname "$0")/.." rev-parse --show-toplevel)
commit=HEAD
mutants=$repo/tests/mutation/mutants.txt
only=
while [ $# -gt 0 ]; do
  case $1 in
    --mutants) mutants=$(realpath "$2"); shift 2 ;;
    --only) only=,$2,; shift 2 ;;
    --compare)
      # A run's lines are "  N result what [file, time]..."; a mutant missing from AFTER did not run.
      join -a1 -e not_run -o 0,1.2,2.2 \
        <(sed -n 's/^ *\([0-9][0-9]*\) \(killed\|survived\|did not build\|stale\) .*/\1 \2/p' "$2" | tr ' ' '_' | sed 's/_/ /' | sort) \
        <(sed -n 's/^ *\([0-9][0-9]*\) \(killed\|survived\|did not build\|stale\) .*/\1 \2/p' "$3" | tr ' ' '_' | sed 's/_/ /' | sort) |
        awk '$2 != $3 { print "mutant " $1 ": " $2 " before, " $3 " after"; n++ } END { print (n + 0) " changed" }'
      exit 0 ;;
    -h|--help) sed -n '2,16p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    -*) echo "mutation.sh: unknown option $1" >&2; exit 2 ;;
    *) commit=$1; shift ;;
  esac
done
[ -r "$mutants" ] || { echo "mutation.sh: no mutant list at $mutants" >&2; exit 2; }
sha=$(git -C "$repo" rev-parse --verify --quiet "$commit^{commit}") ||
  { echo "mutation.sh: $commit is not a commit" >&2; exit 2; }

timeout=${MUTATION_TIMEOUT:-120}
# Left out: the Spin models (abstract models, not the driver's code), the self-test of the image
# checks (crafted images, not the driver's behaviour) and the test programs of the emulated kernel,
# its registry, I/O manager and loader, the kernel's 64-bit division and the script parser, none of
# which links the driver.
emulation='CoreReset|DbgPrintCapture|DebugOutputService|Dpc|Irql|KernelFormat|PerformanceCounter|Pool|PoolDeathTest'
emulation+='|RandomPreemption|SpinLock|SpinLockDeathTest|TickCount|Client|CompletionWalk|DeviceInterfaces'
emulation+='|DeviceObjects|DeviceStacks|DriverLoading|KernelEvent|PlugAndPlay|RequestChecks|TestRequests|RegImport'
emulation+='|Registry|RtlStrings|ExportList|ImageTest|CraftedImage|ModuleUnload|ModuleUnloadDeathTest|KernelDivision|ScriptLanguage'
exclude=${MUTATION_EXCLUDE:-"^(model|$emulation)\\.|^NtImage\\.ChecksRefuseImagesTheKernelCouldNotRun\$"}

if [ -n "${MUTATION_WORK:-}" ]; then
  work=$MUTATION_WORK
  mkdir -p "$work"
else
  work=$(mktemp -d "${TMPDIR:-/tmp}/mutation.XXXXXX")
  trap 'rm -rf "$work"' EXIT
fi
src=$work/src
# A kept copy is brought to the commit file by file, only changed files rewritten, so that its
# build stays incremental from one run to the next.
rm -rf "$work/export"
mkdir -p "$work/export" "$src"
git -C "$repo" archive "$sha" | tar -x -C "$work/export"
python3 - "$work/export" "$src" <<'SYNC'
import filecmp, os, shutil, sys
new, old = sys.argv[1], sys.argv[2]
for root, dirs, files in os.walk(old, topdown=True):
    rel = os.path.relpath(root, old)
    if rel == '.':
        dirs[:] = [d for d in dirs if d != 'build']
    for f in files:
        if not os.path.exists(os.path.join(new, rel, f)):
            os.remove(os.path.join(root, f))
for root, dirs, files in os.walk(new):
    rel = os.path.relpath(root, new)
    os.makedirs(os.path.join(old, rel), exist_ok=True)
    for f in files:
        a, b = os.path.join(root, f), os.path.join(old, rel, f)
        if not os.path.exists(b) or not filecmp.cmp(a, b, shallow=False):
            shutil.copy2(a, b)
            os.utime(b)
SYNC
rm -rf "$work/export"

log=$work/last.log
build() { (cd "$src" && cmake --build --preset default) >"$log" 2>&1; }
suite() {
  (cd "$src" && ctest --preset default --stop-on-failure --timeout "$timeout" -E "$exclude") >"$log" 2>&1
}
first_failure() { sed -n 's/^.*[0-9]* - \(.*\) (\(Failed\|Timeout\|SEGFAULT\|Subprocess aborted\|Exception\|Not Run\).*$/\1/p' "$log" | head -1; }

echo "mutation check of $(git -C "$repo" log -1 --format='%h %s' "$sha" | cut -c1-80)"
echo "tests left out (ctest -E): $exclude"
echo "per-test timeout ${timeout}s; mutants from ${mutants#$repo/}"
(cd "$src" && cmake --preset default) >"$log" 2>&1 || { cat "$log"; echo "mutation.sh: configure failed" >&2; exit 1; }
build || { tail -30 "$log"; echo "mutation.sh: the unmutated tree does not build" >&2; exit 1; }
suite || { tail -30 "$log"; echo "mutation.sh: the unmutated suite fails: $(first_failure)" >&2; exit 1; }
echo "unmutated: builds, suite passes"

# Applies mutant fields to the copy; exit 3 when the fragment is not there exactly once.
apply() {
  python3 - "$src/$1" "$2" "$3" <<'EOF'
import sys
def unescape(s):
    out, i = [], 0
    while i < len(s):
        if s[i] == '\\' and i + 1 < len(s) and s[i + 1] in 'n\\':
            out.append('\n' if s[i + 1] == 'n' else '\\'); i += 2
        else:
            out.append(s[i]); i += 1
    return ''.join(out)
path, old, new = sys.argv[1], unescape(sys.argv[2]), unescape(sys.argv[3])
text = open(path).read()
if text.count(old) != 1:
    sys.exit(3)
open(path, 'w').write(text.replace(old, new))
EOF
}

n=0 killed=0 survived=0 nobuild=0 stale=0
while IFS=$'\t' read -r file old new what; do
  case $file in ''|'#'*) continue ;; esac
  n=$((n + 1))
  [ -z "$only" ] || [[ $only == *,$n,* ]] || continue
  if [ ! -f "$src/$file" ]; then
    printf '%3d stale       %s (no file %s)\n' "$n" "$what" "$file"; stale=$((stale + 1)); continue
  fi
  cp -p "$src/$file" "$work/original"
  if ! apply "$file" "$old" "$new"; then
    printf '%3d stale       %s (fragment not found exactly once in %s)\n' "$n" "$what" "$file"
    stale=$((stale + 1)); continue
  fi
  start=$SECONDS
  if ! build; then
    result='did not build'; nobuild=$((nobuild + 1)); by=
  elif suite; then
    result=survived; survived=$((survived + 1)); by=
  else
    result=killed; killed=$((killed + 1)); by=" <- $(first_failure)"
  fi
  # Back to the original text with a fresh time stamp, so that the next build recompiles it.
  cp "$work/original" "$src/$file"
  touch "$src/$file"
  printf '%3d %-13s %s [%s, %ds]%s\n' "$n" "$result" "$what" "${file##*/}" $((SECONDS - start)) "$by"
done <"$mutants"

echo "total: $((killed + survived + nobuild + stale)) mutants: $killed killed, $survived survived, $nobuild did not build, $stale stale"
[ "$survived" -eq 0 ]
exit
}
