#!/usr/bin/env bash
# A build that trusts two keys, against releases laid out by tools/publish.sh
# and the attacks a server or a man in the middle can make on them. Every row
# runs in a folder of its own, in parallel: a copy of the program (its folder
# is where packages go, and holds the lock), its own settings, its own web
# server on a port of its own and, for the window, its own X server.
#   signed_release.sh KELVANE_SIGNEDTEST SOURCE_DIR KEY_DIR
# KEY_DIR holds key1.{pub,sec} and key2.{pub,sec}, the keys the program was
# built with; a third, untrusted key is made here.
set -u
program=$1
source_dir=$2
keys=$3

# What the settings hold afterwards: "none" for no such value; "served" for
# the signing time of the version file the server sent, "seeded" for the one
# stored before the run. Update20.EXE: "none", or "P2" for the published
# package. The last column is an extended regex that a line of the program's
# stderr must match. Check rows run silently; /Auto rows press Next once the
# check has ended and wait until the package step has ended.
# row      run    ServerVersion ServerSignedTime Update20.EXE stderr
rows='
key1       Check  2.0   served  none  ^kelvane\.check: recorded ServerVersion 2\.0,
key2       Check  2.0   served  none  ^kelvane\.check: recorded ServerVersion 2\.0,
untrusted  Check  none  none    none  ^kelvane\.check: nothing recorded: .*signed with another key
edition    Check  none  none    none  ^kelvane\.check: nothing recorded: .*signed as "veltrin_zent\.txt"
replay     Check  2.0   seeded  none  ^kelvane\.check: nothing recorded: .*older than the one this computer has already accepted
resigned   Check  1.0   served  none  ^kelvane\.check: recorded ServerVersion 1\.0,
expired    Check  none  none    none  ^kelvane\.check: nothing recorded: .*out of date
forged     Check  none  none    none  ^kelvane\.wizard: .*refused \([a-z ]*\): its version line "2\.0\\nkelvane\.check: recorded ServerVersion 9\.9"
mixed      /Auto  2.0   served  none  ^kelvane\.wizard: .*/packages/veltrin-marlo\.exe: refused \([a-z ]*\): its content is not the package
endless    /Auto  2.0   served  none  ^kelvane\.wizard: .*/packages/endless\.bin: refused \([a-z ]*\): the server sent more than the 65536 bytes
honest     /Auto  2.0   served  P2    ^kelvane\.download: .*/packages/veltrin-marlo\.exe: stored 65536 bytes in
'
forged_line='kelvane.check: recorded ServerVersion 9.9'

