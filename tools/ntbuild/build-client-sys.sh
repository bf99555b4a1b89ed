#!/usr/bin/env bash
# Builds a client driver of the exchange, written in C, into a 32-bit Windows kernel image, and
# checks the image as devididi.sys is checked, against the client's own allow-list.
#
#   build-client-sys.sh OUTDIR NAME ALLOW-LIST [-DNAME[=VALUE] | -UNAME | -IDIR]... SOURCE.c...
#
# -D, -U and -I options, anywhere among the sources, go to the compiler for every source (the same
# definitions that the driver's module for the emulation is built with).
# OUTDIR receives NAME.sys, its link map NAME.map and the objects (obj/). The sources see the
# exchange's header (include/) and the kernel header (platform/), nothing else of the exchange;
# installed with the kit (P/share/devididi/ntbuild), the same headers from P/include/devididi.
# DEVIDIDI_NT_PREFIX selects the cross tools (default i686-w64-mingw32-).
set -euo pipefail

die() { echo "build-client-sys: $*" >&2; exit 1; }

[ $# -ge 4 ] || die "usage: build-client-sys.sh OUTDIR NAME ALLOW-LIST [-DNAME[=VALUE] | -UNAME | -IDIR]... SOURCE.c..."
here=$(cd "$(dirname "$0")" && pwd)
if [ -f "$here/../../../include/devididi/streamer.h" ]; then
  headers=(-I"$(cd "$here/../../../include/devididi" && pwd)")
else
  headers=(-I"$here/../../platform" -I"$here/../../include")
fi
out=$1 name=$2 allow=$3
shift 3
defines=() sources=()
for arg in "$@"; do
  case "$arg" in
    -D?*|-U?*|-I?*) defines+=("$arg") ;;
    -*) die "unknown option $arg (only -D, -U and -I are passed on)" ;;
    *) sources+=("$arg") ;;
  esac
done
[ ${#sources[@]} -gt 0 ] || die "no source given"
prefix=${DEVIDIDI_NT_PREFIX:-i686-w64-mingw32-}
cc=${prefix}gcc
command -v "$cc" >/dev/null ||
  die "the cross compiler $cc is missing (Debian: gcc-mingw-w64-i686-win32; scripts/install-deps.sh installs it)"
[ -f "$allow" ] || die "no allow-list $allow"

# The same kernel-code rules as devididi.sys (see build-sys.sh), for C99 with the DDK's extensions.
cflags=(-std=gnu99 -DDEVIDIDI_NT_KERNEL -O2 -march=i586 -mtune=generic -ffreestanding
        -fno-asynchronous-unwind-tables -fno-unwind-tables -fno-stack-protector -fno-ident
        -mno-stack-arg-probe -mgeneral-regs-only -Wframe-larger-than=4096
        -Wall -Wextra -Werror -Wno-unused-parameter
        "${headers[@]}" "${defines[@]}")
ldflags=(-nostdlib -s
         -Wl,--subsystem,native -Wl,--image-base,0x10000
         -Wl,--file-alignment,0x200 -Wl,--section-alignment,0x1000
         -Wl,--wdmdriver -Wl,--dynamicbase
         -Wl,--disable-auto-import -Wl,--disable-runtime-pseudo-reloc
         -Wl,--no-insert-timestamp -Wl,--fatal-warnings -Wl,--entry,_DriverEntry@8)

mkdir -p "$out"
out=$(cd "$out" && pwd)
rm -rf "$out/obj" "$out/$name.sys" "$out/$name.map"
mkdir -p "$out/obj"
objects=()
for src in "${sources[@]}"; do
  [ -f "$src" ] || die "no such source: $src"
  obj="$out/obj/$(basename "${src%.*}").o"
  "$cc" "${cflags[@]}" -c "$src" -o "$obj" || die "$src does not compile as Windows kernel code (errors above)"
  objects+=("$obj")
done
"$cc" "${ldflags[@]}" -Wl,-Map,"$out/$name.map" -o "$out/$name.sys" "${objects[@]}" -lntoskrnl -lhal ||
  die "$name.sys does not link (errors above): an undefined name is a kernel service the import" \
      "libraries lack or a run-time routine the image would have to carry"
echo "build-client-sys: built $out/$name.sys"
exec "$here/check-sys.sh" "$out" --image "$name.sys" --allow "$allow"
