#!/usr/bin/env bash
# Checks the kernel image that build-sys.sh left in OUTDIR.
#
#   check-sys.sh OUTDIR [--allow FILE] [--image NAME.sys]
#
# --image checks OUTDIR/NAME.sys (with its link map OUTDIR/NAME.map) as a full image, e.g. a
# client driver from build-client-sys.sh. Otherwise, on OUTDIR/devididi.sys (the full driver) every check applies; on OUTDIR/partial.sys (the driver
# frame not yet written) those that need DriverEntry are left out, an unused allow-list entry is
# not an error, and the kernel and the HAL may not both be imported yet.
#
#  - native subsystem (1); relocations kept; header checksum right;
#  - imported DLLs exactly hal.dll and ntoskrnl.exe, every name imported by name and listed in the
#    allow-list (FILE, default tools/ntbuild/imports.allow), every listed name imported;
#  - nothing linked from the import libraries but import stubs (no run-time code);
#  - no object and no image section for constructors, destructors, thread-local data or unwinding;
#  - the entry point is _DriverEntry@8;
#  - the debug device's two service calls stand in the code as int 20h + constant dword + pop.
# Every failure prints what is wrong; the exit status is 1 if any check failed.
set -uo pipefail
export LC_ALL=C

root=$(cd "$(dirname "$0")/../.." && pwd)
prefix=${DEVIDIDI_NT_PREFIX:-i686-w64-mingw32-}
objdump=${prefix}objdump
allow="$root/tools/ntbuild/imports.allow"
image_name=""

[ $# -ge 1 ] || { echo "usage: check-sys.sh OUTDIR [--allow FILE] [--image NAME.sys]" >&2; exit 2; }
out=$1
shift
while [ $# -gt 0 ]; do
  case "$1" in
    --allow) allow=$2; shift 2 ;;
    --image) image_name=$2; shift 2 ;;
    *) echo "check-sys: unknown argument $1" >&2; exit 2 ;;
  esac
done

map="$out/devididi.map"
if [ -n "$image_name" ]; then
  image="$out/$image_name"
  map="$out/${image_name%.sys}.map"
  full=1
  [ -f "$image" ] || { echo "check-sys: FAILED: no $image" >&2; exit 1; }
elif [ -f "$out/devididi.sys" ]; then
  image="$out/devididi.sys"
  full=1
elif [ -f "$out/partial.sys" ]; then
  image="$out/partial.sys"
  full=0
else
  echo "check-sys: FAILED: no devididi.sys or partial.sys in $out (run build-sys.sh $out first)" >&2
  exit 1
fi
name=$(basename "$image")
failures=0
passed=0
failed() { echo "check-sys: FAILED: $name: $*" >&2; failures=$((failures + 1)); }
ok() { echo "check-sys: ok: $*"; passed=$((passed + 1)); }

headers=$("$objdump" -p "$image") || { echo "check-sys: FAILED: $objdump cannot read $image" >&2; exit 1; }
field() { awk -v f="$1" '$1 == f { print $2; exit }' <<<"$headers"; }

# ---- Subsystem ----
subsystem=$(field Subsystem)
if [ "$subsystem" = 00000001 ]; then
  ok "subsystem is native (1)"
else
  failed "subsystem is $subsystem, a driver needs native (00000001): link with --subsystem,native"
fi