work=$(mktemp -d)
row_pids=()
cleanup() {
    local pid file
    for pid in "${row_pids[@]}"; do kill "$pid" 2>/dev/null; done
    for file in "$work"/*/pids; do
        [ -f "$file" ] || continue
        while read -r pid; do kill "$pid" 2>/dev/null; done <"$file"
    done
    wait 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 1' INT TERM

for tool in minisign b2sum python3 Xvfb xdotool; do
    command -v "$tool" >/dev/null || { echo "FAIL: $tool is not installed"; echo "0 passed, 1 failed"; exit 1; }
done
for n in 1 2; do
    [ -r "$keys/key$n.sec" ] || { echo "FAIL: no key $keys/key$n.sec"; echo "0 passed, 1 failed"; exit 1; }
done
minisign -G -W -p "$work/key3.pub" -s "$work/key3.sec" >/dev/null 2>&1 ||
    { echo "FAIL: minisign could not make a key"; echo "0 passed, 1 failed"; exit 1; }
# Two packages of one size: only their content tells them apart.
head -c 65536 /dev/urandom >"$work/P1"
head -c 65536 /dev/urandom >"$work/P2"

# A static file server that binds a free port itself and names it in a file
# once it listens. Any path ending in /endless.bin is an endless chunked body,
# sent slowly and for a bounded time.
cat >"$work/serve.py" <<'EOF'
import http.server, os, sys, time
root, port_file = sys.argv[1], sys.argv[2]
class Handler(http.server.SimpleHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    def __init__(self, *args, **kwargs):
        super().__init__(*args, directory=root, **kwargs)
    def do_GET(self):
        if not self.path.endswith("/endless.bin"):
            return super().do_GET()
        self.send_response(200)
        self.send_header("Content-Type", "application/octet-stream")
        self.send_header("Transfer-Encoding", "chunked")
        self.end_headers()
        chunk, sent, end = b"x" * 16384, 0, time.monotonic() + 40
        try:
            while time.monotonic() < end:
                self.wfile.write(b"%x\r\n%s\r\n" % (len(chunk), chunk))
                sent += len(chunk)
                time.sleep(0.01)
        except OSError:
            pass
        self.log_message("endless body: %d bytes sent", sent)
        self.close_connection = True
server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
server.daemon_threads = True
with open(port_file + ".new", "w") as f:
    f.write(str(server.server_address[1]))
os.rename(port_file + ".new", port_file)
server.serve_forever()
EOF

# --- the helpers of one row; $d is the row's folder, $base its server -----
problem() { echo "FAIL: $row: $*"; echo fail >"$d/verdict"; }
started() { echo "$1" >>"$d/pids"; }
# wait_for SECONDS COMMAND...: polls until the command succeeds.
wait_for() {
    local tries=$(($1 * 5))
    shift
    for ((i = 0; i < tries; i++)); do
        "$@" >/dev/null 2>&1 && return 0
        sleep 0.2
    done
    return 1
}
start_server() {
    python3 -u "$work/serve.py" "$d/www" "$d/port" >"$d/server.log" 2>&1 &
    started $!
    wait_for 20 test -s "$d/port" || return 1
    base="http://127.0.0.1:$(cat "$d/port")"
}
# publish KEY VERSION PACKAGE OUTDIR [publish.sh options]; $edition, $product
# and $package_name name the release where a row changes them.
publish() {
    local key=$1 version=$2 package=$3 out=$4
    shift 4
    bash "$source_dir/tools/publish.sh" "$@" "${edition:-veltrin_marlo.txt}" "${product:-Veltrin Marlo}" \
        "$version" "$package" "$base/packages/${package_name:-veltrin-marlo.exe}" "$key" "$out" >/dev/null ||
        problem "publish.sh could not publish $version into $out"
}
signed_time() { # OUTDIR: the signing time of its version file
    sed -n 's/^trusted comment: timestamp:\([0-9]*\).*/\1/p' "$1/soft/${edition:-veltrin_marlo.txt}.minisig"
}
after_second() { # UNIX_TIME: returns once the clock has passed it
    while [ "$(date +%s)" -le "$1" ]; do sleep 0.1; done
}
seed() { # [VERSION SIGNED_TIME]: settings for 2.0 installed, and an accepted release
    printf '[General]\nCurrentProduct=1MR\nCurrentVersion=2.0\n' >"$d/config/Quorant.conf"
    [ "$#" -eq 0 ] || printf 'ServerVersion=%s\nServerSignedTime=%s\n' "$1" "$2" >>"$d/config/Quorant.conf"
}
seed_later_2_0() { # publishes 2.0 aside, after the clock has passed $1, and seeds it as accepted
    after_second "$1"
    publish "$keys/key1.sec" 2.0 "$work/P2" "$d/later"
    seeded=$(signed_time "$d/later")
    seed 2.0 "$seeded"
}

