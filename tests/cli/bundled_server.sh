# Sourced by the command-line tests that run a silent check against the
# bundled update server. Sets $work, a folder removed at exit together with
# the server running in it, with settings for the installed edition, and
# copies the program that $kelvane names into $work/prog, then names the copy:
# the program's folder holds its lock and its downloads, so each test needs
# one of its own to run beside the others.
#   kelvane=PROGRAM; . bundled_server.sh PRODUCT VERSION
# start_server SOURCE_DIR prints the server's address, or fails.
work=$(mktemp -d)
cleanup() {
    [ -f "$work/server/server.pid" ] && kill "$(cat "$work/server/server.pid")" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT
mkdir -p "$work/config" "$work/prog"
cp "$kelvane" "$work/prog/"
kelvane=$work/prog/$(basename "$kelvane")
printf '[General]\nCurrentProduct=%s\nCurrentVersion=%s\n' "$1" "$2" >"$work/config/Quorant.conf"
start_server() { bash "$1/server/serve.sh" "$work/server" 2>/dev/null; }
