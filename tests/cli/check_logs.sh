#!/usr/bin/env bash
# A silent check that fails leaves its reason where a scheduler's journal
# finds it: stderr names the address, the HTTP status and what was (not)
# recorded, on warning lines that are on without any logging rules.
set -u
kelvane=$1
source_dir=$2
. "$(dirname "$0")/bundled_server.sh" 1MR 1.0
base=$(start_server "$source_dir") || { echo "0 passed, 1 failed"; exit 1; }

env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM -u QT_LOGGING_RULES \
    XDG_CONFIG_HOME="$work/config" KELVANE_UPDATE_SERVER="$base/missing" \
    timeout 60 "$kelvane" Check 2>"$work/stderr.txt"
rc=$?
cat "$work/stderr.txt"

fail=0
expect() { # WHAT PATTERN
    grep -q -- "$2" "$work/stderr.txt" || { echo "FAIL: stderr does not name $1 ($2)"; fail=1; }
}
[ "$rc" -eq 0 ] || { echo "FAIL: exit code $rc"; fail=1; }
expect "the failed download, its address and status" \
    "^kelvane.download: $base/missing/soft/veltrin_marlo.txt: .*failed.*HTTP status 404"
expect "the check's result" "^kelvane.check: nothing recorded"
if [ "$fail" -eq 0 ]; then echo "1 passed, 0 failed"; else echo "0 passed, 1 failed"; fi
exit "$fail"
