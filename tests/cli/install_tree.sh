#!/usr/bin/env bash
# What a vendor installs: `cmake --install` into a prefix with a blank in it,
# and the TGZ archive unpacked elsewhere and set up by its script. The desktop
# entry and the systemd user units pass their validators and name the real
# folder, and the installed program's silent check records the bundled
# server's version. Everything goes to a temporary folder.
set -u
build_dir=$1
source_dir=$2
work=$(mktemp -d)
had_manifest=0
[ -e "$build_dir/install_manifest.txt" ] && had_manifest=1
cleanup() {
    [ -f "$work/server/server.pid" ] && kill "$(cat "$work/server/server.pid")" 2>/dev/null
    # `cmake --install` always notes what it installed in the build folder.
    [ "$had_manifest" -eq 1 ] || rm -f "$build_dir/install_manifest.txt"
    rm -rf "$work"
}
trap cleanup EXIT
fail=0
check() { # WHAT COMMAND...: the command must succeed and print nothing
    local out
    out=$("${@:2}" 2>&1) && [ -z "$out" ] || { echo "FAIL: $1"; printf '%s\n' "$out"; fail=1; }
}
# systemd-analyze --user needs a runtime folder, though no user manager runs here.
mkdir -m 700 "$work/runtime"
export XDG_RUNTIME_DIR="$work/runtime" HOME="$work/home"
mkdir -p "$HOME"

validate() { # PREFIX: the entry and the units written for this prefix
    local units="$1/share/systemd/user"
    check "the desktop entry in $1 is not valid" desktop-file-validate "$1/share/applications/kelvane.desktop"
    grep -qxF "Exec=\"$1/bin/kelvane\"" "$1/share/applications/kelvane.desktop" ||
        { echo "FAIL: the desktop entry does not start $1/bin/kelvane"; fail=1; }
    check "the units in $1 are not valid" systemd-analyze verify --user "$units/kelvane-check.service" "$units/kelvane-check.timer"
}

prefix="$work/opt/veltrin with blank"
cmake --install "$build_dir" --prefix "$prefix" >"$work/install.log" 2>&1 ||
    { echo "FAIL: cmake --install"; cat "$work/install.log"; fail=1; }
validate "$prefix"
for size in 16 32 48 64 128 256; do
    # A PNG's width and height are the big-endian words at bytes 16 and 20.
    python3 -c 'import sys, struct; d = open(sys.argv[1], "rb").read(24); n = int(sys.argv[2])
sys.exit(d[:8] != b"\x89PNG\r\n\x1a\n" or struct.unpack(">II", d[16:24]) != (n, n))' \
        "$prefix/share/icons/hicolor/${size}x${size}/apps/kelvane.png" "$size" ||
        { echo "FAIL: no ${size}x${size} icon"; fail=1; }
done

# The installed program checks, in its own folder, against the bundled server;
# the check takes its 10 s while the archive is made and set up below.
mkdir -p "$work/config"
printf '[General]\nCurrentProduct=1MR\nCurrentVersion=1.0\n' >"$work/config/Quorant.conf"
base=$(bash "$source_dir/server/serve.sh" "$work/server" 2>/dev/null) || { echo "FAIL: no server"; fail=1; }
env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM XDG_CONFIG_HOME="$work/config" KELVANE_UPDATE_SERVER="$base" \
    timeout 60 "$prefix/bin/kelvane" Check 2>"$work/check.txt" &
check=$!

# The archive, unpacked into another folder and set up there.
cpack -G TGZ --config "$build_dir/CPackConfig.cmake" -B "$work/package" >"$work/cpack.log" 2>&1 ||
    { echo "FAIL: cpack"; cat "$work/cpack.log"; fail=1; }
mkdir -p "$work/unpacked"
tar -xzf "$work"/package/kelvane-*.tar.gz -C "$work/unpacked"
unpacked=$(echo "$work"/unpacked/kelvane-*)
[ ! -e "$unpacked/share/applications" ] || { echo "FAIL: the archive carries a desktop entry for the staging folder"; fail=1; }
bash "$unpacked/share/kelvane/user-setup.sh" >"$work/setup.log" 2>&1 || { echo "FAIL: user-setup.sh"; cat "$work/setup.log"; fail=1; }
validate "$unpacked"
while read -r link target; do
    [ "$(readlink -f "$HOME/$link")" = "$(readlink -f "$unpacked/$target")" ] ||
        { echo "FAIL: ~/$link does not lead to $target in the unpacked folder"; fail=1; }
done <<'LINKS'
.local/share/applications/kelvane.desktop share/applications/kelvane.desktop
.local/share/icons/hicolor/48x48/apps/kelvane.png share/icons/hicolor/48x48/apps/kelvane.png
.config/systemd/user/kelvane-check.service share/systemd/user/kelvane-check.service
.config/systemd/user/kelvane-check.timer share/systemd/user/kelvane-check.timer
LINKS
bash "$unpacked/share/kelvane/user-setup.sh" --remove >/dev/null 2>&1
left=$(find "$HOME" -type l)
[ -z "$left" ] || { echo "FAIL: --remove left links: $left"; fail=1; }

wait "$check"
grep -q '^kelvane.check: recorded ServerVersion 2.0.1' "$work/check.txt" && grep -qx 'ServerVersion=2.0.1' "$work/config/Quorant.conf" ||
    { echo "FAIL: the installed program's check recorded nothing"; cat "$work/check.txt"; fail=1; }

if [ "$fail" -eq 0 ]; then echo "1 passed, 0 failed"; else echo "0 passed, 1 failed"; fi
exit "$fail"
