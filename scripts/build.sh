#!/usr/bin/env bash
# Configures and builds Kelvane into ./build (warnings on, tests included).
# KELVANE_WERROR=ON in the environment makes every warning an error.
# The compiler's output goes to build/build.log and is shown when it fails.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
mkdir -p "$root/build"
log="$root/build/build.log"
echo "Building into $root/build ..."
if ! { cmake -S "$root" -B "$root/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKELVANE_WERROR="${KELVANE_WERROR:-OFF}" &&
    cmake --build "$root/build" -j"$(nproc)"; } >"$log" 2>&1; then
    tail -n 60 "$log"
    echo "The build failed; the whole output is in $log" >&2
    exit 1
fi
if grep -q 'warning:' "$log"; then
    grep 'warning:' "$log" | sort -u
fi
