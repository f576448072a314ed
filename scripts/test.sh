#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/deps.sh" test
bash "$root/scripts/build.sh"
cd "$root/build"
# Side by side, two per processor: most tests wait on timers, servers and
# X servers rather than compute. Each has a program folder of its own.
ctest --output-on-failure --timeout 600 -j"$(($(nproc) * 2))" "$@"
