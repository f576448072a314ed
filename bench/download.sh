#!/usr/bin/env bash
# Measures the updater's download path against curl on loopback.
#
# For each package size, serves a file of random bytes from a private nginx
# on 127.0.0.1 and downloads it into a folder of its own twice per round:
# with download_bench (the network reader the wizard uses, which stores the
# package in its file and makes it durable before it names it) and with
# `curl -o FILE` followed by an fsync of FILE, the same durability. The two
# take turns, each copy is compared byte for byte with the served file and
# deleted, and the figures are the median wall time and the highest peak
# resident memory over the rounds.
#
# Targets, per package: throughput at least that of curl, a peak resident
# memory of at most 64 MB (64,000,000 bytes), and an event loop that never
# stands still for more than 100 ms over the whole download, the end
# included, when the package is synced to the disk and renamed (the longest
# stall over the rounds; download_bench --stalls measures it with a 10 ms
# timer on the thread the reader reports to, as a window's would be).
#
# Every round also continues a download that an earlier run kept: the part
# holds all of the package but its last byte, with the record an earlier run
# would have left beside it, and download_bench --digest fetches the last
# byte. Its digest is made anew from the kept bytes on a thread of its own;
# the event loop may stand still for 100 ms at most meanwhile, and the
# digest must be the served file's.
#
# With DIGEST=1 a third contestant joins every round: download_bench
# --digest, the same read asking for the BLAKE2b-512 digest a signed package
# needs. Its digest must equal b2sum's of the served file, and its median
# wall time may be at most 1.10 times that of the plain read; its peak
# memory has the same 64 MB target.
#
# Usage: bench/download.sh [BUILD_DIR]       (default: build/ in the checkout)
# Environment:
#   SIZES  sizes in bytes, each with an optional ":ROUNDS"
#          (default "1000000000:3 3000000000:5": single runs of the larger one
#          spread by half their time on a shared machine)
#   DIGEST 1: also measure the read that hashes what it stores (default 0)
# Exit status: 0 when every target is met, 3 when one is missed, other
# values on errors (2: a download failed, a copy differs, too little space).
# Only one package and one copy exist at a time, so the disk must hold about
# twice the largest package. Everything it creates is removed when it ends.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${1:-$root/build}"
sizes="${SIZES:-1000000000:3 3000000000:5}"
digest="${DIGEST:-0}"
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
for tool in curl /usr/bin/time python3 cmp sync b2sum; do
    command -v "$tool" >/dev/null || {
        echo "missing: $tool" >&2
        exit 2
    }
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
trap cleanup EXIT
trap 'exit 130' INT TERM

# Room for the served package and one copy of the largest, plus slack for
# nginx's logs and the figures.
largest=0
for entry in $sizes; do
    size="${entry%%:*}"
    [[ "$size" =~ ^[0-9]+$ && "$size" -gt 0 ]] || {
        echo "not a size: $entry" >&2
        exit 2
    }
    ((size > largest)) && largest=$size
done
need_kb=$(((2 * largest + 100000000) / 1024))
free_kb=$(df -Pk "$work" | awk 'NR == 2 {print $4}')
if ((free_kb < need_kb)); then
    printf 'NOT ENOUGH SPACE in %s: %.1f GB free, %.1f GB needed (the package and one copy of it).\n' \
        "$work" "$(echo "$free_kb" | awk '{print $1 * 1024 / 1e9}')" "$(echo "$need_kb" | awk '{print $1 * 1024 / 1e9}')" >&2
    echo "Set TMPDIR to a roomier file system, or smaller SIZES." >&2
    exit 2
fi
printf 'Working in %s: %.1f GB free, %.1f GB needed at most.\n' "$work" \
    "$(awk -v k="$free_kb" 'BEGIN {print k * 1024 / 1e9}')" "$(awk -v k="$need_kb" 'BEGIN {print k * 1024 / 1e9}')"

# nginx's workers drop to an unprivileged user when started as root.
chmod 755 "$work"
mkdir -p "$work/www" "$work/temp" "$work/harness" "$work/digest" "$work/curl" "$work/resumed"
chmod 755 "$work/www"

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
: >"$work/www/package.bin"
chmod 644 "$work/www/package.bin"
for _ in $(seq 100); do
    curl -sfI "$url" >/dev/null 2>&1 && break
    sleep 0.1
done
curl -sfI "$url" >/dev/null || {
    echo "nginx did not come up:" >&2
    cat "$work/error.log" >&2
    exit 2
}