# ---- Relocations: the system loads a driver wherever it has room ----
reloc_size=$(awk '$1 == "Entry" && $2 == "5" { print $4; exit }' <<<"$headers")
if grep -q 'relocations stripped' <<<"$headers" || [ -z "$reloc_size" ] || [ $((16#$reloc_size)) -eq 0 ]; then
  failed "carries no base relocations, so it cannot be loaded at another address"
else
  ok "base relocations present"
fi

# ---- Header checksum, computed here independently of the linker ----
lfanew=$(od -An -tu4 -j60 -N4 "$image" | tr -d ' ')
sum_offset=$((lfanew + 88))
size=$(stat -c %s "$image")
computed=$(od -An -v -tu2 "$image" | awk -v skip=$((sum_offset / 2)) -v size="$size" '
  { for (i = 1; i <= NF; i++) { if (w != skip && w != skip + 1) { s += $i; s = (s % 65536) + int(s / 65536) } w++ } }
  END { s = (s % 65536) + int(s / 65536); printf "%08x", s + size }')
stored=$(field CheckSum)
if [ "$computed" = "$stored" ]; then
  ok "header checksum $stored"
else
  failed "header checksum is $stored, the file sums to $computed"
fi

# ---- Imports ----
imports=$(awk '
  /^\tDLL Name: / { dll = tolower($3); print "DLL", dll; next }
  /^$/ { dll = "" }
  dll != "" && /^\t[0-9a-f]+\t/ { print (NF >= 3 ? "NAME " dll " " $3 : "ORDINAL " dll " " $2) }
' <<<"$headers")
dlls=$(awk '$1 == "DLL" { print $2 }' <<<"$imports" | sort -u | tr '\n' ' ')
if [ $full -eq 1 ]; then
  [ "$dlls" = "hal.dll ntoskrnl.exe " ] && ok "imports from hal.dll and ntoskrnl.exe" ||
    failed "imports from: ${dlls:-nothing}; a driver imports from exactly hal.dll and ntoskrnl.exe"
else
  bad=$(tr ' ' '\n' <<<"$dlls" | grep -v -x -e '' -e hal.dll -e ntoskrnl.exe | tr '\n' ' ')
  [ -z "$bad" ] && ok "imports only from hal.dll and ntoskrnl.exe" ||
    failed "imports from $bad; a driver imports from hal.dll and ntoskrnl.exe only"
fi
while read -r kind dll ordinal; do
  [ "$kind" = ORDINAL ] && failed "imports ordinal $ordinal from $dll; kernel services are imported by name"
done <<<"$imports"

if [ ! -f "$allow" ]; then
  failed "no allow-list $allow"
else
  listed=$(sed -e 's/#.*//' "$allow" | awk 'NF == 2 { print tolower($1), $2 } NF != 0 && NF != 2 { print "BAD", NR }' | sort -u)
  if grep -q '^BAD' <<<"$listed"; then
    failed "$allow: lines $(awk '$1 == "BAD" { printf "%s ", $2 }' <<<"$listed")are not 'DLL NAME'"
  fi
  used=$(awk '$1 == "NAME" { print $2, $3 }' <<<"$imports" | sort -u)
  unlisted=$(comm -23 <(echo "$used") <(echo "$listed") | grep -v '^$' || true)
  if [ -z "$unlisted" ]; then
    ok "all $(grep -c . <<<"$used") imported names are on $(basename "$allow")"
  else
    while read -r dll sym; do
      failed "imports $sym from $dll, which is not on $(basename "$allow"); add it there only if the driver" \
             "really needs it and both system families export it"
    done <<<"$unlisted"
  fi
  if [ $full -eq 1 ]; then
    unused=$(comm -13 <(echo "$used") <(grep -v '^BAD' <<<"$listed") | grep -v '^$' || true)
    if [ -z "$unused" ]; then
      ok "every name on $(basename "$allow") is imported"
    else
      while read -r dll sym; do
        failed "$(basename "$allow") lists $sym ($dll), which the driver does not import: remove it"
      done <<<"$unused"
    fi
  fi
fi

# ---- Only import stubs from the import libraries ----
if [ ! -f "$map" ]; then
  failed "no link map $map"
else
  static_members=$(awk '
    /^Archive member included/ { on = 1; next }
    on && /^(Discarded|Memory Configuration|Allocating common)/ { exit }
    on && /^[^ ].*\.a\(/ { member = $0; sub(/^.*\(/, "", member); sub(/\).*$/, "", member);
                           archive = $0; sub(/\(.*$/, "", archive); sub(/^.*\//, "", archive);
                           if (member !~ /^lib(ntoskrnl|hal)[sth][0-9]*\.o$/) { pending = archive "(" member ")" } else { pending = "" }
                           next }
    on && pending != "" { $1 = $1; print pending " for " $0; pending = "" }
  ' "$map")
  if [ -z "$static_members" ]; then
    ok "nothing linked from the import libraries but import stubs"
  else
    while read -r line; do
      failed "links code from an import library, not a kernel export: $line;" \
             "use a kernel service (e.g. RtlCompareMemory for memcmp) or write the routine in the driver"
    done <<<"$static_members"
  fi
fi

# ---- Sections that need a run-time library the kernel does not have ----
forbidden='^\.(ctors|dtors|init_array|fini_array|preinit_array|tls|CRT|eh_frame|gcc_except_table|pdata|xdata|debug_frame)([.$].*)?$'
section_problems=0
for file in "$out"/obj/*.o "$image"; do
  [ -e "$file" ] || continue
  while read -r section; do
    failed "$(basename "$file") has section $section: constructors, destructors, thread-local data" \
           "and unwind tables need a run-time library that the kernel does not have"
    section_problems=1
  done < <("$objdump" -h "$file" | awk '$1 ~ /^[0-9]+$/ { print $2 }' | grep -E "$forbidden")
done
[ $section_problems -eq 0 ] && ok "no constructor, destructor, TLS or unwind section in any object or the image"

# ---- Entry point ----
if [ $full -eq 1 ]; then
  base=$(field ImageBase)
  aep=$(field AddressOfEntryPoint)
  driver_entry=$(awk '($2 == "_DriverEntry@8" || $2 == "DriverEntry@8") && $1 ~ /^0x/ { print $1; exit }' "$map" 2>/dev/null)
  if [ -n "$driver_entry" ] && [ $((16#$base + 16#$aep)) -eq $((driver_entry)) ]; then
    ok "entry point is _DriverEntry@8"
  else
    failed "entry point is $base + $aep, _DriverEntry@8 is at ${driver_entry:-no address}"
  fi
fi

# ---- The debug device's service calls ----
if grep -q 'VIDOREDU_Get_Version' "$map" 2>/dev/null; then
  bytes=$(od -An -v -tx1 "$image" | tr -s ' \n' '  ')
  vxd_ok=1
  for service in 0 1; do
    # int 20h, dword 0x0327000N, add esp,4
    if ! grep -q " cd 20 0$service 00 27 03 83 c4 04 " <<<" $bytes "; then
      failed "no 'int 20h; dd 0x0327000$service; add esp,4' in the code: the service dword must be" \
             "an immediate right after int 20h (platform/nt/kernel_nt.h)"
      vxd_ok=0
    fi
  done
  [ $vxd_ok -eq 1 ] && ok "both debug-device services are called as int 20h with an immediate service dword"
fi

if [ $failures -eq 0 ]; then
  echo "check-sys: $name: $passed passed, 0 failed"
  exit 0
fi
echo "check-sys: $name: $passed passed, $failures failed" >&2
exit 1
