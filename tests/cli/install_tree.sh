#!/usr/bin/env bash
# What a vendor and a distribution install: `cmake --install` into a prefix
# with a blank in it, the TGZ archive unpacked elsewhere and set up by its
# script, and the .deb. The desktop entry, the systemd user units, the
# AppStream metainfo and the package pass their validators (lintian without
# errors) and name the real folder; the manifest lists every installed file;
# user-setup.sh says in plain words what it cannot do; the installed
# program's silent check records the bundled server's version. Everything
# goes to a temporary folder.
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
    chmod -R u+w "$work"
    rm -rf "$work"
}
trap cleanup EXIT
fail=0
check() { # WHAT COMMAND...: the command must succeed and print nothing
    local out
    out=$("${@:2}" 2>&1) && [ -z "$out" ] || { echo "FAIL: $1"; printf '%s\n' "$out"; fail=1; }
}
cache() { sed -n "s/^$1:[A-Z]*=//p" "$build_dir/CMakeCache.txt"; }
# systemd-analyze --user needs a runtime folder, though no user manager runs here.
mkdir -m 700 "$work/runtime"
export XDG_RUNTIME_DIR="$work/runtime" HOME="$work/home"
mkdir -p "$HOME"
units_dir=lib/systemd/user
metainfo=share/metainfo/$(cache KELVANE_APPSTREAM_ID).metainfo.xml
version=$(cache CMAKE_PROJECT_VERSION)

validate() { # PREFIX: the entry and the units written for this prefix
    local units="$1/$units_dir"
    check "the desktop entry in $1 is not valid" desktop-file-validate "$1/share/applications/kelvane.desktop"
    grep -qxF "Exec=\"$1/bin/kelvane\"" "$1/share/applications/kelvane.desktop" ||
        { echo "FAIL: the desktop entry does not start $1/bin/kelvane"; fail=1; }
    check "the units in $1 are not valid" systemd-analyze verify --user "$units/kelvane-check.service" "$units/kelvane-check.timer"
}

prefix="$work/opt/veltrin with blank"
cmake --install "$build_dir" --prefix "$prefix" >"$work/install.log" 2>&1 ||
    { echo "FAIL: cmake --install"; cat "$work/install.log"; fail=1; }
cp "$build_dir/install_manifest.txt" "$work/manifest.txt"
validate "$prefix"
for size in 16 32 48 64 128 256; do
    # A PNG's width and height are the big-endian words at bytes 16 and 20.
    python3 -c 'import sys, struct; d = open(sys.argv[1], "rb").read(24); n = int(sys.argv[2])
sys.exit(d[:8] != b"\x89PNG\r\n\x1a\n" or struct.unpack(">II", d[16:24]) != (n, n))' \
        "$prefix/share/icons/hicolor/${size}x${size}/apps/kelvane.png" "$size" ||
        { echo "FAIL: no ${size}x${size} icon"; fail=1; }
done
# Every file installed is listed, and only those.
diff <(find "$prefix" ! -type d | sort) <(sort "$work/manifest.txt") >"$work/manifest.diff" ||
    { echo "FAIL: install_manifest.txt is not the list of installed files (< unlisted, > not installed)"; cat "$work/manifest.diff"; fail=1; }

# The manual page, compressed, renders without a warning (lintian's own check).
check "the manual page has warnings" bash -c 'LC_ALL=C.UTF-8 MANROFFSEQ="" MANWIDTH=80 \
    man --warnings -E UTF-8 -l -Tutf8 -Z "$1" >/dev/null' _ "$prefix/share/man/man1/kelvane.1.gz"

# The metainfo: valid, this build's release, and the menu entry's name and icon.
appstreamcli validate --no-net --no-color "$prefix/$metainfo" >"$work/appstream.txt" 2>&1 ||
    { echo "FAIL: the metainfo is not valid"; cat "$work/appstream.txt"; fail=1; }
python3 - "$prefix/$metainfo" "$prefix/share/applications/kelvane.desktop" "$version" <<'EOF' || fail=1
import sys, xml.etree.ElementTree as ET
info = ET.parse(sys.argv[1]).getroot()
entry = dict(l.rstrip("\n").split("=", 1) for l in open(sys.argv[2]) if "=" in l)
want = {"launchable": "kelvane.desktop", "name": entry["Name"], "icon": entry["Icon"],
        "releases/release[@version]": sys.argv[3]}
got = {"launchable": info.findtext("launchable"), "name": info.findtext("name"), "icon": info.findtext("icon"),
       "releases/release[@version]": info.find("releases/release").get("version")}