# measure NAME OUTPUT COMMAND...: runs one download, then checks and deletes
# its copy. Appends "wall_ms peak_kb cpu_s" to $work/NAME.runs. The wall time
# runs until the copy is durable; for curl it includes the fsync, which is
# also shown apart. CPU time is kept too, because wall time on a shared
# two-core machine varies with whatever else runs.
measure() {
    local name="$1" output="$2"
    shift 2
    local start end fetched status=0
    start=$(date +%s%N)
    /usr/bin/time -v -o "$work/$name.time" "$@" >"$work/$name.out" 2>"$work/$name.err" || status=$?
    fetched=$(date +%s%N)
    if ((status == 0)) && [[ "$name" == curl ]]; then
        sync "$output" || status=$?
    fi
    end=$(date +%s%N)
    if ((status == 0)) && [[ "$name" == digest || "$name" == resumed ]] &&
        ! grep -q "digest=$served_digest\$" "$work/$name.out"; then
        echo "digest: the reported digest is not the served file's BLAKE2b-512 ($served_digest):" >&2
        cat "$work/$name.out" >&2
        exit 2
    fi
    if [[ "$name" == curl ]]; then
        echo "transfer $(((fetched - start) / 1000000)) ms, fsync $(((end - fetched) / 1000000)) ms" >>"$work/$name.out"
    fi
    if ((status != 0)); then
        echo "$name failed with status $status:" >&2
        cat "$work/$name.err" "$work/$name.out" >&2
        exit 2
    fi
    cmp -s "$work/www/package.bin" "$output" || {
        echo "$name: the downloaded file differs from the served one" >&2
        exit 2
    }
    rm -f "$output"
    local kb cpu stall
    kb="$(awk -F': ' '/Maximum resident set size/ {print $2}' "$work/$name.time")"
    cpu="$(awk -F': ' '/(User|System) time/ {t += $2} END {print t}' "$work/$name.time")"
    stall="$(sed -n 's/.* stall_ms=\([0-9]*\).*/\1/p' "$work/$name.out")"
    echo "$(((end - start) / 1000000)) $kb $cpu ${stall:-0}" >>"$work/$name.runs"
    printf '  %-15s %7.2f s  %7.1f MB peak  %s\n' "$name" "$(((end - start) / 1000000))e-3" \
        "$(awk -v k="$kb" 'BEGIN {print k * 1024 / 1e6}')" "$(cat "$work/$name.out")"
}

median() { sort -n | awk '{v[NR] = $1} END {print v[int((NR + 1) / 2)]}'; }

# keep_all_but_the_last_byte TARGET: the part and the record that an earlier
# run leaves beside TARGET when it stopped one byte short of the package.
keep_all_but_the_last_byte() {
    local target=$1 folder name etag
    folder=$(dirname "$target")
    name=$(basename "$target")
    etag=$(curl -sfI "$url" | tr -d '\r' | sed -n 's/^[Ee][Tt]ag: *//p' | sed 's/"/\\"/g')
    head -c $((size - 1)) "$work/www/package.bin" >"$folder/.Kelvane-$name.part"
    printf '{"kind":"Kelvane kept download 1","url":"%s","file":"%s","validator":"%s","total":%s,"durable":%s,"boot":"%s","release":""}\n' \
        "$url" "$name" "$etag" "$size" $((size - 1)) "$(cat /proc/sys/kernel/random/boot_id)" >"$folder/.Kelvane-$name.resume"
}

