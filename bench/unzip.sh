#!/usr/bin/env bash
# Gzip decompression throughput of the updater against `gzip -dc` on the same
# file, in the same run, and the updater's peak resident memory for a small and
# a large file (it must not grow with the file).
#
# usage: bench/unzip.sh [build-dir] [large-MiB]   (defaults: build, 320)
set -euo pipefail
cd "$(dirname "$0")/.."

build=${1:-build}
large_mib=${2:-320}
runs=3

cmake --build "$build" --target bench_unzip >/dev/null
bench="$build/bench/bench_unzip"

work=$(mktemp -d "${TMPDIR:-/tmp}/bench-unzip-XXXXXX")
trap 'rm -rf "$work"' EXIT

# Base64 text of random bytes compresses to about three quarters of its size,
# so N MiB of random bytes give a gzip file of about N MiB and inflate does
# real work (not just stored blocks).
make_gz() { # <out.gz> <MiB of random bytes>
    head -c "$(( $2 * 1024 * 1024 ))" /dev/urandom | base64 -w 76 | gzip -6 -c > "$1"
}

echo "generating test files in $work ..."
make_gz "$work/small.gz" 16
make_gz "$work/large.gz" "$large_mib"
large_bytes=$(stat -c %s "$work/large.gz")
echo "large gzip file: $(( large_bytes / 1024 / 1024 )) MiB compressed"
if (( large_bytes < 256 * 1024 * 1024 )); then
    echo "error: the large file must be at least 256 MiB" >&2
    exit 1
fi

source bench/timing.sh

gzip_times=()
ours_times=()
for (( i = 0; i < runs; i++ )); do
    gzip_times+=("$(seconds sh -c "gzip -dc '$work/large.gz' > '$work/out-gzip'")")
    ours_times+=("$(seconds "$bench" "$work/large.gz" "$work/out-ours")")
    rm -f "$work/out-gzip"
done
cmp -s <(gzip -dc "$work/large.gz") "$work/out-ours" || { echo "error: output differs" >&2; exit 1; }

t_gzip=$(printf '%s\n' "${gzip_times[@]}" | best)
t_ours=$(printf '%s\n' "${ours_times[@]}" | best)
out_mib=$(( $(stat -c %s "$work/out-ours") / 1024 / 1024 ))
rm -f "$work/out-ours"

rss_large=$("$bench" "$work/large.gz" "$work/out" | sed -n 's/^peak_rss_KiB=//p')
rss_small=$("$bench" "$work/small.gz" "$work/out" | sed -n 's/^peak_rss_KiB=//p')

printf 'output: %d MiB, best of %d runs\n' "$out_mib" "$runs"
printf 'gzip -dc:    %.2f s  (%.0f MiB/s)\n' "$t_gzip" "$(echo "$out_mib / $t_gzip" | bc -l)"
printf 'bench_unzip: %.2f s  (%.0f MiB/s)\n' "$t_ours" "$(echo "$out_mib / $t_ours" | bc -l)"
printf 'throughput ratio (bench_unzip / gzip -dc): %.2f  (target >= 0.80)\n' \
    "$(echo "$t_gzip / $t_ours" | bc -l)"
printf 'peak RSS: %d KiB for 16 MiB input, %d KiB for %d MiB input\n' \
    "$rss_small" "$rss_large" "$(( large_bytes / 1024 / 1024 ))"
