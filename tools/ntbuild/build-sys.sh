#!/usr/bin/env bash
# Builds the 32-bit Windows kernel image devididi.sys from the driver's own sources.
#
#   build-sys.sh OUTDIR [SOURCE...]
#
# Without SOURCE arguments it builds the driver: debug/, alloc/ and streamer/server/ sources. The
# kernel-image-only helpers in platform/nt/ are always added. The image is OUTDIR/devididi.sys when
# some source defines DriverEntry; until the driver frame (streamer/server/entry.cpp) exists, the
# sources at hand are linked into OUTDIR/partial.sys instead, an image without an entry point that
# serves only the import and section checks of check-sys.sh. OUTDIR also receives the objects
# (obj/), the link map and, with a full image, the installation files from package/.
#
# DEVIDIDI_NT_PREFIX selects the cross tools (default i686-w64-mingw32-).
set -euo pipefail

die() { echo "build-sys: $*" >&2; exit 1; }

[ $# -ge 1 ] || die "usage: build-sys.sh OUTDIR [SOURCE...]"
root=$(cd "$(dirname "$0")/../.." && pwd)
out=$1
shift
prefix=${DEVIDIDI_NT_PREFIX:-i686-w64-mingw32-}
cxx=${prefix}g++
command -v "$cxx" >/dev/null ||
  die "the cross compiler $cxx is missing (Debian: g++-mingw-w64-i686-win32; scripts/install-deps.sh installs it)"

driver_build=1
if [ $# -gt 0 ]; then
  driver_build=0
  sources=("$@")
else
  sources=()
  for src in "$root"/debug/*.cpp "$root"/alloc/*.cpp "$root"/streamer/server/*.cpp; do
    [ -e "$src" ] && sources+=("$src")
  done
fi
for src in "$root"/platform/nt/*.cpp; do
  sources+=("$src")
done

# Kernel code: no run-time library, no unwind tables or exceptions, no guarded statics, no
# floating-point or vector registers (their state is not saved for kernel code), and code that
# runs on the Pentium-class processors of the 98/Me machines (no CMOV). Kernel stacks are 12 KiB
# and fully committed: no stack probes, and a frame above 4 KiB is refused outright.
cflags=(-DDEVIDIDI_NT_KERNEL -O2 -march=i586 -mtune=generic -ffreestanding -fno-exceptions
        -fno-asynchronous-unwind-tables -fno-unwind-tables -fno-stack-protector -fno-ident
        -mno-stack-arg-probe -mgeneral-regs-only -Wframe-larger-than=4096
        -Wall -Wextra -Werror -Wshadow -Wno-unused-parameter
        -I"$root/platform" -I"$root/include" -I"$root/debug" -I"$root/alloc" -I"$root/streamer/server")
cxxflags=(-std=gnu++17 -fno-rtti -fno-threadsafe-statics -fno-use-cxa-atexit)

# A native-subsystem image linked against the kernel and the HAL only. Relocations stay in (a
# driver is loaded wherever the system puts it); data is never auto-imported (that would need a
# user-mode run-time fix-up); every linker warning, such as a missing entry point, is an error.
ldflags=(-nostdlib -s
         -Wl,--subsystem,native -Wl,--image-base,0x10000
         -Wl,--file-alignment,0x200 -Wl,--section-alignment,0x1000
         -Wl,--wdmdriver -Wl,--dynamicbase
         -Wl,--disable-auto-import -Wl,--disable-runtime-pseudo-reloc
         -Wl,--no-insert-timestamp -Wl,--fatal-warnings -Wl,--no-demangle)

mkdir -p "$out"
out=$(cd "$out" && pwd)
rm -rf "$out/obj" "$out/devididi.sys" "$out/partial.sys" "$out/devididi.map" "$out/devididi.inf" \
       "$out/devididi-debug.reg"
mkdir -p "$out/obj"

# The client records' byte layout, asserted in include/streamer.h where pointers are 4 bytes: the
# typedefs named here exist only in that branch, so naming them proves the assertions were compiled
# and held, in C and in C++ (client drivers may be written in either).
if [ $driver_build -eq 1 ]; then
  layout_probe='#include "streamer.h"
typedef char layout_checked_1[sizeof(streamer_layout_srv_param_size) == 1 ? 1 : -1];
typedef char layout_checked_2[sizeof(streamer_layout_rc_phandle) == 1 ? 1 : -1];
typedef char layout_checked_3[sizeof(void *) == 4 ? 1 : -1];'
  for lang in c c++; do
    if [ $lang = c ]; then compiler=${prefix}gcc std=-std=gnu99; else compiler=${prefix}g++ std=-std=gnu++17; fi
    "$compiler" -x $lang $std -fsyntax-only -Wall -Wextra -Werror -Wno-unused-local-typedefs \
        -DDEVIDIDI_NT_KERNEL -I"$root/platform" -I"$root/include" - <<<"$layout_probe" ||
      die "include/streamer.h: the client records' offsets and sizes do not hold with 4-byte pointers ($lang, errors above)"
  done
  echo "build-sys: client record offsets and sizes hold with 4-byte pointers (C and C++)"
fi

objects=()
failed=()
for src in "${sources[@]}"; do
  [ -f "$src" ] || die "no such source: $src"
  rel=${src#"$root"/}
  obj="$out/obj/$(echo "${rel%.*}" | tr '/' '_').o"
  if "$cxx" "${cflags[@]}" "${cxxflags[@]}" -c "$src" -o "$obj"; then
    objects+=("$obj")
  else
    failed+=("$rel")
  fi
done
[ ${#failed[@]} -eq 0 ] || die "does not compile as Windows kernel code (errors above): ${failed[*]}"

has_entry=0
for obj in "${objects[@]}"; do
  if "${prefix}nm" --defined-only "$obj" | grep -q ' T _DriverEntry@8$'; then
    has_entry=1
  fi
done

if [ $has_entry -eq 1 ]; then
  image="$out/devididi.sys"
  entry=(-Wl,--entry,_DriverEntry@8)
elif [ $driver_build -eq 1 ] && [ -e "$root/streamer/server/entry.cpp" ]; then
  die "streamer/server/entry.cpp defines no DriverEntry as the kernel calls it:" \
      'extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT, PUNICODE_STRING) (symbol _DriverEntry@8)'
else
  image="$out/partial.sys"
  entry=()
  echo "build-sys: no DriverEntry among the sources yet: linking partial.sys for the checks only"
fi

if ! "$cxx" "${ldflags[@]}" "${entry[@]}" -Wl,-Map,"$out/devididi.map" -o "$image" \
      "${objects[@]}" -lntoskrnl -lhal; then
  die "$(basename "$image") does not link (errors above). An undefined name is either a kernel" \
      "service missing from kernel_nt.h and the import libraries, or a run-time routine the" \
      "image does not carry (see platform/nt/)"
fi

if [ $has_entry -eq 1 ] && [ -d "$root/package" ]; then
  cp "$root"/package/* "$out/"
fi
echo "build-sys: built $image"