verdict=0
: >"$work/summary"
for entry in $sizes; do
    size="${entry%%:*}"
    rounds=3
    [[ "$entry" == *:* ]] && rounds="${entry#*:}"
    echo
    echo "Package of $size bytes, $rounds round(s): writing random bytes ..."
    head -c "$size" /dev/urandom >"$work/www/package.bin"
    served_digest="$(b2sum "$work/www/package.bin" | cut -d' ' -f1)"
    : >"$work/harness.runs"
    : >"$work/digest.runs"
    : >"$work/curl.runs"
    : >"$work/resumed.runs"
    contestants=(harness curl resumed)
    ((digest)) && contestants=(harness digest curl resumed)
    for round in $(seq "$rounds"); do
        echo " round $round"
        # They take turns at going first, so none always meets the page
        # cache and the disk in the state another left.
        order=()
        for i in "${!contestants[@]}"; do
            order+=("${contestants[$(((i + round - 1) % ${#contestants[@]}))]}")
        done
        for who in "${order[@]}"; do
            sync
            case "$who" in
            harness) measure harness "$work/harness/package.bin" "$harness" --stalls "$url" "$work/harness/package.bin" ;;
            digest)
                measure digest "$work/digest/package.bin" "$harness" --digest --stalls "$url" \
                    "$work/digest/package.bin"
                ;;
            curl) measure curl "$work/curl/package.bin" curl -sSf -o "$work/curl/package.bin" "$url" ;;
            resumed)
                keep_all_but_the_last_byte "$work/resumed/package.bin"
                measure resumed "$work/resumed/package.bin" "$harness" --digest --stalls "$url" \
                    "$work/resumed/package.bin"
                ;;
            esac
        done
    done
    : >"$work/www/package.bin"

    hm=$(cut -d' ' -f1 "$work/harness.runs" | median)
    hk=$(cut -d' ' -f2 "$work/harness.runs" | sort -n | tail -n 1)
    hc=$(cut -d' ' -f3 "$work/harness.runs" | median)
    hs=$(cut -d' ' -f4 "$work/harness.runs" | sort -n | tail -n 1)
    cm=$(cut -d' ' -f1 "$work/curl.runs" | median)
    ck=$(cut -d' ' -f2 "$work/curl.runs" | sort -n | tail -n 1)
    cc=$(cut -d' ' -f3 "$work/curl.runs" | median)
    awk -v size="$size" -v rounds="$rounds" -v hm="$hm" -v hk="$hk" -v hc="$hc" -v hs="$hs" \
        -v cm="$cm" -v ck="$ck" -v cc="$cc" 'BEGIN {
        mb = 1000000
        printf "\n%.0f bytes, median of %d round(s); peak memory is the highest of them\n", size, rounds
        printf "%-15s %10s %10s %10s %14s\n", "", "wall (s)", "MB/s", "cpu (s)", "peak RSS (MB)"
        printf "%-15s %10.2f %10.1f %10.2f %14.1f\n", "download_bench", hm / 1000, size / mb / (hm / 1000), hc, hk * 1024 / mb
        printf "%-15s %10.2f %10.1f %10.2f %14.1f\n", "curl -o + fsync", cm / 1000, size / mb / (cm / 1000), cc, ck * 1024 / mb
        throughput = cm / hm
        peak = hk * 1024
        printf "throughput download_bench/curl: %.2f (target >= 1.00) %s\n", throughput, (throughput >= 1 ? "met" : "MISSED")
        printf "cpu time download_bench/curl: %.2f (for information)\n", hc / cc
        printf "peak memory download_bench: %.1f MB, %.1f x curl'"'"'s (target <= 64 MB) %s\n", peak / mb, hk / ck,
            (peak <= 64 * mb ? "met" : "MISSED")
        printf "stall download_bench: the event loop stood still for at most %d ms (target <= 100 ms) %s\n",
            hs, (hs <= 100 ? "met" : "MISSED")
        exit (throughput >= 1 && peak <= 64 * mb && hs <= 100) ? 0 : 3
    }' >"$work/figures" || verdict=3
    if ((digest)); then
        dm=$(cut -d' ' -f1 "$work/digest.runs" | median)
        dk=$(cut -d' ' -f2 "$work/digest.runs" | sort -n | tail -n 1)
        dc=$(cut -d' ' -f3 "$work/digest.runs" | median)
        ds=$(cut -d' ' -f4 "$work/digest.runs" | sort -n | tail -n 1)
        awk -v size="$size" -v hm="$hm" -v hc="$hc" -v dm="$dm" -v dk="$dk" -v dc="$dc" -v ds="$ds" 'BEGIN {
            mb = 1000000
            printf "%-15s %10.2f %10.1f %10.2f %14.1f\n", "with --digest", dm / 1000, size / mb / (dm / 1000), dc, dk * 1024 / mb
            ratio = dm / hm
            printf "time digest/plain: %.2f (target <= 1.10) %s\n", ratio, (ratio <= 1.1 ? "met" : "MISSED")
            printf "cpu time digest/plain: %.2f (for information)\n", dc / hc
            printf "peak memory digest: %.1f MB (target <= 64 MB) %s\n", dk * 1024 / mb, (dk * 1024 <= 64 * mb ? "met" : "MISSED")
            printf "stall digest: the event loop stood still for at most %d ms (target <= 100 ms) %s\n",
                ds, (ds <= 100 ? "met" : "MISSED")
            exit (ratio <= 1.1 && dk * 1024 <= 64 * mb && ds <= 100) ? 0 : 3
        }' >>"$work/figures" || verdict=3
    fi
    rs=$(cut -d' ' -f4 "$work/resumed.runs" | sort -n | tail -n 1)
    rk=$(cut -d' ' -f2 "$work/resumed.runs" | sort -n | tail -n 1)
    awk -v size="$size" -v rs="$rs" -v rk="$rk" 'BEGIN {
        printf "stall continuing a kept part of %.0f bytes, its digest made anew: at most %d ms (target <= 100 ms) %s\n",
            size - 1, rs, (rs <= 100 ? "met" : "MISSED")
        printf "peak memory continuing it: %.1f MB (target <= 64 MB) %s\n", rk * 1024 / 1e6, (rk * 1024 <= 64e6 ? "met" : "MISSED")
        exit (rs <= 100 && rk * 1024 <= 64e6) ? 0 : 3
    }' >>"$work/figures" || verdict=3
    cat "$work/figures"
    sed -n "s/^\(throughput\|peak\|time digest\|stall\)/$size bytes, \1/p" "$work/figures" >>"$work/summary"
done

echo
echo "Summary:"
cat "$work/summary"
exit "$verdict"