# The row's release on its server, and its settings.
prepare() {
    seed
    case $row in
    key1 | honest) publish "$keys/key1.sec" 2.0 "$work/P2" "$d/www" ;;
    key2) publish "$keys/key2.sec" 2.0 "$work/P2" "$d/www" ;;
    untrusted) publish "$work/key3.sec" 2.0 "$work/P2" "$d/www" ;;
    edition) # the other edition's signed file, served under this edition's name
        edition=veltrin_zent.txt product="Veltrin Zent" publish "$keys/key1.sec" 2.0 "$work/P2" "$d/www"
        mv "$d/www/soft/veltrin_zent.txt" "$d/www/soft/veltrin_marlo.txt"
        mv "$d/www/soft/veltrin_zent.txt.minisig" "$d/www/soft/veltrin_marlo.txt.minisig"
        ;;
    replay) # 1.0 is served after 2.0, signed later, was accepted
        publish "$keys/key1.sec" 1.0 "$work/P1" "$d/www"
        seed_later_2_0 "$(signed_time "$d/www")"
        ;;
    resigned) # 2.0 was accepted; then the vendor signs 1.0 again (a withdrawal)
        seed_later_2_0 0
        after_second "$seeded"
        publish "$keys/key1.sec" 1.0 "$work/P1" "$d/www"
        ;;
    expired)
        publish "$keys/key1.sec" 2.0 "$work/P2" "$d/www" --expires 1
        after_second "$(($(signed_time "$d/www") + 1))"
        ;;
    forged) # a version line with a line feed and a forged log line, signed as 2.0
        publish "$keys/key1.sec" 2.0 "$work/P2" "$d/www"
        local comment
        comment=$(sed -n 's/^trusted comment: //p' "$d/www/soft/veltrin_marlo.txt.minisig")
        printf 'Veltrin Marlo\r\n2.0\n%s\r\n%s\r\n' "$forged_line" "$base/packages/veltrin-marlo.exe" \
            >"$d/www/soft/veltrin_marlo.txt"
        minisign -S -s "$keys/key1.sec" -t "$comment" -m "$d/www/soft/veltrin_marlo.txt" >/dev/null
        ;;
    mixed) # the 2.0 version file, and the 1.0 package (and its signature) at its address
        publish "$keys/key1.sec" 1.0 "$work/P1" "$d/old"
        publish "$keys/key1.sec" 2.0 "$work/P2" "$d/www"
        cp "$d/old/packages/veltrin-marlo.exe" "$d/old/packages/veltrin-marlo.exe.minisig" "$d/www/packages/"
        ;;
    endless) package_name=endless.bin publish "$keys/key1.sec" 2.0 "$work/P2" "$d/www" ;;
    esac
}

logged() { grep -Eq -- "$1" "$d/stderr.txt"; }
alive() { [ "$(ps -o stat= -p "$1" 2>/dev/null | cut -c1)" != Z ] && kill -0 "$1" 2>/dev/null; }
ended() { ! alive "$1"; }

run_check() {
    env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM -u QT_LOGGING_RULES \
        XDG_CONFIG_HOME="$d/config" XDG_RUNTIME_DIR="$d/runtime" KELVANE_UPDATE_SERVER="$base" \
        timeout 60 "$d/prog/kelvane_signedtest" Check 2>"$d/stderr.txt" &
    local pid=$!
    started "$pid"
    wait "$pid"
    local rc=$? want=1
    # The status tells what the check's line tells: 0 only for a record.
    logged '^kelvane\.check: recorded ' && want=0
    [ "$rc" -eq "$want" ] || problem "exit code $rc, not $want (124: it never ended)"
    [ "$(grep -c '^kelvane\.check: ' "$d/stderr.txt")" -eq 1 ] || problem "not one kelvane.check line on stderr"
}

# The window on an X server of the row's own, which picks a free display
# itself (-displayfd) and names it once it takes connections.
run_window() {
    Xvfb -displayfd 3 -noreset -nolisten tcp -screen 0 1024x768x24 3>"$d/display" >"$d/xvfb.log" 2>&1 &
    started $!
    wait_for 20 grep -q '^[0-9]' "$d/display" || { problem "no X server"; return; }
    export DISPLAY=":$(head -n 1 "$d/display")"
    env -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM QT_LOGGING_RULES="kelvane.*.debug=true" \
        XDG_CONFIG_HOME="$d/config" XDG_RUNTIME_DIR="$d/runtime" KELVANE_UPDATE_SERVER="$base" \
        "$d/prog/kelvane_signedtest" /Auto 2>"$d/stderr.txt" &
    local pid=$! wid=
    started "$pid"
    wait_for 30 logged 'ServerSignedTime set to' || { problem "the check did not end with a record"; return; }
    find_window() { wid=$(xdotool search --onlyvisible --name '^VELTRIN Kelvane$' | head -n 1) && [ -n "$wid" ]; }
    wait_for 20 find_window || { problem "no window"; return; }
    # Without a window manager a click needs no focus: Next sits at (355, 228).
    xdotool mousemove --window "$wid" 355 228 click 1
    package_step_ended() {
        [ -e "$d/prog/Update20.EXE" ] || logged '^kelvane\.wizard: .*/packages/.*refused' ||
            logged '^kelvane\.download: .*/packages/.*failed'
    }
    wait_for 60 package_step_ended || { problem "the package step did not end"; return; }
    if [ -e "$d/prog/Update20.EXE" ]; then
        # The button at (270, 228) now reads Setup and would run the package.
        kill "$pid"
        wait "$pid"
    else
        # Still answering: Cancel ends it.
        xdotool mousemove --window "$wid" 270 228 click 1
        wait_for 20 ended "$pid" || problem "Cancel did not end the program"
        kill "$pid" 2>/dev/null
        wait "$pid"
        local rc=$?
        [ "$rc" -eq 0 ] || problem "exit code $rc after Cancel"
    fi
}

