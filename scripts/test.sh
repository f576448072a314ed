#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/deps.sh" test
bash "$root/scripts/build.sh"
cd "$root/build"
ctest --output-on-failure --timeout 600 "$@"