for key in want:
    if got[key] != want[key]:
        print(f"FAIL: the metainfo's {key} is {got[key]!r}, not {want[key]!r}")
        sys.exit(1)
EOF

# The installed program checks, in its own folder, against the bundled server;
# the check takes its 10 s while the packages are made and checked below.
mkdir -p "$work/config"
printf '[General]\nCurrentProduct=1MR\nCurrentVersion=1.0\n' >"$work/config/Quorant.conf"
base=$(bash "$source_dir/server/serve.sh" "$work/server" 2>/dev/null) || { echo "FAIL: no server"; fail=1; }
env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM XDG_CONFIG_HOME="$work/config" KELVANE_UPDATE_SERVER="$base" \
    timeout 60 "$prefix/bin/kelvane" Check 2>"$work/check.txt" &
check=$!

# Both packages from one run of cpack, which writes only into -B.
cpack -G "TGZ;DEB" --config "$build_dir/CPackConfig.cmake" -B "$work/package" >"$work/cpack.log" 2>&1 ||
    { echo "FAIL: cpack"; cat "$work/cpack.log"; fail=1; }

# The archive, unpacked into another folder and set up there.
mkdir -p "$work/unpacked"
tar -xzf "$work"/package/kelvane-*.tar.gz -C "$work/unpacked"
unpacked=$(echo "$work"/unpacked/kelvane-*)
[ ! -e "$unpacked/share/applications" ] || { echo "FAIL: the archive carries a desktop entry for the staging folder"; fail=1; }
grep -rlF _CPack_Packages "$unpacked" && { echo "FAIL: the archive names its staging folder"; fail=1; }
bash "$unpacked/share/kelvane/user-setup.sh" >"$work/setup.log" 2>&1 || { echo "FAIL: user-setup.sh"; cat "$work/setup.log"; fail=1; }
validate "$unpacked"
while read -r link target; do
    [ "$(readlink -f "$HOME/$link")" = "$(readlink -f "$unpacked/$target")" ] ||
        { echo "FAIL: ~/$link does not lead to $target in the unpacked folder"; fail=1; }
done <<LINKS
.local/share/applications/kelvane.desktop share/applications/kelvane.desktop
.local/share/icons/hicolor/48x48/apps/kelvane.png share/icons/hicolor/48x48/apps/kelvane.png
.config/systemd/user/kelvane-check.service $units_dir/kelvane-check.service
.config/systemd/user/kelvane-check.timer $units_dir/kelvane-check.timer
LINKS
bash "$unpacked/share/kelvane/user-setup.sh" --remove >/dev/null 2>&1
left=$(find "$HOME" -type l)
[ -z "$left" ] || { echo "FAIL: --remove left links: $left"; fail=1; }

# The .deb: its fields, its files for /usr, and lintian without errors.
deb=$(echo "$work"/package/kelvane_*.deb)
while read -r field want; do
    got=$(dpkg-deb -f "$deb" "$field")
    [ -n "$got" ] && [ "$got" = "${want:-$got}" ] || { echo "FAIL: the package's $field is \"$got\"${want:+, not \"$want\"}"; fail=1; }
done <<FIELDS
Version $version-1
Section $(cache KELVANE_PACKAGE_SECTION)
Maintainer $(cache KELVANE_PACKAGE_MAINTAINER)
Homepage $(cache KELVANE_HOMEPAGE)
Depends
FIELDS
dpkg-deb -f "$deb" Depends | grep -q 'libqt6widgets6' || { echo "FAIL: the package does not depend on Qt"; fail=1; }
dpkg-deb -c "$deb" | awk '{ print $6 }' >"$work/deb.txt"
wanted=(usr/bin/kelvane usr/share/applications/kelvane.desktop "usr/$units_dir/kelvane-check.service"
    "usr/$units_dir/kelvane-check.timer" "usr/$metainfo" usr/share/doc/kelvane/copyright
    usr/share/doc/kelvane/changelog.Debian.gz usr/share/man/man1/kelvane.1.gz)
for file in "${wanted[@]}"; do
    grep -qxF "./$file" "$work/deb.txt" || { echo "FAIL: the package lacks /$file"; fail=1; }
done
mkdir -p "$work/deb"
dpkg-deb -x "$deb" "$work/deb"
grep -qxF 'Exec="/usr/bin/kelvane"' "$work/deb/usr/share/applications/kelvane.desktop" &&
    grep -qxF 'ExecStart="/usr/bin/kelvane" Check' "$work/deb/usr/$units_dir/kelvane-check.service" ||
    { echo "FAIL: the package's entry and units do not start /usr/bin/kelvane"; fail=1; }
