#!/usr/bin/env bash
# `bash scripts/run.sh` on a machine without a display: the demo clicks its
# way through the whole update by itself, saves a screenshot of every stage,
# names each and the outcome, and ends. It runs from a copy of the built
# programs in a temporary folder, so the downloads stay there too.
set -u
build_dir=$1
source_dir=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/run/app" "$work/run/tools"
cp "$build_dir/app/kelvane" "$work/run/app/"
cp "$build_dir/tools/kelvane_snap" "$work/run/tools/"

env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM KELVANE_RUN_DIR="$work/run" \
    timeout 200 bash "$source_dir/scripts/run.sh" >"$work/out.txt" 2>&1
rc=$?
cat "$work/out.txt"

fail=0
[ "$rc" -eq 0 ] || { echo "FAIL: exit code $rc (124 means it never ended)"; fail=1; }
for stage in 1-welcome 2-version 3-downloaded; do
    shot="$work/run/demo/$stage.png"
    head -c 8 "$shot" 2>/dev/null | cmp -s - <(printf '\x89PNG\r\n\x1a\n') || { echo "FAIL: no screenshot $shot"; fail=1; }
    grep -qxF "Screenshot: $shot" "$work/out.txt" || { echo "FAIL: the path of $stage was not shown"; fail=1; }
done
grep -qxF "The sample update ran: $work/run/app/SAMPLE-UPDATE-RAN.txt" "$work/out.txt" ||
    { echo "FAIL: the sample package's run was not shown"; fail=1; }
grep -q "^Recorded: ServerVersion=2.0.1" "$work/out.txt" || { echo "FAIL: the recorded version was not shown"; fail=1; }
if [ "$fail" -eq 0 ]; then echo "1 passed, 0 failed"; else echo "0 passed, 1 failed"; fi
exit "$fail"
