# Sourced by the command-line tests that drive the real window.
# wait_for SECONDS WHAT COMMAND... polls the command, quietly, every 50 ms
# until it succeeds; after SECONDS it says that WHAT did not come, shows the
# updater's log ($log) and fails.
wait_for() {
    local tries=$(($1 * 20)) what=$2 i
    shift 2
    for ((i = 0; i < tries; i++)); do
        "$@" >/dev/null 2>&1 && return 0
        sleep 0.05
    done
    echo "FAIL: $what did not come within $((tries / 20)) s; the updater's log:"
    cat "$log"
    return 1
}
# start_display FOLDER starts an X server of the test's own: it picks a free
# display itself and writes its number once it takes connections, and
# -noreset keeps it up between clients. Exports DISPLAY and sets xvfb_pid,
# for the caller to stop; fails, showing the server's log, when none comes.
start_display() {
    mkfifo "$1/display"
    Xvfb -displayfd 3 -noreset -nolisten tcp -screen 0 1024x768x24 3>"$1/display" >"$1/xvfb.log" 2>&1 &
    xvfb_pid=$!
    local display=
    read -r -t 60 display <"$1/display"
    [ -n "$display" ] || { echo "FAIL: no X server"; cat "$1/xvfb.log"; return 1; }
    export DISPLAY=:$display
}
