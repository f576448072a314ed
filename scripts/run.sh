#!/usr/bin/env bash
# Installs what is missing, builds Kelvane, starts the bundled local update
# server and runs the updater against it. Arguments go to kelvane ("Check",
# "/Auto"). The demo keeps its settings in build/demo-config, seeded with an
# installed version 1.0, so the settings of this machine are left alone.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/deps.sh" run
bash "$root/scripts/build.sh"

work=$(mktemp -d)
cleanup() {
    [ -f "$work/server.pid" ] && kill "$(cat "$work/server.pid")" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
base=$(bash "$root/server/serve.sh" "$work")
echo "Update server: $base"

export XDG_CONFIG_HOME="${KELVANE_DEMO_CONFIG:-$root/build/demo-config}"
mkdir -p "$XDG_CONFIG_HOME"
[ -f "$XDG_CONFIG_HOME/Quorant.conf" ] || printf '[General]\nCurrentProduct=1MR\nCurrentVersion=1.0\n' > "$XDG_CONFIG_HOME/Quorant.conf"
echo "Settings: $XDG_CONFIG_HOME/Quorant.conf"
export KELVANE_UPDATE_SERVER="$base"
if [ -z "${XDG_RUNTIME_DIR:-}" ]; then
    export XDG_RUNTIME_DIR="$work/runtime"
    mkdir -m 700 -p "$XDG_RUNTIME_DIR"
fi

kelvane=("$root/build/app/kelvane" "$@")
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] && [ "${1:-}" != Check ]; then
    echo "No display: running in a virtual X server (xvfb-run); the window is not visible from here."
    kelvane=(xvfb-run -a -s "-screen 0 1024x768x24" "${kelvane[@]}")
fi
rm -f "$root/build/app/SAMPLE-UPDATE-RAN.txt"
status=0
"${kelvane[@]}" || status=$?
# The package runs detached from the updater; give it a moment to leave its sign.
for _ in 1 2 3 4 5 6 7 8 9 10; do
    [ -f "$root/build/app/SAMPLE-UPDATE-RAN.txt" ] && break
    sleep 0.3
done
if [ -f "$root/build/app/SAMPLE-UPDATE-RAN.txt" ]; then
    echo "The sample update ran: $root/build/app/SAMPLE-UPDATE-RAN.txt"
fi
exit "$status"
