#!/usr/bin/env bash
# Renders the real window at every stage of an update into PNG files, in a
# virtual X server so that no display is needed: under the default palette in
# OUTPUT_FOLDER, under a dark and a high-contrast one in its subfolders dark/
# and high-contrast/. The program fails when a visible text does not stand out
# from its background.
#   render.sh KELVANE_SCREENS OUTPUT_FOLDER
set -euo pipefail
screens=$1
out=$2
rm -rf "$out"
mkdir -p "$out"
work=$(mktemp -d)
xvfb_pid=
cleanup() {
    [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT
export XDG_RUNTIME_DIR=${XDG_RUNTIME_DIR:-$work}
unset QT_QPA_PLATFORM
# An X server of its own: it picks a free display and writes its number once
# it takes connections, so tests that start one at the same time never share.
mkfifo "$work/display"
Xvfb -displayfd 3 -noreset -nolisten tcp -screen 0 1024x768x24 3>"$work/display" >"$work/xvfb.log" 2>&1 &
xvfb_pid=$!
display=
read -r -t 60 display <"$work/display" || true
[ -n "$display" ] || { echo "FAIL: no X server"; cat "$work/xvfb.log"; exit 1; }
DISPLAY=:$display "$screens" "$out"
count=$(find "$out" -name '*.png' | wc -l)
echo "$count pictures in $out"
for folder in "$out" "$out/dark" "$out/high-contrast"; do
    [ "$(find "$folder" -maxdepth 1 -name '*.png' | wc -l)" -ge 10 ] || {
        echo "FAIL: too few pictures in $folder"
        exit 1
    }
done
# Each is a PNG of the whole window: the signature, then the IHDR chunk with
# the width (400) and height (250) as four big-endian bytes each.
for png in "$out"/*.png "$out"/*/*.png; do
    header=$(od -An -tx1 -N24 "$png" | tr -d ' \n')
    [ "$header" = 89504e470d0a1a0a0000000d4948445200000190000000fa ] || {
        echo "FAIL: $png is not a 400x250 PNG (header $header)"
        exit 1
    }
done
