#!/usr/bin/env bash
# An install for every user, driven from outside as a user would: an ordinary
# user whose program folder is not theirs to write runs two whole updates
# (Next, Next, Setup) against the bundled server, under a virtual X server.
# The version file, the lock and the package go to that user's cache folder
# ($XDG_CACHE_HOME/Kelvane, made for that user alone); the package is handed
# off with the program folder as its working directory; nothing new appears
# in the program folder; after the second update only its package remains.
# Run as root, the user is nobody (setpriv, or else runuser); the test is
# skipped (exit 77) when root can switch to neither.
#   every_user.sh KELVANE SOURCE_DIR
set -u
kelvane=$1
source_dir=$2
as_user=()
if [ "$(id -u)" -eq 0 ]; then
    if setpriv --reuid=65534 --regid=65534 --clear-groups true 2>/dev/null; then
        as_user=(setpriv --reuid=65534 --regid=65534 --clear-groups)
    elif runuser -u nobody -- true 2>/dev/null; then
        as_user=(runuser -u nobody --)
    else
        echo "SKIP: run as root, and neither setpriv nor runuser can switch to the user nobody (65534)"
        exit 77
    fi
fi
. "$(dirname "$0")/bundled_server.sh" 1MR 1.0
base=$(start_server "$source_dir") || { echo "0 passed, 1 failed"; exit 1; }
xvfb_pid=
prog=$(dirname "$kelvane")
trap '[ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null; chmod 755 "$prog"; cleanup' EXIT

# The user's own home: settings, cache (not there yet) and runtime folder.
home=$work/home
mkdir -p "$home/config" "$home/runtime"
cp "$work/config/Quorant.conf" "$home/config/"
chmod 755 "$work"
chmod 700 "$home/runtime"
[ "${#as_user[@]}" -eq 0 ] || chown -R 65534:65534 "$home"
# The program folder: the user may not make a file in it. The sample package
# leaves its sign in its working directory, in a file the user may write.
touch "$prog/SAMPLE-UPDATE-RAN.txt"
chmod 666 "$prog/SAMPLE-UPDATE-RAN.txt"
chmod 555 "$prog"
before=$(ls -A "$prog")
cache=$home/cache/Kelvane
# A sanitizer build's settings reach the user's program too, with their
# suppression files copied where that user may read them.
sanitizer_env=()
for var in ASAN_OPTIONS LSAN_OPTIONS UBSAN_OPTIONS; do
    value=${!var-}
    [ -n "$value" ] || continue
    if [[ $value =~ suppressions=([^:]+) ]]; then
        cp "${BASH_REMATCH[1]}" "$work/$var.supp" && chmod 644 "$work/$var.supp"
        value=${value/"${BASH_REMATCH[1]}"/"$work/$var.supp"}
    fi
    sanitizer_env+=("$var=$value")
done

. "$(dirname "$0")/virtual_display.sh"
start_display "$work" || { echo "0 passed, 1 failed"; exit 1; }

fail=0
log= pid= wid=
alive() { [ "$(ps -o stat= -p "$pid" 2>/dev/null | cut -c1)" != Z ] && kill -0 "$pid" 2>/dev/null; }
ended() { ! alive; }
find_window() { wid=$(xdotool search --onlyvisible --name '^VELTRIN Kelvane$' | head -n 1) && [ -n "$wid" ]; }
click() { xdotool mousemove --window "$wid" "$1" 228 click 1; } # 355: Next, 270: Setup
# update NAME VERSION: one whole update as the user, Next, Next, Setup, until
# the package handed off has left its sign; the updater's log is $work/NAME.log.
update() {
    log=$work/$1.log
    "${as_user[@]}" env -i PATH="$PATH" HOME="$home" DISPLAY="$DISPLAY" XDG_CONFIG_HOME="$home/config" \
        XDG_CACHE_HOME="$home/cache" XDG_RUNTIME_DIR="$home/runtime" KELVANE_UPDATE_SERVER="$base" \
        QT_LOGGING_RULES="kelvane.*.debug=true" "${sanitizer_env[@]}" "$kelvane" 2>"$log" &
    pid=$!
    wait_for 20 "the window" find_window &&
        click 355 && wait_for 30 "the version check" grep -q "ServerVersion set to" "$log" &&
        click 355 && wait_for 60 "the package" grep -q "stored .* bytes in $cache/Update" "$log" &&
        click 270 && wait_for 10 "the updater's end" ended &&
        wait_for 10 "the package's sign" grep -qxF "Package: $cache/Update$2.EXE" "$prog/SAMPLE-UPDATE-RAN.txt" ||
        { fail=1; kill "$pid" 2>/dev/null; }
    wait "$pid" || { echo "FAIL: $1: exit status $?"; fail=1; }
}
expect() { # COMMAND...: a fact that must hold
    "$@" || { echo "FAIL: $*"; fail=1; }
}

update first 201
expect test -f "$cache/Update201.EXE"
expect test "$(stat -c %a "$home/cache")" = 700
expect test "$(stat -c %a "$cache")" = 700
expect grep -qxF "Folder:  $prog" "$prog/SAMPLE-UPDATE-RAN.txt"
expect grep -qx 'ServerVersion=2.0.1' "$home/config/Quorant.conf"
expect test ! -e "$cache/veltrin_marlo.txt"

# The server publishes 2.0.2; the first update's package is Kelvane's own.
bash "$source_dir/tools/publish.sh" veltrin_marlo.txt "Veltrin Marlo" 2.0.2 "$source_dir/server/packages/sample-update.sh" \
    "$base/packages/veltrin-marlo-2.0.2.sh" "" "$work/server/www" >/dev/null 2>&1 || expect false
update second 202
expect test -f "$cache/Update202.EXE"
expect test ! -e "$cache/Update201.EXE"
expect test "$(cut -f1 "$cache/Kelvane.packages")" = Update202.EXE
expect test "$(ls -A "$prog")" = "$before"

cat "$work/first.log" "$work/second.log" "$prog/SAMPLE-UPDATE-RAN.txt"; ls -la "$cache"
if [ "$fail" -eq 0 ]; then echo "1 passed, 0 failed"; else echo "0 passed, 1 failed"; fi
exit "$fail"
