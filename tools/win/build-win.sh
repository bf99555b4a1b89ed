#!/usr/bin/env bash
# Builds the Windows-side console tools, devididi-ctl.exe and devididi-install.exe, with the
# mingw-w64 i686 tools, and checks what each imports against tools/win/imports.allow.
#
#   build-win.sh OUTDIR [NAME=SOURCE.c:ENTRY ...]
#
# NAME=SOURCE.c:ENTRY builds one more program the same way (the Wine job's own test programs),
# whose entry point is the stdcall function ENTRY(void), importing from kernel32 only.
# No C run-time library: each program is its own entry point, so nothing but the listed DLL
# routines reaches the target, and 98/Me's msvcrt differences do not matter.
set -euo pipefail

die() { echo "build-win: $*" >&2; exit 1; }
[ $# -ge 1 ] || die "usage: build-win.sh OUTDIR [NAME=SOURCE.c:ENTRY ...]"
root=$(cd "$(dirname "$0")/../.." && pwd)
out=$1
shift
prefix=${DEVIDIDI_NT_PREFIX:-i686-w64-mingw32-}
cc=${prefix}gcc
command -v "$cc" >/dev/null ||
  die "the cross compiler $cc is missing (Debian: gcc-mingw-w64-i686-win32; scripts/install-deps.sh installs it)"
mkdir -p "$out"

cflags=(-std=gnu99 -O2 -march=i586 -ffreestanding -fno-stack-protector -mno-stack-arg-probe
        -fno-asynchronous-unwind-tables -fno-tree-loop-distribute-patterns -fno-ident
        -Wall -Wextra -Werror -I"$root/include" -I"$root/platform")
ldflags=(-nostdlib -s -Wl,--subsystem,console -Wl,--no-insert-timestamp -Wl,--fatal-warnings)

# build NAME SOURCE ENTRY LIBS...
build() {
  local name=$1 src=$2 entry=$3
  shift 3
  "$cc" "${cflags[@]}" "${ldflags[@]}" -Wl,-e,"_${entry}@0" -o "$out/$name.exe" "$src" "$@" ||
    die "$name.exe does not build (errors above)"
  check "$name"
}

# Every import by name, every one on the allow-list (DLL names compared in lower case).
check() {
  local name=$1 bad
  bad=$("${prefix}objdump" -p "$out/$name.exe" | awk -v allow="$root/tools/win/imports.allow" '
    BEGIN { while ((getline line < allow) > 0) { if (line !~ /^#/ && split(line, f) == 2) ok[tolower(f[1]) " " f[2]] = 1 } }
    /DLL Name:/ { dll = tolower($3); next }
    /^\t[0-9a-f]+\t/ && dll != "" { if (NF < 3) print dll " ordinal " $2; else if (!((dll " " $3) in ok)) print dll " " $3 }
    /^ *0000[0-9a-f]+\t00000000 00000000 00000000 00000000 00000000/ { dll = "" }')
  [ -z "$bad" ] || die "$name.exe imports what tools/win/imports.allow does not list: $(echo $bad)"
  echo "build-win: built $out/$name.exe, imports checked"
}

build devididi-ctl "$root/tools/win/devididi-ctl.c" DevididiCtlMain -lkernel32
build devididi-install "$root/tools/win/devididi-install.c" DevididiInstallMain -lsetupapi -lnewdev -lkernel32
for extra in "$@"; do
  # NAME=SOURCE.c:ENTRY
  name=${extra%%=*} rest=${extra#*=}
  build "$name" "${rest%%:*}" "${rest#*:}" -lkernel32
done
