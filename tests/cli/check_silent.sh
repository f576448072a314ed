#!/usr/bin/env bash
# The silent check as a scheduler runs it: no display, an update server that
# does not answer. It must show nothing, not abort, end by itself after its
# 10-second timer, leave the settings file exactly as it was, and end with
# status 1, so that a service manager shows the check as failed.
set -u
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# A copy of the program: its folder, which holds the lock and the downloads,
# is this test's own, so other tests can run at the same time.
mkdir -p "$work/config" "$work/prog"
cp "$1" "$work/prog/"
kelvane=$work/prog/$(basename "$1")
printf '[General]\nCurrentProduct=1ZT\nCurrentVersion=2.0\nServerVersion=1.9\n' > "$work/config/Quorant.conf"
cp "$work/config/Quorant.conf" "$work/before.conf"

# A port that was free a moment ago: nothing listens there.
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')

start=$(date +%s)
env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM \
    XDG_CONFIG_HOME="$work/config" KELVANE_UPDATE_SERVER="http://127.0.0.1:$port" \
    timeout 60 "$kelvane" Check > "$work/out.txt" 2>&1
rc=$?
elapsed=$(( $(date +%s) - start ))
cat "$work/out.txt"

fail=0
[ "$rc" -eq 1 ] || { echo "FAIL: exit code $rc, not 1 (124 means it never ended)"; fail=1; }
[ "$elapsed" -ge 9 ] || { echo "FAIL: ended after ${elapsed}s, before its timer"; fail=1; }
cmp -s "$work/before.conf" "$work/config/Quorant.conf" || { echo "FAIL: settings file changed"; diff "$work/before.conf" "$work/config/Quorant.conf"; fail=1; }
ls "$work/config"
if [ "$fail" -eq 0 ]; then echo "1 passed, 0 failed"; else echo "0 passed, 1 failed"; fi
exit "$fail"
