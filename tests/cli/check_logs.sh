#!/usr/bin/env bash
# A silent check that fails leaves its reason where a scheduler's journal
# finds it: stderr names the address, the HTTP status and what was (not)
# recorded, on warning lines that are on without any logging rules. What the
# server sends stays inside the line that quotes it: a line feed in the
# published version cannot forge a line of the updater's own.
set -u
kelvane=$1
source_dir=$2
. "$(dirname "$0")/bundled_server.sh" 1MR 1.0
base=$(start_server "$source_dir") || { echo "0 passed, 2 failed"; exit 1; }

passed=0 failed=0 fail=0
runs=()
check() { # CASE SERVER_URL: a silent check against it, in the background, with
    # settings and a program folder of its own; its stderr goes to $work/CASE/stderr.txt
    local d=$work/$1
    mkdir -p "$d/prog"
    cp -r "$work/config" "$d/config"
    cp "$kelvane" "$d/prog/"
    (
        env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM -u QT_LOGGING_RULES \
            XDG_CONFIG_HOME="$d/config" KELVANE_UPDATE_SERVER="$2" \
            timeout 60 "$d/prog/$(basename "$kelvane")" Check 2>"$d/stderr.txt"
        echo "$?" >"$d/rc"
    ) &
    runs+=($!)
}
ended() { # CASE: the check's stderr in $stderr, and its exit code checked: 1,
    # as both checks record nothing
    stderr=$work/$1/stderr.txt
    cat "$stderr"
    [ "$(cat "$work/$1/rc")" = 1 ] || { echo "FAIL: $1: exit code $(cat "$work/$1/rc"), not 1"; fail=1; }
}
expect() { # WHAT PATTERN
    grep -q -- "$2" "$stderr" || { echo "FAIL: stderr does not name $1 ($2)"; fail=1; }
}
refuse() { # WHAT PATTERN
    ! grep -q -- "$2" "$stderr" || { echo "FAIL: stderr holds $1 ($2)"; fail=1; }
}
tally() {
    if [ "$fail" -eq 0 ]; then passed=$((passed + 1)); else failed=$((failed + 1)); fi
    fail=0
}

# A version line that carries a line feed and a forged line after it.
forged="kelvane.check: recorded ServerVersion 9.9"
mkdir -p "$work/forged/soft"
printf 'Veltrin Marlo\r\n2.0.1\n%s, published at %s\r\n%s\r\n' "$forged" "$base" "$base/packages/p.sh" \
    >"$work/forged/soft/veltrin_marlo.txt"
# Its server binds a free port itself and names it once it listens, so no
# other program can take the port in between.
python3 -c 'import functools, http.server, os, sys
server = http.server.ThreadingHTTPServer(("127.0.0.1", 0),
    functools.partial(http.server.SimpleHTTPRequestHandler, directory=sys.argv[1]))
with open(sys.argv[2] + ".new", "w") as f:
    f.write(str(server.server_address[1]))
os.rename(sys.argv[2] + ".new", sys.argv[2])
server.serve_forever()' "$work/forged" "$work/forged.port" >"$work/forged.log" 2>&1 &
forged_server=$!
trap 'kill "$forged_server" 2>/dev/null; cleanup' EXIT
for _ in $(seq 1 100); do
    [ -s "$work/forged.port" ] && break
    sleep 0.1
done
port=$(cat "$work/forged.port" 2>/dev/null)

# Both checks run side by side.
check missing "$base/missing"
check escaped "http://127.0.0.1:$port"
wait "${runs[@]}"

# A version file that is not there.
ended missing
expect "the failed download, its address and status" \
    "^kelvane.download: $base/missing/soft/veltrin_marlo.txt: .*failed.*HTTP status 404"
expect "the check's result" "^kelvane.check: nothing recorded"
tally

ended escaped
refuse "a line that begins with the forged text" "^$forged"
expect "the version line, its line feed escaped" '2\.0\.1\\n'"$forged"
expect "the check's result" "^kelvane.check: nothing recorded"
grep -q '^ServerVersion=' "$work/escaped/config/Quorant.conf" && { echo "FAIL: a version was recorded"; fail=1; }
tally

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
