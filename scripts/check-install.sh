#!/usr/bin/env bash
# Installs the kit into a temporary prefix, then builds and runs the echo sample's out-of-tree
# project against that prefix alone, as a client-driver author would. Proves the package works.
#
#   scripts/check-install.sh [BUILD-DIR]     (default build/default; built first if needed)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/default}
if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake --preset default >/dev/null
  build=build/default
fi
cmake --build "$build" --target kemu dv_entry

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix
cmake --install "$build" --prefix "$prefix" >/dev/null ||
  { echo "check-install: cmake --install $build failed" >&2; exit 1; }
for file in include/devididi/kernel.h include/devididi/streamer.h include/devididi/emu/kemu/kemu.h \
            lib/devididi/libkemu.a lib/devididi/libdv_entry.a lib/cmake/DeVididi/DeVididiConfig.cmake; do
  [ -f "$prefix/$file" ] || { echo "check-install: the install lacks $file" >&2; exit 1; }
done

# A copy of the project outside the tree: nothing but the prefix can be found from there.
cp -r examples/client-driver "$work/echo"
generator=()
command -v ninja >/dev/null && generator=(-G Ninja)
cmake -S "$work/echo" -B "$work/build" "${generator[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DCMAKE_PREFIX_PATH="$prefix" >/dev/null ||
  { echo "check-install: the out-of-tree project does not configure against the package" >&2; exit 1; }
cmake --build "$work/build" ||
  { echo "check-install: the out-of-tree project does not build against the package" >&2; exit 1; }
ctest --test-dir "$work/build" --output-on-failure ||
  { echo "check-install: the sample's tests fail against the installed package" >&2; exit 1; }
echo "check-install: the installed package builds and passes the echo sample's tests"
