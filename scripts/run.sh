#!/usr/bin/env bash
# Installs what is missing, builds Kelvane, starts the bundled local update
# server and runs the updater against it. Arguments go to kelvane ("Check",
# "/Auto"). The demo keeps its settings in build/demo-config, seeded with an
# installed version 1.0, so the settings of this machine are left alone.
#
# Without a display the window runs in a virtual X server and the demo plays
# the whole update by itself (scripts/demo.sh): Next, Next, Setup, with a
# screenshot of every stage in build/demo/. With a display it waits for you.
#
# KELVANE_RUN_DIR names a folder that already holds a built app/kelvane and
# tools/kelvane_snap: then nothing is installed or built, and the settings,
# the screenshots and the downloads stay in that folder.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
if [ -n "${KELVANE_RUN_DIR:-}" ]; then
    build=$(cd "$KELVANE_RUN_DIR" && pwd)
else
    bash "$root/scripts/deps.sh" run
    bash "$root/scripts/build.sh"
    build=$root/build
fi
app=$build/app

work=$(mktemp -d)
xvfb_pid=
cleanup() {
    [ -f "$work/server.pid" ] && kill "$(cat "$work/server.pid")" 2>/dev/null || true
    [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
base=$(bash "$root/server/serve.sh" "$work")
echo "Update server: $base"

export XDG_CONFIG_HOME="${KELVANE_DEMO_CONFIG:-$build/demo-config}"
mkdir -p "$XDG_CONFIG_HOME"
[ -f "$XDG_CONFIG_HOME/Quorant.conf" ] || printf '[General]\nCurrentProduct=1MR\nCurrentVersion=1.0\n' > "$XDG_CONFIG_HOME/Quorant.conf"
echo "Settings: $XDG_CONFIG_HOME/Quorant.conf"
export KELVANE_UPDATE_SERVER="$base"
if [ -z "${XDG_RUNTIME_DIR:-}" ]; then
    export XDG_RUNTIME_DIR="$work/runtime"
    mkdir -m 700 -p "$XDG_RUNTIME_DIR"
fi

rm -f "$app/SAMPLE-UPDATE-RAN.txt"
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] && [ "$*" != Check ]; then
    echo "No display: the demo plays the update by itself in a virtual X server."
    # Xvfb picks a free display itself and writes its number once it takes
    # connections (-displayfd), so demos started at once never share one;
    # -noreset keeps it up while no client is connected.
    mkfifo "$work/display"
    Xvfb -displayfd 3 -noreset -nolisten tcp -screen 0 1024x768x24 3>"$work/display" >"$work/xvfb.log" 2>&1 &
    xvfb_pid=$!
    display=
    read -r -t 60 display <"$work/display" || true
    if [ -z "$display" ]; then
        echo "The virtual X server did not start:" >&2
        cat "$work/xvfb.log" >&2
        exit 1
    fi
    # The demo bounds every wait of its own; the outer bound only catches
    # what it did not foresee.
    status=0
    DISPLAY=":$display" timeout -k 5 180 bash "$root/scripts/demo.sh" "$build" "$build/demo" "$@" || status=$?
    [ "$status" -eq 124 ] && echo "The demo did not end within 180 seconds and was stopped." >&2
    exit "$status"
fi

status=0
"$app/kelvane" "$@" || status=$?
# The package runs detached from the updater; give it a moment to leave its sign.
for _ in 1 2 3 4 5 6 7 8 9 10; do
    [ -f "$app/SAMPLE-UPDATE-RAN.txt" ] && break
    sleep 0.3
done
if [ -f "$app/SAMPLE-UPDATE-RAN.txt" ]; then
    echo "The sample update ran: $app/SAMPLE-UPDATE-RAN.txt"
fi
exit "$status"
