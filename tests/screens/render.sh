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
# Each is a PNG of the whole window: the signature, then the IHDR chunk with
# the width (400) and height (250) as four big-endian bytes each.
for png in "$out"/*.png; do
    header=$(od -An -tx1 -N24 "$png" | tr -d ' \n')
    [ "$header" = 89504e470d0a1a0a0000000d4948445200000190000000fa ] || {
        echo "FAIL: $png is not a 400x250 PNG (header $header)"
        exit 1
    }
done
