#!/usr/bin/env bash
# The whole test suite from a fresh Debian 12 machine: packages, configure, build, ctest;
# then the same suite built with AddressSanitizer and UndefinedBehaviorSanitizer, and a
# short run of every fuzz target. Exits non-zero on any failure or sanitizer report.
#
# Environment: BUILD_DIR (default build), SANITIZE_BUILD_DIR (default build-sanitize),
# FUZZ_BUILD_DIR (default build-fuzz), FUZZ_SECONDS per target (default 30; 0 skips fuzzing),
# SKIP_SANITIZE=1 skips the sanitizer pass.
set -euo pipefail
cd "$(dirname "$0")/.."
# With ccache present, clones in other folders share compiled objects.
export CCACHE_BASEDIR="${CCACHE_BASEDIR:-$PWD}"

bash scripts/deps.sh --fuzz

build=${BUILD_DIR:-build}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$build" -j2
ctest --test-dir "$build" -j2 --output-on-failure

if [[ "${SKIP_SANITIZE:-0}" != 1 ]]; then
  sanitize=${SANITIZE_BUILD_DIR:-build-sanitize}
  cmake -S . -B "$sanitize" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCORVANE_SANITIZE=ON
  cmake --build "$sanitize" -j2
  # The instrumented code runs several times slower, which can push a timing-sensitive test
  # past its limit once; a sanitizer report is deterministic and fails both tries.
  # Any report ends the test that made it; leaks of the toolkit's own
  # process-lifetime caches are listed in scripts/lsan.supp.
  ASAN_OPTIONS=halt_on_error=1:abort_on_error=0:detect_leaks=1:detect_stack_use_after_return=1 \
  UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
  LSAN_OPTIONS=suppressions=$PWD/scripts/lsan.supp:print_suppressions=0 \
    ctest --test-dir "$sanitize" -j2 --output-on-failure --repeat until-pass:2
fi

fuzz_seconds=${FUZZ_SECONDS:-30}
if [[ "$fuzz_seconds" != 0 ]]; then
  bash fuzz/run.sh "$fuzz_seconds"
fi
