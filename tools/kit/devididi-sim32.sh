#!/bin/sh
# devididi-sim32: the kit's 32-bit simulator, which runs genuine 32-bit kernel images. It runs the
# genuine devididi.sys installed beside it, unless --image names another image; your driver's .sys
# is loaded as any client driver is (load-driver NAME FILE in a script, --load-driver FILE):
#
#   devididi-sim32 --script my.script --driver-dir DIR
#
# Installed from the 32-bit build (cmake --install build/m32 --prefix P) as P/bin/devididi-sim32,
# with the program and the image in P/lib/devididi-sim32. It needs the i386 C and C++ run-time
# libraries (Debian: libstdc++6:i386, which g++-multilib brings).
dir=$(dirname "$(readlink -f "$0")")/../lib/devididi-sim32
for arg in "$@"; do
  case $arg in
    --image | --image=*) exec "$dir/devididi-sim" "$@" ;;
  esac
done
exec "$dir/devididi-sim" --image "$dir/devididi.sys" "$@"
