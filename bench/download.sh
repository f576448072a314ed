#!/usr/bin/env bash
# Measures the updater's download path against curl on loopback.
#
# Serves one file of SIZE bytes from a private nginx on 127.0.0.1, then times
# download_bench (NetworkAsyncReader into memory, atomic write at the end, as
# the wizard does) and `curl -o` fetching it, and compares wall time and peak
# resident memory. Targets: harness throughput at least 0.4 of curl's, and a
# peak of at most 1.1 x SIZE + 60 MB.
#
# Usage: bench/download.sh [BUILD_DIR]       (default: build/ in the checkout)
# Environment: SIZE (bytes, default 1000000000), ROUNDS (default 3).
# Exit status: 0 when both targets are met, 3 when one is missed, other
# values on errors. Everything it creates is removed when it ends.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${1:-$root/build}"
size="${SIZE:-1000000000}"
harness="$build/bench/download_bench"

if [[ ! -x "$harness" ]]; then
    echo "Building download_bench in $build ..."
    cmake -S "$root" -B "$build" -DKELVANE_BUILD_BENCH=ON >/dev/null
    cmake --build "$build" -j2 --target download_bench >/dev/null
fi

# nginx, curl and time are part of the test set; this installs what is
# missing, through sudo when not run as root.
bash "$root/scripts/deps.sh" test
nginx_bin="$(command -v nginx || echo /usr/sbin/nginx)"
for tool in curl /usr/bin/time python3; do
    command -v "$tool" >/dev/null || { echo "missing: $tool" >&2; exit 2; }
done

