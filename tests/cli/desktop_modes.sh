#!/usr/bin/env bash
# The run modes on a real X server, driven from outside as a user would:
#  - a silent check that meets message boxes (a damaged settings file, a
#    server address it cannot use) still ends by its timer, and says on the
#    standard error stream what went wrong;
#  - a silent check that recorded nothing ends with status 1;
#  - Qt's own options are part of the argument text: "Check -reverse" is the
#    interactive mode, whose window appears; like "--help", it is no mode,
#    and one line on stderr names the modes; with no argument nothing is said;
#  - "/Auto" opens with the keyboard focus on an enabled button: Space
#    presses Cancel and the program ends.
set -u
work=$(mktemp -d)
xvfb_pid=
cleanup() {
    [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT
# A copy of the program: its folder holds the lock, so this test runs beside
# the others.
mkdir -p "$work/prog"
cp "$1" "$work/prog/"
kelvane=$work/prog/$(basename "$1")

. "$(dirname "$0")/virtual_display.sh"
start_display "$work" || { echo "0 passed, 1 failed"; exit 1; }
mkdir -p "$work/config" "$work/runtime"
chmod 700 "$work/runtime"
export XDG_CONFIG_HOME="$work/config" XDG_RUNTIME_DIR="$work/runtime"
unset QT_QPA_PLATFORM WAYLAND_DISPLAY

passed=0
failed=0
check() { # name, then a command that succeeds when the case holds
    local name=$1
    shift
    if "$@"; then
        passed=$((passed + 1))
    else
        echo "FAIL: $name"
        failed=$((failed + 1))
    fi
}

# 1. A silent check that raises boxes ends by its timer.
printf '[General\nCurrentProduct=1ZT\nServerVersion=1.9\n' >"$work/config/Quorant.conf"
cp "$work/config/Quorant.conf" "$work/before.conf"
KELVANE_UPDATE_SERVER="ftp://127.0.0.1:9" timeout 40 "$kelvane" Check >"$work/check.out" 2>"$work/check.err"
rc=$?
cat "$work/check.err"
check "silent check with boxes ends by its timer, status 1 (exit $rc)" test "$rc" -eq 1
check "silent check says on stderr what went wrong" test -s "$work/check.err"
check "silent check leaves the settings file alone" cmp -s "$work/before.conf" "$work/config/Quorant.conf"

# 2. "Check -reverse" is not the silent check, nor is "--help": the window
# appears after one line on stderr; with no argument, without a word.
printf '[General]\nCurrentVersion=1.0\n' >"$work/config/Quorant.conf"
modes='is not a mode; the modes are "Check" (silent check) and "/Auto" (start the check at once). Opening the wizard.'
for text in "Check -reverse" "--help" ""; do
    # Unquoted: the words of the text are the arguments.
    KELVANE_UPDATE_SERVER="http://127.0.0.1:9" "$kelvane" $text >"$work/text.out" 2>"$work/text.err" &
    pid=$!
    timeout 15 xdotool search --sync --onlyvisible --pid "$pid" --name '^VELTRIN Kelvane$' >/dev/null 2>&1
    check "\"$text\" shows the window" test $? -eq 0
    kill "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
    cat "$work/text.err"
    if [ -n "$text" ]; then
        check "\"$text\" names the modes on one line" test "$(cat "$work/text.err")" = "kelvane: \"$text\" $modes"
    else
        check "no argument: nothing on stderr" test ! -s "$work/text.err"
    fi
done

# 3. "/Auto": the focus is on an enabled button, so Space presses Cancel.
KELVANE_UPDATE_SERVER="http://127.0.0.1:9" "$kelvane" /Auto >"$work/auto.out" 2>&1 &
pid=$!
window=$(timeout 15 xdotool search --sync --onlyvisible --name '^VELTRIN Kelvane$' 2>/dev/null | head -n 1)
if [ -n "$window" ]; then
    xdotool windowfocus --sync "$window" 2>/dev/null
    sleep 0.5
    xdotool key space
fi
ended=1
for _ in $(seq 1 50); do
    if ! kill -0 "$pid" 2>/dev/null; then
        ended=0
        break
    fi
    sleep 0.1
done
check "Space on the /Auto window presses Cancel and ends the program" test "$ended" -eq 0
kill "$pid" 2>/dev/null
wait "$pid" 2>/dev/null

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
