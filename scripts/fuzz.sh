#!/usr/bin/env bash
# Runs every fuzz target for SECONDS each (default 300) and prints, per
# target, the inputs run, the coverage reached and any finding. Builds with
# clang, libFuzzer, AddressSanitizer and UndefinedBehaviorSanitizer into
# build-fuzz/ unless KELVANE_FUZZ_BUILD names a build folder made that way.
# The corpus in fuzz/corpus/ is only read: new inputs go to a temporary copy.
# A finding is kept in FINDINGS_DIR (default: a temporary folder that is
# printed) and makes the script fail.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-300}
build=${KELVANE_FUZZ_BUILD:-$root/build-fuzz}
if [ -z "${KELVANE_FUZZ_BUILD:-}" ]; then
    bash "$root/scripts/deps.sh" fuzz
    mkdir -p "$build"
    log="$build/fuzz-build.log"
    if ! { cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
        -DKELVANE_FUZZ=ON -DKELVANE_SANITIZE=address,undefined &&
        cmake --build "$build" -j"$(nproc)"; } >"$log" 2>&1; then
        tail -n 40 "$log"
        echo "The fuzz build failed; the whole output is in $log" >&2
        exit 1
    fi
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
findings=${FINDINGS_DIR:-$(mktemp -d)}
mkdir -p "$findings"
export ASAN_OPTIONS=halt_on_error=1:abort_on_error=1:detect_leaks=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
export LSAN_OPTIONS=suppressions=$root/tests/sanitizers/lsan.supp:print_suppressions=0
# Targets run side by side, JOBS at a time (default: one per processor);
# each still gets SECONDS of its own.
jobs=${JOBS:-$(nproc)}
fuzz_one() {
    local program="$1" name corpus options status=0
    name=$(basename "$program")
    corpus="$work/corpus-$name"
    mkdir -p "$corpus" "$findings/$name"
    cp "$root/fuzz/corpus/$name/." "$corpus/" -r
    options=(-max_total_time="$seconds" -print_final_stats=1 -artifact_prefix="$findings/$name/")
    [ -f "$root/fuzz/$name.dict" ] && options+=(-dict="$root/fuzz/$name.dict")
    (cd "$work" && "$program" "${options[@]}" "$corpus") >"$work/$name.log" 2>&1 || status=$?
    echo "$status" >"$work/$name.status"
}
running=0
for program in "$build"/fuzz/fuzz_*; do
    if [ "$running" -ge "$jobs" ]; then
        wait -n
        running=$((running - 1))
    fi
    fuzz_one "$program" &
    running=$((running + 1))
done
wait

failed=()
printf '%-18s %12s %10s %10s  %s\n' target runs coverage features finding
for program in "$build"/fuzz/fuzz_*; do
    name=$(basename "$program")
    status=$(cat "$work/$name.status")
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$work/$name.log" | tail -n1)
    cov=$(grep -o 'cov: [0-9]*' "$work/$name.log" | tail -n1 | cut -d' ' -f2)
    ft=$(grep -o 'ft: [0-9]*' "$work/$name.log" | tail -n1 | cut -d' ' -f2)
    finding=none
    if [ "$status" -ne 0 ]; then
        finding=$(ls "$findings/$name" | head -n1)
        finding="${finding:-exit status $status}"
        failed+=("$name")
        echo "---- $name ----"
        grep -E 'property broken|runtime error|ERROR: Address|SUMMARY|^ *#[0-9]+ 0x.* in [^ ]*(kelvane|host|wizard|settings|modRWRegistry|versionfile|startup)' "$work/$name.log" | head -n 30 || tail -n 30 "$work/$name.log"
    fi
    printf '%-18s %12s %10s %10s  %s\n' "$name" "${runs:-?}" "${cov:-?}" "${ft:-?}" "$finding"
done
if [ "${#failed[@]}" -gt 0 ]; then
    echo "Findings (inputs kept in $findings): ${failed[*]}" >&2
    exit 1
fi
rmdir "$findings"/* "$findings" 2>/dev/null || true
