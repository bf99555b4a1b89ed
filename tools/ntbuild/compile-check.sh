#!/usr/bin/env bash
# Compiles (without linking) every driver source as 32-bit Windows kernel code.
set -euo pipefail
cxx=${1:-i686-w64-mingw32-g++}
root=$(cd "$(dirname "$0")/../.." && pwd)
status=0
for src in "$root"/debug/*.cpp "$root"/alloc/*.cpp "$root"/streamer/server/*.cpp; do
  [ -e "$src" ] || continue
  if ! "$cxx" -c -o /dev/null -DDEVIDIDI_NT_KERNEL -std=gnu++17 -fno-exceptions -fno-rtti \
        -fno-threadsafe-statics -Wall -Wextra -Werror -Wno-unused-parameter \
        -I"$root/platform" -I"$root/include" -I"$root/debug" -I"$root/alloc" -I"$root/streamer/server" "$src"; then
    echo "FAILED: $src" >&2
    status=1
  fi
done
exit $status