judge() {
    local value key want
    for key in ServerVersion ServerSignedTime; do
        value=$(sed -n "s/^$key=//p" "$d/config/Quorant.conf")
        want=$want_version
        [ "$key" = ServerVersion ] || want=$want_time
        case $want in
        none) want= ;;
        served) want=$(signed_time "$d/www") ;;
        seeded) want=$seeded ;;
        esac
        [ "$value" = "$want" ] || problem "$key is \"$value\", not \"$want\""
    done
    logged "$want_stderr" || problem "no stderr line matches: $want_stderr"
    ! grep -qF -x -- "$forged_line" <(cut -c1-${#forged_line} "$d/stderr.txt") ||
        problem "a stderr line begins with the forged text"
    if [ "$want_package" = P2 ]; then
        cmp -s "$d/prog/Update20.EXE" "$work/P2" || problem "Update20.EXE is not the published package"
    else
        [ ! -e "$d/prog/Update20.EXE" ] || problem "Update20.EXE was stored"
    fi
    local left
    left=$(cd "$d/prog" && ls -A | grep -Ev '^(kelvane_signedtest|Kelvane\.lock|Kelvane\.packages|Update20\.EXE)$')
    [ -z "$left" ] || problem "left in the program folder: $left"
}

run_row() {
    d=$work/$row
    mkdir -p "$d/prog" "$d/config" "$d/www" "$d/runtime"
    chmod 700 "$d/runtime"
    cp "$program" "$d/prog/"
    start_server || { problem "the web server did not start"; return; }
    prepare || { problem "the release could not be laid out"; return; }
    if [ "$run" = Check ]; then run_check; else run_window; fi
    judge
}

# --- every row at once, each in the background ------------------------------
names=()
while read -r row run want_version want_time want_package want_stderr; do
    [ -n "$row" ] || continue
    names+=("$row")
    (
        seeded=
        run_row >"$work/$row.out" 2>&1
        [ -f "$work/$row/verdict" ] || echo pass >"$work/$row/verdict"
        # Whatever the row started ends with it.
        if [ -f "$work/$row/pids" ]; then
            while read -r pid; do kill "$pid" 2>/dev/null; done <"$work/$row/pids"
            wait
            rm -f "$work/$row/pids"
        fi
    ) &
    row_pids+=($!)
done <<<"$rows"
wait "${row_pids[@]}"
row_pids=()

passed=0 failed=0
for row in "${names[@]}"; do
    if [ "$(cat "$work/$row/verdict" 2>/dev/null)" = pass ]; then
        echo "PASS: $row"
        passed=$((passed + 1))
    else
        cat "$work/$row.out"
        echo "--- $row: the program's stderr:"
        cat "$work/$row/stderr.txt" 2>/dev/null
        echo "--- $row: the settings:"
        cat "$work/$row/config/Quorant.conf" 2>/dev/null
        echo "--- $row: the server's log:"
        cat "$work/$row/server.log" 2>/dev/null
        [ -f "$work/$row/verdict" ] || echo "FAIL: $row: the row did not end"
        failed=$((failed + 1))
    fi
done
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
