#!/usr/bin/env bash
# A package download that outlives the program, driven from outside: the real
# window under a virtual X server, a real nginx that sends the package slowly
# enough to stop it halfway. Each row starts an update (Next, Next), stops it
# at about half of the package, and starts the program again for Next, Next:
#   killed     kill -9 of the program; the second run asks only for the rest
#   cancelled  Cancel pressed; the same
#   replaced   killed, then the server publishes another file under the same
#              address: the second run gets the whole new file
#   signed     killed, in a build that checks signatures; the same as killed
# The stored package must be byte for byte the served one, and the server
# must have sent at most 1.1 times the package in all.
#   resume_restart.sh KELVANE KELVANE_SIGNEDTEST SOURCE_DIR KEY_DIR
set -u
unsigned=$1
signed=$2
source_dir=$3
keys=$4
size=$((40 * 1000 * 1000))

work=$(mktemp -d)
xvfb_pid=
cleanup() {
    [ -f "$work/nginx.pid" ] && kill "$(cat "$work/nginx.pid")" 2>/dev/null
    [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null
    pkill -KILL -f "^$work/" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT
fail() {
    echo "FAIL: $*"
    echo "0 passed, 1 failed"
    exit 1
}
nginx_bin=$(command -v nginx || echo /usr/sbin/nginx)
for tool in "$nginx_bin" Xvfb xdotool python3 minisign; do
    command -v "$tool" >/dev/null || fail "$tool is not installed"
done

# nginx sends 10 MB a second, so the package takes 4 s: time enough to stop
# it halfway. Its workers drop to an unprivileged user when run as root.
chmod 755 "$work"
mkdir -p "$work/www/packages" "$work/tmp"
chmod -R 755 "$work/www"
start_nginx() {
    local attempt
    for attempt in 1 2 3; do
        port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
        cat >"$work/nginx.conf" <<EOF
daemon on;
worker_processes 1;
pid $work/nginx.pid;
error_log $work/error.log;
events { worker_connections 64; }
http {
    log_format served '\$uri \$status range=\$http_range sent=\$body_bytes_sent';
    access_log $work/access.log served;
    client_body_temp_path $work/tmp/body;
    proxy_temp_path $work/tmp/proxy;
    fastcgi_temp_path $work/tmp/fastcgi;
    uwsgi_temp_path $work/tmp/uwsgi;
    scgi_temp_path $work/tmp/scgi;
    default_type application/octet-stream;
    server { listen 127.0.0.1:$port; root $work/www; limit_rate 10m; }
}
EOF
        "$nginx_bin" -c "$work/nginx.conf" -p "$work" 2>>"$work/error.log" && return 0
    done
    return 1
}
start_nginx || fail "nginx did not start: $(cat "$work/error.log")"
base=http://127.0.0.1:$port

. "$(dirname "$0")/virtual_display.sh"
start_display "$work" || fail "no X server"

# publish KEY: the package $work/package as version 2.0.1, signed with KEY
# when one is given.
publish() {
    bash "$source_dir/tools/publish.sh" veltrin_marlo.txt "Veltrin Marlo" 2.0.1 "$work/package" \
        "$base/packages/update.bin" "$1" "$work/www" >/dev/null 2>&1
}

failures=0
log= pid= wid= prog=
alive() { [ "$(ps -o stat= -p "$pid" 2>/dev/null | cut -c1)" != Z ] && kill -0 "$pid" 2>/dev/null; }
find_window() { wid=$(xdotool search --onlyvisible --pid "$pid" --name '^VELTRIN Kelvane$' | head -n 1) && [ -n "$wid" ]; }
click() { xdotool mousemove --window "$wid" "$1" 228 click 1; } # 355: Next, 270: Cancel
part_size() { stat -c %s "$prog/.Kelvane-Update201.EXE.part" 2>/dev/null || echo 0; }
half_done() { [ "$(part_size)" -ge $((size / 2)) ]; }
# start PROGRAM RUN: the program, its window, Next and Next; its log is $work/RUN.log.
start() {
    log=$work/$2.log
    env HOME="$work/home" XDG_CONFIG_HOME="$work/config" XDG_CACHE_HOME="$work/cache" XDG_RUNTIME_DIR="$work/runtime" \
        KELVANE_UPDATE_SERVER="$base" QT_LOGGING_RULES="kelvane.*.debug=true" "$1" 2>"$log" &
    pid=$!
    wait_for 20 "the window" find_window && click 355 &&
        wait_for 20 "the version check" grep -q "ServerVersion set to" "$log" && click 355
}

# row NAME PROGRAM KEY STOP: one update stopped halfway by STOP (kill or
# cancel), then one that runs to its end.
row() {
    local name=$1 program=$2 key=$3 stop=$4 ok=1 from
    prog=$work/$name/prog
    mkdir -p "$prog" "$work/config" "$work/runtime"
    chmod 700 "$work/runtime"
    cp "$program" "$prog/kelvane"
    printf '[General]\nCurrentProduct=1MR\nCurrentVersion=1.0\n' >"$work/config/Quorant.conf"
    head -c "$size" /dev/urandom >"$work/package"
    publish "$key" || fail "$name: publish.sh failed"
    : >"$work/access.log"
    kill -USR1 "$(cat "$work/nginx.pid")" # reopens the log

    start "$prog/kelvane" "$name-1" && wait_for 20 "half of the package" half_done || ok=0
    if [ "$stop" = kill ]; then
        kill -KILL "$pid"
    else
        click 270 # Cancel
    fi
    wait "$pid" 2>/dev/null
    echo "$name: stopped at $(part_size) of $size bytes"
    [ -f "$prog/.Kelvane-Update201.EXE.resume" ] || { echo "FAIL: $name: no record beside the part"; ok=0; }
    if [ "$name" = replaced ]; then
        head -c "$size" /dev/urandom >"$work/package"
        publish "$key" || fail "$name: publish.sh failed"
    fi

    start "$prog/kelvane" "$name-2" &&
        wait_for 30 "the package" test -f "$prog/Update201.EXE" &&
        wait_for 10 "the package's end" grep -q "stored .* bytes in" "$log" || ok=0
    kill "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
    cmp -s "$prog/Update201.EXE" "$work/www/packages/update.bin" || { echo "FAIL: $name: the stored package differs"; ok=0; }
    ls -A "$prog" | grep -q '^\.Kelvane-' && { echo "FAIL: $name: a part or record is left"; ok=0; }
    sleep 0.2 # nginx writes its log line when the connection ends
    grep '^/packages/update.bin ' "$work/access.log" >"$work/$name.served"
    cat "$work/$name.served"
    from=$(sed -n '2s/.*range=bytes=\([0-9]*\)-.*/\1/p' "$work/$name.served")
    local requests sent
    requests=$(wc -l <"$work/$name.served")
    sent=$(awk '{sub("sent=", "", $4); n += $4} END {print n + 0}' "$work/$name.served")
    [ "$requests" -eq 2 ] || { echo "FAIL: $name: $requests requests for the package, not 2"; ok=0; }
    [ -n "$from" ] || { echo "FAIL: $name: the second request has no range"; ok=0; }
    [ -n "$from" ] && [ "$from" -lt $((size * 4 / 10)) ] && { echo "FAIL: $name: the rest was asked from byte $from"; ok=0; }
    if [ "$name" = replaced ]; then
        # If-Range names the old file: the server sends the new one whole.
        sed -n 2p "$work/$name.served" | grep -q ' 200 ' || { echo "FAIL: $name: the new file did not come whole"; ok=0; }
        grep -q "file on the server changed since" "$log" || { echo "FAIL: $name: no line says why"; ok=0; }
    elif [ "$sent" -gt $((size * 11 / 10)) ]; then
        echo "FAIL: $name: the server sent $sent bytes for a package of $size"
        ok=0
    fi
    [ "$ok" -eq 1 ] || { failures=$((failures + 1)); cat "$work/$name-1.log" "$work/$name-2.log"; }
}

row killed "$unsigned" "" kill
row cancelled "$unsigned" "" cancel
row replaced "$unsigned" "" kill
row signed "$signed" "$keys/key1.sec" kill

if [ "$failures" -eq 0 ]; then echo "4 passed, 0 failed"; else echo "$((4 - failures)) passed, $failures failed"; fi
exit $((failures > 0))
