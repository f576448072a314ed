#!/usr/bin/env bash
# The headless demo, run by scripts/run.sh inside a virtual X server: starts
# the updater, clicks Next, Next and Setup as a user would (xdotool), saves a
# screenshot of every stage and reports the outcome. Every wait is bounded; a
# stage that does not come ends the demo with the updater's log.
#   demo.sh BUILD_DIR OUTPUT_DIR [kelvane arguments]
set -uo pipefail
build=$1
out=$2
shift 2
app=$build/app
rm -rf "$out"
mkdir -p "$out"
log=$out/kelvane.log

# The updater's detail lines tell when a stage is reached.
QT_LOGGING_RULES="kelvane.*.debug=true" "$app/kelvane" "$@" 2>"$log" &
pid=$!
wid=

# Whether the updater still runs (it stays a zombie until it is waited for).
alive() { [ "$(ps -o stat= -p "$pid" 2>/dev/null | cut -c1)" != Z ] && kill -0 "$pid" 2>/dev/null; }

finish() { # STATUS MESSAGE
    if alive; then
        kill "$pid" 2>/dev/null
    fi
    wait "$pid" 2>/dev/null
    if [ "$1" -ne 0 ]; then
        echo "Demo failed: $2" >&2
        echo "--- the updater's log ($log):" >&2
        cat "$log" >&2
    else
        echo "$2"
    fi
    exit "$1"
}

# wait_for SECONDS WHAT COMMAND...: polls the command until it succeeds.
wait_for() {
    local tries=$(($1 * 5)) what=$2
    shift 2
    for ((i = 0; i < tries; i++)); do
        "$@" >/dev/null 2>&1 && return 0
        [ "$what" = "the updater's end" ] || alive || finish 1 "the updater ended while waiting for $what"
        sleep 0.2
    done
    finish 1 "$what did not come within $((tries / 5)) seconds"
}
logged() { grep -q -- "$1" "$log"; }

snap() { # NAME: a moment for the window to repaint, then its picture
    sleep 0.5
    if "$build/tools/kelvane_snap" "$wid" "$out/$1.png"; then
        echo "Screenshot: $out/$1.png"
    else
        finish 1 "no screenshot of the stage $1"
    fi
}

# The window has a fixed size; its buttons sit at fixed places in it. A click
# needs no window manager, where a key press would need one to give the
# window the keyboard focus.
press() { # next|setup
    local x=355
    [ "$1" = setup ] && x=270
    xdotool mousemove --window "$wid" "$x" 228 click 1 || finish 1 "the button $1 could not be clicked"
}

find_window() {
    wid=$(xdotool search --onlyvisible --name '^VELTRIN Kelvane$' | head -n 1)
    [ -n "$wid" ]
}
wait_for 20 "the window" find_window
if [ "$*" != /Auto ]; then
    snap 1-welcome
    press next
fi
wait_for 30 "the version check" logged "ServerVersion set to"
snap 2-version
press next
wait_for 60 "the package" logged "stored .* bytes in .*Update"
snap 3-downloaded
press setup

ended() { ! alive; }
wait_for 10 "the updater's end" ended
wait "$pid"
status=$?
[ "$status" -eq 0 ] || finish 1 "the updater ended with exit code $status"
wait_for 10 "the sample package's sign" test -f "$app/SAMPLE-UPDATE-RAN.txt"
echo "The sample update ran: $app/SAMPLE-UPDATE-RAN.txt"
echo "Recorded: $(grep '^ServerVersion=' "${XDG_CONFIG_HOME:-$HOME/.config}/Quorant.conf") in ${XDG_CONFIG_HOME:-$HOME/.config}/Quorant.conf"
finish 0 "The demo ended: every stage was reached (the updater's log: $log)."
