#!/usr/bin/env bash
# Installs the kit, plain and sanitizer flavours, into one temporary prefix, then works from that
# prefix alone, as a client-driver author would, with projects copied out of the tree:
#  - the echo sample builds and passes its tests against each flavour;
#  - the forgetful consumer and the tone provider (tests/kit) build; the installed simulator runs
#    their scripts: the correct driver runs clean, each mistake is stopped or reported naming the
#    driver and the fault (with a non-zero status, but for the warning of a block larger than the
#    ring), no signal and no hang; the consumer's kit test passes for the correct driver and fails,
#    with the report, for each mistake;
#  - with the cross compiler present, the installed .sys build script builds and checks echo.sys;
#  - with a 32-bit build there too (M32-BUILD-DIR, configured: it is not configured here), its
#    simulator is installed into the same prefix beside the genuine devididi.sys, leaving the
#    64-bit kit as it was, and runs the echo sample's script with echo.sys beside that image, as
#    the golden file says.
#
#   scripts/check-install.sh [PLAIN-BUILD-DIR [ASAN-BUILD-DIR [M32-BUILD-DIR]]]
#                     (default build/default, build/asan and build/m32; the first two are
#                      configured from the presets if needed; only their target "kit" is built)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
die() { echo "check-install: $*" >&2; exit 1; }

plain=${1:-build/default}
asan=${2:-build/asan}
m32=${3:-build/m32}
[ -f "$plain/CMakeCache.txt" ] || cmake --preset default >/dev/null
[ -f "$asan/CMakeCache.txt" ] || cmake --preset asan >/dev/null

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix
for build in "$plain" "$asan"; do
  cmake --build "$build" --target kit || die "cmake --build $build --target kit failed"
  cmake --install "$build" --prefix "$prefix" >/dev/null || die "cmake --install $build failed"
done
for file in include/devididi/kernel.h include/devididi/streamer.h include/devididi/emu/kemu/kemu.h \
            include/devididi/devididi_testing.h include/devididi/nt/kernel_nt.h \
            lib/devididi/libkemu.a lib/devididi/libdv_entry.a lib/devididi/libdv_kit_testing.a \
            lib/devididi-asan/libkemu.a lib/devididi-asan/libdv_kit_testing.a \
            bin/devididi-sim bin/devididi-sim-asan \
            share/devididi/ntbuild/build-client-sys.sh share/devididi/ntbuild/check-sys.sh \
            lib/cmake/DeVididi/DeVididiConfig.cmake lib/cmake/DeVididi/DeVididiConfigVersion.cmake \
            lib/cmake/DeVididi/DeVididiKit-plain.cmake include/devididi/devididi_kit_version.h \
            include/devididi/emu/kemu.h include/devididi/emu/kemu_core.h \
            lib/cmake/DeVididi/DeVididiKit-asan.cmake; do
  [ -e "$prefix/$file" ] || die "the install lacks $file"
done
# The 32-bit simulator goes in before the projects below are built: they find the 64-bit kit intact.
sim32=
if ! command -v i686-w64-mingw32-gcc >/dev/null; then
  echo "check-install: no i686-w64-mingw32-gcc: the 32-bit simulator is neither installed nor checked"
elif [ ! -f "$m32/CMakeCache.txt" ]; then
  echo "check-install: no 32-bit build in $m32 (cmake --preset m32): the 32-bit simulator is neither installed nor checked"
else
  cmake --build "$m32" --target kit || die "cmake --build $m32 --target kit failed"
  cmake --install "$m32" --prefix "$prefix" >/dev/null || die "cmake --install $m32 failed"
  for file in bin/devididi-sim32 lib/devididi-sim32/devididi-sim lib/devididi-sim32/devididi.sys; do
    [ -e "$prefix/$file" ] || die "the install from $m32 lacks $file"
  done
  sim32=$prefix/bin/devididi-sim32
fi

# Copies of the projects outside the tree: nothing but the prefix can be found from there.
cp -r examples/client-driver "$work/echo"
cp -r tests/kit "$work/kit"
generator=()
command -v ninja >/dev/null && generator=(-G Ninja)

# build SOURCE BUILD FLAVOUR: configures, builds and runs the project's tests against the prefix.
build() {
  cmake -S "$1" -B "$2" "${generator[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_PREFIX_PATH="$prefix" \
        -DDEVIDIDI_KIT_FLAVOUR="$3" >/dev/null || die "$1 does not configure against the $3 kit"
  cmake --build "$2" >/dev/null || { cmake --build "$2"; die "$1 does not build against the $3 kit"; }
  ctest --test-dir "$2" --output-on-failure -j 2 || die "$1: tests fail against the installed $3 kit"
}

