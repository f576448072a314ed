#!/usr/bin/env bash
# Ties an installed Kelvane folder into the user's desktop: the menu entry,
# its icons and the systemd user timer that runs the silent check daily.
# It lies in PREFIX/share/kelvane and works on the folder it lies in, wherever
# that was unpacked to.
#   user-setup.sh           writes the entry and the units for this folder and
#                           links them into the user's folders
#   user-setup.sh --files   only writes them inside this folder
#   user-setup.sh --remove  removes the links (the folder itself stays)
#   --prefix DIR            the folder the files name, when it differs from
#                           where they are written (staged installs)
# Nothing outside the folder is touched except with no option or --remove.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd -P)
root=$(cd "$here/../.." && pwd -P)
prefix=$root
mode=link
while [ $# -gt 0 ]; do
    case "$1" in
    --files) mode=files ;;
    --remove) mode=remove ;;
    --prefix)
        prefix=${2:?--prefix needs a folder}
        shift
        ;;
    *)
        echo "usage: user-setup.sh [--files|--remove] [--prefix DIR]" >&2
        exit 2
        ;;
    esac
    shift
done

data_home=${XDG_DATA_HOME:-$HOME/.local/share}
config_home=${XDG_CONFIG_HOME:-$HOME/.config}
units=(kelvane-check.service kelvane-check.timer)
sizes=(16 32 48 64 128 256)

# Each link is removed only when it still points into this folder.
unlink_ours() {
    if [ -L "$1" ] && [ "$(readlink "$1")" = "$2" ]; then
        rm -f "$1"
        echo "removed $1"
    fi
}

if [ "$mode" = remove ]; then
    if command -v systemctl >/dev/null && systemctl --user is-enabled kelvane-check.timer >/dev/null 2>&1; then
        systemctl --user disable --now kelvane-check.timer || true
    fi
    for unit in "${units[@]}"; do
        unlink_ours "$config_home/systemd/user/$unit" "$root/share/systemd/user/$unit"
    done
    unlink_ours "$data_home/applications/kelvane.desktop" "$root/share/applications/kelvane.desktop"
    for size in "${sizes[@]}"; do
        unlink_ours "$data_home/icons/hicolor/${size}x${size}/apps/kelvane.png" \
            "$root/share/icons/hicolor/${size}x${size}/apps/kelvane.png"
    done
    exit 0
fi

# The path goes into Exec= and ExecStart= in double quotes: blanks are fine,
# but characters that either format reads specially are refused rather than
# escaped differently for each.
case "$prefix" in
/*) ;;
*)
    echo "user-setup.sh: the folder must be an absolute path: $prefix" >&2
    exit 1
    ;;
esac
if printf '%s' "$prefix" | LC_ALL=C grep -q '["`$\\%'"'"']\|[[:cntrl:]]'; then
    echo "user-setup.sh: Kelvane cannot be set up in a folder whose path holds \" \` \$ \\ % ' or a control character: $prefix" >&2
    exit 1
fi

mkdir -p "$root/share/applications" "$root/share/systemd/user"
write() { # TEMPLATE TARGET: the template with this folder's path, renamed into place when whole
    local text
    text=$(<"$here/$1")
    printf '%s\n' "${text//@KELVANE_PREFIX@/"$prefix"}" >"$2.tmp"
    mv -f "$2.tmp" "$2"
}
write kelvane.desktop.in "$root/share/applications/kelvane.desktop"
for unit in "${units[@]}"; do
    write "$unit.in" "$root/share/systemd/user/$unit"
done
[ "$mode" = files ] && exit 0

link() { # FROM TO
    mkdir -p "$(dirname "$2")"
    ln -sfn "$1" "$2"
    echo "linked $2"
}
link "$root/share/applications/kelvane.desktop" "$data_home/applications/kelvane.desktop"
for size in "${sizes[@]}"; do
    link "$root/share/icons/hicolor/${size}x${size}/apps/kelvane.png" \
        "$data_home/icons/hicolor/${size}x${size}/apps/kelvane.png"
done
for unit in "${units[@]}"; do
    link "$root/share/systemd/user/$unit" "$config_home/systemd/user/$unit"
done
echo "To check daily and after log-in: systemctl --user daemon-reload && systemctl --user enable --now kelvane-check.timer"
