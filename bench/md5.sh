#!/usr/bin/env bash
# MD5 check throughput of the updater against `md5sum` on the same file of at
# least 1 GiB, in the same run, and how far the check raises the process's peak
# resident memory (it must not grow with the file).
#
# usage: bench/md5.sh [build-dir] [file-MiB]   (defaults: build, 1024)
set -euo pipefail
cd "$(dirname "$0")/.."

build=${1:-build}
size_mib=${2:-1024}
runs=3

if (( size_mib < 1024 )); then
    echo "error: the file must be at least 1024 MiB" >&2
    exit 1
fi

cmake --build "$build" --target bench_md5 >/dev/null
bench="$build/bench/bench_md5"

work=$(mktemp -d "${TMPDIR:-/tmp}/bench-md5-XXXXXX")
trap 'rm -rf "$work"' EXIT

echo "generating a $size_mib MiB file in $work ..."
head -c "$(( size_mib * 1024 * 1024 ))" /dev/urandom > "$work/big.bin"
expected=$(md5sum "$work/big.bin" | cut -d' ' -f1)   # also brings the file into the page cache

source bench/timing.sh

md5sum_times=()
ours_times=()
for (( i = 0; i < runs; i++ )); do
    md5sum_times+=("$(seconds md5sum "$work/big.bin")")
    ours_times+=("$(seconds "$bench" "$work/big.bin" "$expected")")
done

report=$("$bench" "$work/big.bin" "$expected")
field() { sed -n "s/^$1=//p" <<<"$report"; }
[[ $(field check_passed) == 1 ]] || { echo "error: the check rejected the file" >&2; exit 1; }
# The same check must fail against another sum.
if "$bench" "$work/big.bin" "00000000000000000000000000000000" >/dev/null 2>&1; then
    echo "error: the check accepted a wrong sum" >&2
    exit 1
fi

t_md5sum=$(printf '%s\n' "${md5sum_times[@]}" | best)
t_ours=$(printf '%s\n' "${ours_times[@]}" | best)

printf 'file: %d MiB, best of %d runs\n' "$size_mib" "$runs"
printf 'md5sum:    %.2f s  (%.0f MiB/s)\n' "$t_md5sum" "$(echo "$size_mib / $t_md5sum" | bc -l)"
printf 'bench_md5: %.2f s  (%.0f MiB/s)\n' "$t_ours" "$(echo "$size_mib / $t_ours" | bc -l)"
printf 'throughput ratio (bench_md5 / md5sum): %.2f  (target >= 0.90)\n' "$(echo "$t_md5sum / $t_ours" | bc -l)"
printf 'peak RSS: %s KiB before the check, %s KiB peak, growth %s KiB  (target < 16384)\n' \
    "$(field rss_before_KiB)" "$(field peak_rss_KiB)" "$(field peak_rss_growth_KiB)"
