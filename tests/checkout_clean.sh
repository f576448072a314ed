#!/usr/bin/env bash
# Tests write only inside their own temporary folders. Run before every other
# test with "snapshot", and after all of them with "compare": any file that
# appeared in or vanished from the source tree in between fails the run. The
# build folder and version control's own folder are not part of the checkout.
#   checkout_clean.sh snapshot|compare SOURCE_DIR BUILD_DIR
set -u
mode=$1
source_dir=$(cd "$2" && pwd -P)
build_dir=$(mkdir -p "$3" && cd "$3" && pwd -P)
list="$build_dir/checkout-files.txt"

files() {
    find "$source_dir" \( -path "$build_dir" -o -path "$source_dir/.git" \) -prune -o -print | LC_ALL=C sort
}

case "$mode" in
snapshot)
    files >"$list"
    echo "1 passed, 0 failed"
    ;;
compare)
    if [ ! -f "$list" ]; then
        echo "no snapshot of the checkout was taken"
        echo "0 passed, 1 failed"
        exit 1
    fi
    changes=$(files | diff "$list" - | grep '^[<>]')
    if [ -n "$changes" ]; then
        echo "Files that appeared (>) in or vanished (<) from the checkout while the tests ran:"
        printf '%s\n' "$changes"
        echo "0 passed, 1 failed"
        exit 1
    fi
    echo "1 passed, 0 failed"
    ;;
*)
    echo "usage: checkout_clean.sh snapshot|compare SOURCE_DIR BUILD_DIR" >&2
    exit 2
    ;;
esac
