#!/usr/bin/env bash
# The demo: installs what is missing (Debian 12), builds the gateway and the
# demo program, and runs the gateway once against a throwaway provider
# mailbox and a throwaway local mail server, showing what it did.
#   TALLOWMERE_DEMO_BUILD  build directory (default build/, the Debug build)
set -euo pipefail
cd "$(dirname "$0")/.."

tools/install_packages.sh cmake ninja-build g++ libfaketime \
  googletest libgtest-dev libgmock-dev libncurses-dev

build=${TALLOWMERE_DEMO_BUILD:-build}
echo "Building quillon and the demo in $build/ ..."
log=$(mktemp)
trap 'rm -f "$log"' EXIT
if ! { cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug &&
       ninja -C "$build" quillon quillon_demo; } >"$log" 2>&1; then
  cat "$log"
  exit 1
fi
echo

# The servers listen on ports 110 and 25, which takes root.
as_root=(); [ "$(id -u)" -eq 0 ] || as_root=(sudo)
"${as_root[@]}" "$build/bin/quillon_demo"
