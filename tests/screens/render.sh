#!/usr/bin/env bash
# Renders the real window at every stage of an update into PNG files, in a
# virtual X server so that no display is needed.
#   render.sh KELVANE_SCREENS OUTPUT_FOLDER
set -euo pipefail
screens=$1
out=$2
rm -rf "$out"
mkdir -p "$out"
export XDG_RUNTIME_DIR=${XDG_RUNTIME_DIR:-$(mktemp -d)}
unset QT_QPA_PLATFORM
xvfb-run -a -s "-screen 0 1024x768x24" "$screens" "$out"
count=$(find "$out" -name '*.png' | wc -l)
echo "$count pictures in $out"
[ "$count" -ge 10 ]