check "the package's desktop entry is not valid" desktop-file-validate "$work/deb/usr/share/applications/kelvane.desktop"
lintian --no-tag-display-limit "$deb" >"$work/lintian.txt" 2>&1
grep -q '^E:' "$work/lintian.txt" && { echo "FAIL: lintian reports errors"; cat "$work/lintian.txt"; fail=1; }

# user-setup.sh run by a user who cannot write the folder, as on a system-wide
# install (as root: run as nobody). It says what it could not do and what to
# do instead, never a raw error of the shell or a tool; nothing it cannot do
# makes it fail, and it leaves nothing in the user's home when the desktop and
# systemd read the folder already. A file of the user's own is never replaced.
user=$work/user
mkdir -p "$user/home" "$user/runtime" "$user/own/applications" "$user/readonly"
echo "the user's own entry" >"$user/own/applications/kelvane.desktop"
chmod -R a-w "$work/deb" "$user/readonly"
chmod 755 "$work"
as_user=()
if [ "$(id -u)" -eq 0 ]; then
    chown -R 65534 "$user/home" "$user/runtime" "$user/own"
    as_user=(setpriv --reuid=65534 --regid=65534 --clear-groups)
fi
chmod 700 "$user/runtime"
setup() { # ENV-WORDS ARGS...: the .deb's user-setup.sh, for a desktop and a systemd that read the .deb's folders
    # shellcheck disable=SC2086 # ENV-WORDS are words
    env -u XDG_CONFIG_HOME -u XDG_DATA_HOME HOME="$user/home" XDG_RUNTIME_DIR="$user/runtime" \
        XDG_DATA_DIRS="$work/deb/usr/share" SYSTEMD_UNIT_PATH="$work/deb/usr/$units_dir" $1 \
        "${as_user[@]}" bash "$work/deb/usr/share/kelvane/user-setup.sh" "${@:2}"
}
while IFS='|' read -r what status says env args; do
    # shellcheck disable=SC2086 # ARGS are words
    setup "$env" $args >"$user/out.txt" 2>&1
    got=$?
    [ "$got" -eq "$status" ] && { [ -z "$says" ] || grep -qF -- "$says" "$user/out.txt"; } &&
        ! grep -Eq '^(mkdir|ln|rm|mv|cat|readlink): |line [0-9]+: ' "$user/out.txt" ||
        { echo "FAIL: user-setup.sh $what: status $got (wanted $status), \"$says\" or a raw error:"; cat "$user/out.txt"; fail=1; }
done <<CASES
on an install for every user|0|Kelvane in $work/deb/usr is installed for every user||--prefix /usr
on it, --files|0|||--files --prefix /usr
finding its files name another folder|1|sudo "$work/deb/usr/share/kelvane/user-setup.sh" --files||
unable to make the folders for its links|1|could not make the folder $user/readonly/data/applications|XDG_DATA_DIRS=/nowhere SYSTEMD_UNIT_PATH=/nowhere XDG_DATA_HOME=$user/readonly/data XDG_CONFIG_HOME=$user/readonly/config|--prefix /usr
finding the user's own file where a link goes|1|$user/own/applications/kelvane.desktop already exists and is not a link|XDG_DATA_DIRS=/nowhere XDG_DATA_HOME=$user/own|--prefix /usr
CASES
[ -z "$(find "$user/home" ! -type d)" ] || { echo "FAIL: user-setup.sh left files in the home of a user of a system-wide install"; fail=1; }
grep -qx "the user's own entry" "$user/own/applications/kelvane.desktop" || { echo "FAIL: user-setup.sh replaced the user's own file"; fail=1; }

wait "$check"
grep -q '^kelvane.check: recorded ServerVersion 2.0.1' "$work/check.txt" && grep -qx 'ServerVersion=2.0.1' "$work/config/Quorant.conf" ||
    { echo "FAIL: the installed program's check recorded nothing"; cat "$work/check.txt"; fail=1; }

# Removing every file the manifest lists leaves none behind.
while IFS= read -r file || [ -n "$file" ]; do rm -f "$file"; done <"$work/manifest.txt"
left=$(find "$prefix" ! -type d)
[ -z "$left" ] || { echo "FAIL: removing by install_manifest.txt left: $left"; fail=1; }

if [ "$fail" -eq 0 ]; then echo "1 passed, 0 failed"; else echo "0 passed, 1 failed"; fi
exit "$fail"
