#!/usr/bin/env bash
# The main job: the terminal simulator. Installs what the build needs if it is missing, configures
# and builds the default preset when needed, then runs devididi-sim with the arguments given
# (none: the default terminal for 5 seconds; --help lists the options and the script commands).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/install-deps.sh" >&2
(
  cd "$root"
  if [ ! -f build/default/build.ninja ]; then
    cmake --preset default >&2
  fi
  # Only the simulator and what it links; the build output goes to stderr, the run's to stdout.
  cmake --build --preset default --target devididi-sim >&2
)
exec "$root/build/default/tools/sim/devididi-sim" "$@"
