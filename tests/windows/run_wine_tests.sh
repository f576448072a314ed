#!/usr/bin/env bash
# Cross-builds the Windows registry store and shell hand-off with mingw-w64
# and runs their checks under Wine, in a Wine prefix of its own that is
# removed afterwards. Runs them twice: in a single-byte ANSI code page (1252)
# and in a double-byte one (932), where byte and character counts differ.
#
# Usage: run_wine_tests.sh SOURCE_DIR WORK_DIR [MINGW_CXX] [WINE]
set -u

src=${1:?source directory}
work=${2:?work directory}
cxx=${3:-}
wine=${4:-}

# A tool that was missing when CMake looked may have been installed since.
resolve() {
    local given=$1 name=$2
    if [[ -n $given && $given != *NOTFOUND && -x $given ]]; then
        echo "$given"
    else
        command -v "$name" || true
    fi
}
cxx=$(resolve "$cxx" x86_64-w64-mingw32-g++)
wine=$(resolve "$wine" wine)
missing=0
[[ -n $cxx ]] || { echo "FAIL x86_64-w64-mingw32-g++ not found"; missing=1; }
[[ -n $wine ]] || { echo "FAIL wine not found"; missing=1; }
if ((missing)); then
    echo "Install them with: apt-get install -y --no-install-recommends g++-mingw-w64-x86-64 wine wine64"
    exit 1
fi
wineserver=$(dirname "$wine")/wineserver
[[ -x $wineserver ]] || wineserver=$(command -v wineserver || echo wineserver)

mkdir -p "$work" || exit 1
# Without -static the programs need mingw's runtime libraries beside them,
# and Wine ends them with code 53 and no message.
# Headers are included as "folder/File.h"; the host layer's core lies in
# host/core, as the build's include folders have it.
mkdir -p "$work/include" && ln -sfn "$src/host/core" "$work/include/host" || exit 1
flags=(-static -std=c++17 -O1 -Wall -Wextra -I"$work/include" -I"$src")
"$cxx" "${flags[@]}" "$src/tests/windows/marker_helper.cpp" -o "$work/kelvane_marker_helper.exe" || exit 1
"$cxx" "${flags[@]}" \
    "$src/settings/RegistryBackend_win.cpp" \
    "$src/host/core/ShellExecute_win.cpp" \
    "$src/tests/windows/tst_windows_backends.cpp" \
    -ladvapi32 -lshell32 -o "$work/tst_windows_backends.exe" || exit 1

prefix=$(mktemp -d "${TMPDIR:-/tmp}/kelvane-wine.XXXXXX") || exit 1
cleanup() {
    WINEPREFIX=$prefix "$wineserver" -k 2>/dev/null
    rm -rf "$prefix"
}
trap cleanup EXIT
trap 'exit 1' INT TERM

export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY

# The first start fills the new prefix (its registry among it) in the
# background; let that end before the checks read and write the registry.
"$wine" wineboot -i >/dev/null 2>&1
"$wineserver" -w

status=0
for run in "en_US.UTF-8 1252" "ja_JP.UTF-8 932"; do
    read -r locale codepage <<<"$run"
    echo "== ANSI code page $codepage"
    LC_ALL=$locale "$wine" "$work/tst_windows_backends.exe" --expect-acp "$codepage" || status=1
done
exit $status