# run FLAVOUR SCRIPT STATUS PATTERN: the installed simulator runs the script on the project's
# drivers within a minute, ends with STATUS and prints a line matching PATTERN, shown here.
run() {
  local sim=$prefix/bin/devididi-sim status=0 output
  [ "$1" = plain ] || sim=$sim-$1
  output=$(cd "$work/kit-$1" && timeout 60 "$sim" --driver-dir . --script "$work/kit/$2.script" 2>&1) || status=$?
  [ "$status" -ne 124 ] || die "$1: $2 hangs (stopped after 60 s)"
  [ "$status" -lt 128 ] || die "$1: $2 ends with signal $((status - 128)):"$'\n'"$output"
  [ "$status" -eq "$3" ] || die "$1: $2 ends with status $status, not $3:"$'\n'"$output"
  grep -E -- "$4" <<<"$output" | sed "s/^/  $1 $2 ($status): /" | grep . ||
    die "$1: $2 does not report /$4/:"$'\n'"$output"
}

for flavour in plain asan; do
  build "$work/echo" "$work/echo-$flavour" "$flavour"
  build "$work/kit/project" "$work/kit-$flavour" "$flavour"
  run "$flavour" a_correct_consumer_runs_clean 0 'forgetful: sum [0-9]+'
  run "$flavour" a_registration_left_at_unload_is_named_and_taken_back 1 \
      'KERNEL RULE VIOLATION: driver unloaded while another driver still holds its callbacks: .Driver.forgetful'
  run "$flavour" a_registration_whose_unregistration_was_refused_is_named_at_unload 1 \
      'KERNEL RULE VIOLATION: driver unloaded while another driver still holds its callbacks: .Driver.forgetful'
  run "$flavour" a_read_past_the_rings_end_stops_naming_the_block_and_the_reader 3 \
      '\*\*\* STOP: read past the end of a pool block: .*by code at .Driver.forgetful\+0x'
  run "$flavour" an_unload_that_waits_for_ever_stops_naming_the_driver 3 \
      '\*\*\* STOP: unload of .Driver.forgetful made no progress'
  run "$flavour" a_wait_in_a_callback_stops_naming_the_driver 3 \
      '\*\*\* STOP: wait with a time-out at DISPATCH_LEVEL: .*, by .Driver.forgetful\+0x'
  run "$flavour" a_call_at_high_level_stops_naming_the_driver 3 \
      '\*\*\* STOP: exchange entry point called above DISPATCH_LEVEL: .*, by .Driver.forgetful\+0x'
  run "$flavour" a_ring_read_after_its_free_stops_naming_the_reader 3 \
      '\*\*\* STOP: read of a freed pool block: .*by code at .Driver.forgetful\+0x'
  run "$flavour" a_live_ring_read_after_its_consumers_unregistration_stops_naming_the_reader 3 \
      "\\*\\*\\* STOP: read of the ring of stream 2 after its consumer's unregistration: .*by code at .Driver.forgetful\\+0x"
  run "$flavour" a_provider_calling_after_its_unregistration_is_named 1 \
      "data provided without the stream's provider registration: .*, by .Driver.tonegen\\+0x"
  run "$flavour" a_block_larger_than_the_ring_is_named 0 'warning: .* bytes provided on stream 3, .*, by .Driver.tonegen\+0x'
  run "$flavour" recursion_from_data_complete_stops_at_the_kernel_stack 3 \
      '\*\*\* STOP: kernel stack overflow: .*, by .Driver.tonegen\+0x'
  run "$flavour" an_information_block_shorter_than_declared_stops_naming_its_allocator 3 \
      '\*\*\* STOP: read past the end of a pool block: .*allocated by .Driver.tonegen\+0x'
  run "$flavour" providing_from_a_notify_callback_stops_naming_the_provider 3 \
      '\*\*\* STOP: spin lock acquired twice: .*, by .Driver.tonegen\+0x'
done

if command -v i686-w64-mingw32-gcc >/dev/null; then
  "$prefix/share/devididi/ntbuild/build-client-sys.sh" "$work/sys" echo "$root/examples/client-driver/imports.allow" \
    "$root/examples/client-driver/echo.c" >/dev/null || die "the installed build-client-sys.sh does not build echo.sys"
  echo "check-install: the installed build-client-sys.sh built and checked echo.sys"
fi
if [ -n "$sim32" ]; then
  # echo.script loads echo.so and imports ../debug-levels.reg; the installed devididi.sys is the
  # exchange (the program has no module of its own to fall back on).
  mkdir "$work/sys32"
  cp "$work/sys/echo.sys" "$work/sys32/echo.so"
  cp examples/debug-levels.reg "$work/"
  status=0
  timeout 60 "$sim32" --script "$work/echo/echo.script" --stable-addresses --driver-dir "$work/sys32" \
    >"$work/echo32.out" 2>"$work/echo32.err" || status=$?
  [ "$status" -eq 0 ] && [ ! -s "$work/echo32.err" ] ||
    die "the installed devididi-sim32 ends echo.script with status $status:"$'\n'"$(cat "$work/echo32.err")"
  diff -u examples/client-driver/expected/echo.out "$work/echo32.out" ||
    die "the installed devididi-sim32's run of echo.script with echo.sys differs from its golden file (above)"
  echo "check-install: the installed devididi-sim32 ran echo.sys beside the installed devididi.sys as the golden file says"
fi
echo "check-install: the installed kit (plain and asan) builds and passes the echo sample's tests, and the" \
     "forgetful consumer's and the tone provider's mistakes are stopped or reported, each naming its driver, by" \
     "its simulator, and the consumer's failed by its test helpers"
