#!/usr/bin/env bash
# Builds the fuzz targets with clang (libFuzzer, AddressSanitizer, UndefinedBehaviorSanitizer)
# and runs each for a fixed time, starting from the seed corpus in fuzz/corpus/<target>/.
#
#   fuzz/run.sh SECONDS [TARGET...]     TARGET: versionreply, mirrorsini, ... (default: all)
#
# Environment: FUZZ_BUILD_DIR (default build-fuzz), FUZZ_RSS_LIMIT_MB (default 2048),
# FUZZ_TIMEOUT (seconds one input may take, default 10), FUZZ_SCRATCH (directory for the
# targets' files, default /dev/shm or TMPDIR), FUZZ_SKIP_BUILD=1.
# New corpus entries go to $FUZZ_BUILD_DIR/corpus/<target>/, findings (crash-*, leak-*,
# timeout-*, oom-*) to $FUZZ_BUILD_DIR/findings/<target>/. Exits non-zero on any finding.
set -euo pipefail
cd "$(dirname "$0")/.."

if [[ $# -lt 1 || ! "$1" =~ ^[0-9]+$ ]]; then
  echo "usage: fuzz/run.sh SECONDS [TARGET...]" >&2
  exit 2
fi
seconds=$1
shift

build=${FUZZ_BUILD_DIR:-build-fuzz}
rss_limit=${FUZZ_RSS_LIMIT_MB:-2048}
timeout=${FUZZ_TIMEOUT:-10}

if [[ $# -gt 0 ]]; then
  targets=("$@")
else
  targets=()
  for src in fuzz/fuzz_*.cpp; do
    name=$(basename "$src" .cpp)
    targets+=("${name#fuzz_}")
  done
fi

if [[ "${FUZZ_SKIP_BUILD:-0}" != 1 ]]; then
  CC=${CC:-clang} CXX=${CXX:-clang++} cmake -S . -B "$build" -G Ninja \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCORVANE_FUZZ=ON -DCORVANE_BUILD_TESTS=OFF >/dev/null
  cmake --build "$build" -j2 --target "${targets[@]/#/fuzz_}"
fi

export ASAN_OPTIONS=${ASAN_OPTIONS:-halt_on_error=1:detect_leaks=1:allocator_may_return_null=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1}
export LSAN_OPTIONS=${LSAN_OPTIONS:-suppressions=$PWD/scripts/lsan.supp:print_suppressions=0}
export QT_QPA_PLATFORM=offscreen

# The targets write their scratch files below TMPDIR; it goes when the script ends.
# A memory file system when there is one: the settings writer syncs every file it
# saves, which on a disk costs more than the input itself.
scratch_base=${FUZZ_SCRATCH:-${TMPDIR:-/tmp}}
if [[ -z "${FUZZ_SCRATCH:-}" && -d /dev/shm && -w /dev/shm ]]; then scratch_base=/dev/shm; fi
scratch=$(mktemp -d "$scratch_base/corvane-fuzz-run-XXXXXX")
trap 'rm -rf "$scratch"' EXIT
export TMPDIR=$scratch

failed=()
for target in "${targets[@]}"; do
  binary=$build/fuzz/fuzz_$target
  seeds=fuzz/corpus/$target
  corpus=$build/corpus/$target
  findings=$build/findings/$target
  mkdir -p "$corpus" "$findings"
  options=(-max_total_time="$seconds" -rss_limit_mb="$rss_limit" -timeout="$timeout"
           -max_len=8192 -print_final_stats=1 -artifact_prefix="$findings/")
  [[ -f fuzz/$target.dict ]] && options+=(-dict="fuzz/$target.dict")
  if [[ -f fuzz/$target.options ]]; then
    while read -r flag; do
      [[ -z "$flag" || "$flag" == \#* ]] || options+=("$flag")
    done <"fuzz/$target.options"
  fi
  log=$build/fuzz-$target.log
  echo "== fuzz $target for ${seconds}s (log: $log)"
  status=0
  "$binary" "${options[@]}" "$corpus" "$seeds" >"$log" 2>&1 || status=$?
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n1)
  echo "   executions: ${execs:-?}, exit status: $status"
  if [[ $status -ne 0 ]]; then
    failed+=("$target")
    grep -E 'ERROR|SUMMARY|FUZZ CHECK|runtime error|Test unit written' "$log" | head -n 20 || true
  fi
done

if [[ ${#failed[@]} -gt 0 ]]; then
  echo "fuzzing found faults in: ${failed[*]} (inputs in $build/findings/)" >&2
  exit 1
fi
echo "fuzzing: no findings"
