#!/usr/bin/env bash
# Installs, from Debian's packages, whatever of the build's needs is missing. Safe to run again.
set -euo pipefail
need=()
for pkg in cmake ninja-build g++ googletest libgtest-dev libbenchmark-dev libboost-dev \
           g++-mingw-w64-i686-win32 mingw-w64-i686-dev binutils-mingw-w64-i686 g++-multilib \
           qemu-user clang libclang-rt-14-dev spin libcli11-dev valgrind libjs-chart.js chromium python3; do
  dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' || need+=("$pkg")
done
if [ ${#need[@]} -gt 0 ]; then
  echo "installing: ${need[*]}"
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO=sudo
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${need[@]}" >/dev/null
fi
