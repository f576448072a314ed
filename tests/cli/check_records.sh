#!/usr/bin/env bash
# The silent check against the bundled update server: the published version is
# recorded in the settings file, the other values stay, no window is needed,
# and the local copy of the version file is gone when the program ends, with
# status 0. Settings it must not touch, and a version file the server does
# not have, end the run by its timer too, with the reason on stderr and
# status 1: nothing was recorded.
set -u
kelvane=$1
source_dir=$2
. "$(dirname "$0")/bundled_server.sh" 1ZT 2.0
base=$(start_server "$source_dir") || { echo "0 passed, 1 failed"; exit 1; }
program_folder=$(dirname "$kelvane")

# Settings Kelvane must leave alone. A line without "=" is read past, but the
# file is not rewritten; a folder in its place cannot be read at all, and its
# boxes come before the event loop runs. Without a display each box goes to
# the standard error stream, never waits for a click, and the run ends by its
# timer. A server without the version file answers 404. These runs go beside
# the first, each with settings and a program folder of its own.
snapshot() { (cd "$1" && find . -printf '%p %y %s\n' | sort && find . -type f -exec cat {} +) | md5sum; }
damaged_runs=()
for damage in line folder 404; do
    d=$work/$damage
    mkdir -p "$d/config" "$d/prog"
    cp "$kelvane" "$d/prog/"
    server=$base
    case $damage in
    line) printf '[General]\nCurrentProduct=1ZT\nCurrentVersion=2.0\nthis line is broken\n' > "$d/config/Quorant.conf" ;;
    folder) mkdir "$d/config/Quorant.conf" ;;
    404) cp "$work/config/Quorant.conf" "$d/config/" && server=$base/missing ;;
    esac
    snapshot "$d/config" >"$d/before"
    (
        start=$(date +%s)
        env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM \
            XDG_CONFIG_HOME="$d/config" KELVANE_UPDATE_SERVER="$server" \
            timeout 60 "$d/prog/$(basename "$kelvane")" Check 2> "$d/stderr.txt"
        echo "$? $(( $(date +%s) - start ))" >"$d/result"
    ) &
    damaged_runs+=($!)
done

env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM \
    XDG_CONFIG_HOME="$work/config" KELVANE_UPDATE_SERVER="$base" \
    timeout 60 "$kelvane" Check
rc=$?

fail=0
[ "$rc" -eq 0 ] || { echo "FAIL: exit code $rc"; fail=1; }
grep -qx 'ServerVersion=2.0.1' "$work/config/Quorant.conf" || { echo "FAIL: ServerVersion not recorded"; fail=1; }
grep -qx 'CurrentProduct=1ZT' "$work/config/Quorant.conf" || { echo "FAIL: CurrentProduct lost"; fail=1; }
grep -qx 'CurrentVersion=2.0' "$work/config/Quorant.conf" || { echo "FAIL: CurrentVersion lost"; fail=1; }
grep -q 'GET /soft/veltrin_zent.txt' "$work/server/server.log" || { echo "FAIL: the edition's version file was not asked for"; fail=1; }
[ ! -e "$program_folder/veltrin_zent.txt" ] || { echo "FAIL: the local version file was left behind"; fail=1; }
cat "$work/config/Quorant.conf"

wait "${damaged_runs[@]}"
for damage in line folder 404; do
    d=$work/$damage
    case $damage in
    line) message='^kelvane\.check: nothing recorded: version 2\.0\.1, .* could not be saved in the settings file' ;;
    folder) message='Cannot read the settings file' ;;
    404) message='HTTP status 404' ;;
    esac
    read -r rc elapsed <"$d/result"
    cat "$d/stderr.txt"
    [ "$rc" -eq 1 ] || { echo "FAIL: $damage: exit code $rc, not 1 (124 means it never ended)"; fail=1; }
    [ "$elapsed" -ge 9 ] || { echo "FAIL: $damage: ended after ${elapsed}s, before its timer"; fail=1; }
    grep -q "$message" "$d/stderr.txt" || { echo "FAIL: $damage: \"$message\" not on stderr"; fail=1; }
    [ "$(snapshot "$d/config")" = "$(cat "$d/before")" ] || { echo "FAIL: $damage: the settings were changed"; fail=1; }
done
if [ "$fail" -eq 0 ]; then echo "1 passed, 0 failed"; else echo "0 passed, 1 failed"; fi
exit "$fail"