work="$(mktemp -d)"
nginx_pid=""
cleanup() {
    if [[ -n "$nginx_pid" ]]; then
        kill "$nginx_pid" 2>/dev/null || true
        wait "$nginx_pid" 2>/dev/null || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT INT TERM

# nginx's workers drop to an unprivileged user when started as root.
chmod 755 "$work"
mkdir -p "$work/www" "$work/temp"
echo "Writing $size random bytes ..."
head -c "$size" /dev/urandom >"$work/www/package.bin"
chmod 644 "$work/www/package.bin"

port="$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')"
cat >"$work/nginx.conf" <<EOF
daemon off;
worker_processes 1;
pid $work/nginx.pid;
error_log $work/error.log;
events { worker_connections 64; }
http {
    access_log off;
    sendfile on;
    tcp_nopush on;
    default_type application/octet-stream;
    client_body_temp_path $work/temp/body;
    proxy_temp_path $work/temp/proxy;
    fastcgi_temp_path $work/temp/fastcgi;
    uwsgi_temp_path $work/temp/uwsgi;
    scgi_temp_path $work/temp/scgi;
    server {
        listen 127.0.0.1:$port;
        root $work/www;
    }
}
EOF
"$nginx_bin" -c "$work/nginx.conf" -p "$work" &
nginx_pid=$!
url="http://127.0.0.1:$port/package.bin"
for _ in $(seq 100); do
    curl -sfI "$url" >/dev/null 2>&1 && break
    sleep 0.1
done
curl -sfI "$url" >/dev/null || { echo "nginx did not come up:" >&2; cat "$work/error.log" >&2; exit 2; }

# measure NAME OUTPUT COMMAND...: sets ms_NAME, cpu_NAME and kb_NAME (wall ms,
# user+system seconds, peak RSS KiB). CPU time is shown too because wall time
# on a shared two-core machine varies with whatever else runs.
measure() {
    local name="$1" output="$2"
    shift 2
    local start end
    start=$(date +%s%N)
    /usr/bin/time -v -o "$work/$name.time" "$@" >"$work/$name.out"
    end=$(date +%s%N)
    printf -v "ms_$name" '%s' $(((end - start) / 1000000))
    printf -v "kb_$name" '%s' "$(awk -F': ' '/Maximum resident set size/ {print $2}' "$work/$name.time")"
    printf -v "cpu_$name" '%s' "$(awk -F': ' '/(User|System) time/ {t += $2} END {print t}' "$work/$name.time")"
    cmp -s "$work/www/package.bin" "$output" || { echo "$name: downloaded file differs" >&2; exit 2; }
    rm -f "$output"
}

# On a virtual machine the first touch of guest memory that no process has
# used before is several times slower than a later one, so whichever download
# ran first would pay for the other. Before every measured run a throwaway
# process touches and frees more memory than a download needs, and the two
# downloads take turns; each figure is the median of ROUNDS runs.
warm_memory() {
    python3 -c 'import sys
b = bytearray(int(sys.argv[1]))
for i in range(0, len(b), 4096):
    b[i] = 1' "$((size * 5 / 2))"
    sync
}
median() { sort -n | awk '{v[NR] = $1} END {print v[int((NR + 1) / 2)]}'; }

rounds="${ROUNDS:-3}"
: >"$work/harness.runs"
: >"$work/curl.runs"
for round in $(seq "$rounds"); do
    warm_memory
    measure harness "$work/harness.bin" "$harness" "$url" "$work/harness.bin"
    echo "  round $round: download_bench $((ms_harness)) ms ($(cat "$work/harness.out"))"
    echo "$ms_harness $kb_harness $cpu_harness $(sed -n 's/.*read_ms=\([0-9]*\).*/\1/p' "$work/harness.out")" >>"$work/harness.runs"
    warm_memory
    measure curl "$work/curl.bin" curl -sf -o "$work/curl.bin" "$url"
    echo "  round $round: curl -o         $((ms_curl)) ms"
    echo "$ms_curl $kb_curl $cpu_curl 0" >>"$work/curl.runs"
done
ms_harness=$(cut -d' ' -f1 "$work/harness.runs" | median)
cpu_harness=$(cut -d' ' -f3 "$work/harness.runs" | median)
kb_harness=$(cut -d' ' -f2 "$work/harness.runs" | sort -n | tail -n 1)
read_harness=$(cut -d' ' -f4 "$work/harness.runs" | median)
ms_curl=$(cut -d' ' -f1 "$work/curl.runs" | median)
cpu_curl=$(cut -d' ' -f3 "$work/curl.runs" | median)
kb_curl=$(cut -d' ' -f2 "$work/curl.runs" | sort -n | tail -n 1)

awk -v size="$size" -v hm="$ms_harness" -v hk="$kb_harness" -v hc="$cpu_harness" \
    -v cm="$ms_curl" -v ck="$kb_curl" -v cc="$cpu_curl" \
    -v hr="$read_harness" -v rounds="$rounds" 'BEGIN {
    mb = 1000000
    printf "\nmedian of %d rounds; peak memory is the highest of them\n", rounds
    printf "%-15s %10s %12s %10s %14s\n", "", "wall (s)", "MB/s", "cpu (s)", "peak RSS (MB)"
    printf "%-15s %10.2f %12.1f %10.2f %14.1f\n", "download_bench", hm / 1000, size / mb / (hm / 1000), hc, hk * 1024 / mb
    printf "%-15s %10.2f %12.1f %10.2f %14.1f\n", "curl -o", cm / 1000, size / mb / (cm / 1000), cc, ck * 1024 / mb
    throughput = cm / hm
    limit = 1.1 * size + 60 * mb
    memory = hk * 1024 / size
    printf "\nthroughput harness/curl: %.2f (target >= 0.40) %s\n", throughput, (throughput >= 0.4 ? "met" : "MISSED")
    if (hr > 0) {
        printf "  (download into memory alone, before the atomic save: %.2f s, ratio to curl %.2f)\n", hr / 1000, cm / hr
    }
    printf "peak memory / package size: %.3f; %.1f MB against a limit of %.1f MB %s\n", memory, hk * 1024 / mb,
        limit / mb, (hk * 1024 <= limit ? "met" : "MISSED")
    exit (throughput >= 0.4 && hk * 1024 <= limit) ? 0 : 3
}'
