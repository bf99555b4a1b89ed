#!/usr/bin/env bash
# Installs Debian's 32-bit Wine for the Wine job when it is missing. Safe to run again.
# An i386 index of the mirror once came with the wrong size; the second attempt pins the
# security release low so that apt uses the main release's packages and goes on.
set -euo pipefail
if command -v wine >/dev/null 2>&1 && dpkg-query -W -f='${Status}' wine32:i386 2>/dev/null | grep -q 'install ok installed'; then
  exit 0
fi
SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO=sudo
apt_locked() { $SUDO fuser /var/lib/dpkg/lock-frontend /var/lib/dpkg/lock >/dev/null 2>&1; }
wait_lock() {
  local n=0
  while apt_locked; do
    [ $n -eq 0 ] && echo "wine-install: waiting for the dpkg lock"
    n=$((n + 1)); [ $n -gt 300 ] && { echo "wine-install: dpkg lock held for 5 minutes" >&2; exit 1; }
    sleep 1
  done
}
export DEBIAN_FRONTEND=noninteractive
$SUDO dpkg --add-architecture i386
pin=$(mktemp); trap 'rm -f "$pin"' EXIT
printf 'Package: *\nPin: release l=Debian-Security\nPin-Priority: 100\n' >"$pin"
for attempt in 1 2 3; do
  wait_lock
  opts=(-o DPkg::Lock::Timeout=120)
  [ $attempt -ge 2 ] && opts+=(-o "Dir::Etc::Preferences=$pin")
  # A faulty index makes update fail while the others are fresh: the install decides.
  $SUDO apt-get "${opts[@]}" update -qq || echo "wine-install: apt-get update reported a fault, going on" >&2
  if $SUDO apt-get "${opts[@]}" install -y -qq --no-install-recommends wine wine32 >/dev/null; then
    exit 0
  fi
  echo "wine-install: attempt $attempt failed, retrying" >&2
  sleep 2
done
echo "wine-install: could not install wine and wine32" >&2
exit 1
