#!/usr/bin/env bash
# The image checks must accept a well-formed driver and refuse, with a message naming the fault,
# images that the kernel could not load or that would misbehave in it.
#
#   image-check-selftest.sh WORKDIR
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
work=${1:?usage: image-check-selftest.sh WORKDIR}
fixtures=$here/fixtures
passed=0
failed=0

# expect NAME FIXTURE ALLOW STATUS [MESSAGE]: builds FIXTURE.cpp, checks it against ALLOW and wants
# exit STATUS from the check and MESSAGE in its output.
expect() {
  local name=$1 fixture=$2 allow=$3 status=$4 message=${5:-}
  local dir="$work/$name" log="$work/$name.log" got
  rm -rf "$dir"
  if ! "$root/tools/ntbuild/build-sys.sh" "$dir" "$fixtures/$fixture.cpp" >"$log" 2>&1; then
    echo "FAILED: $name: the fixture $fixture.cpp does not build:"; cat "$log"
    failed=$((failed + 1))
    return
  fi
  "$root/tools/ntbuild/check-sys.sh" "$dir" --allow "$allow" >>"$log" 2>&1
  got=$?
  if [ $got -ne "$status" ]; then
    echo "FAILED: $name: check-sys.sh exited $got, expected $status:"; cat "$log"
    failed=$((failed + 1))
  elif [ -n "$message" ] && ! grep -qF -- "$message" "$log"; then
    echo "FAILED: $name: the output does not say \"$message\":"; cat "$log"
    failed=$((failed + 1))
  else
    echo "ok: $name"
    passed=$((passed + 1))
  fi
}

mkdir -p "$work"
allow=$fixtures/driver_ok.allow
{ cat "$allow"; echo "ntoskrnl.exe KeBugCheckEx"; } >"$work/extra.allow"

expect a_well_formed_driver_passes driver_ok "$allow" 0 "entry point is _DriverEntry@8"
expect a_global_constructor_is_refused global_ctor "$allow" 1 "has section .ctors"
expect an_unlisted_import_is_refused unlisted_import "$allow" 1 \
  "imports KeBugCheckEx from ntoskrnl.exe, which is not on driver_ok.allow"
expect a_listed_name_never_imported_is_refused driver_ok "$work/extra.allow" 1 \
  "lists KeBugCheckEx (ntoskrnl.exe), which the driver does not import"
expect runtime_code_from_an_import_library_is_refused static_runtime "$allow" 1 \
  "links code from an import library, not a kernel export: libntoskrnl.a(lib32_libntoskrnl_a-memcmp.o)"
expect a_service_dword_outside_the_code_is_refused runtime_service_dword "$allow" 1 \
  "no 'int 20h; dd 0x03270001; add esp,4' in the code"

echo "$passed passed, $failed failed"
[ $failed -eq 0 ]
