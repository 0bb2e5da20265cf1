#!/usr/bin/env bash
# Fuzzes the hostile-input targets (fuzz/fuzz_*.cpp) with libFuzzer under AddressSanitizer and
# UndefinedBehaviorSanitizer, one target at a time, and prints per target the executions, the
# executions per second, the coverage at the end and what it found.
#
#   bench/fuzz.sh [--runs N] [--time SECONDS] [--merge] [TARGET...]
#
# Each target runs until N executions (default 10000000) or SECONDS (default 900), whichever
# comes first. Targets: smtp pop3 finger collected_headers robots regfile (default: all).
# New inputs collect in build-fuzz/work/<target>; --merge adds those that reach new coverage to
# the corpus in fuzz/corpus/<target> (the repository's copy), otherwise it is left alone.
# A crash, leak, time-out or memory blow-up stops that target; its input is kept in
# build-fuzz/artifacts/<target>/ and the script ends with status 1 after the other targets.
set -euo pipefail
cd "$(dirname "$0")/.."

RUNS=10000000
TIME=900
MERGE=0
TARGETS=()
ALL=(smtp pop3 finger collected_headers robots regfile)
while [ $# -gt 0 ]; do
  case "$1" in
    --runs) RUNS=$2; shift 2 ;;
    --time) TIME=$2; shift 2 ;;
    --merge) MERGE=1; shift ;;
    -h|--help) sed -n '2,14p' "$0"; exit 0 ;;
    -*) echo "unknown option $1 (see --help)" >&2; exit 2 ;;
    *) TARGETS+=("$1"); shift ;;
  esac
done
[ ${#TARGETS[@]} -gt 0 ] || TARGETS=("${ALL[@]}")
for t in "${TARGETS[@]}"; do
  [ -f "fuzz/fuzz_$t.cpp" ] || { echo "no fuzz target '$t'; the targets are: ${ALL[*]}" >&2; exit 2; }
done
command -v clang++ >/dev/null || { echo "clang++ is missing: run scripts/setup.sh (it installs clang)" >&2; exit 2; }

BUILD=build-fuzz
CC=clang CXX=clang++ cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DPOSTVANE_LIBFUZZER=ON -DPOSTVANE_FUZZ_REPLAY=OFF -DPOSTVANE_TESTS=OFF -DPOSTVANE_BENCH=OFF >/dev/null
cmake --build "$BUILD" -j2 --target "${TARGETS[@]/#/fuzz_}"

# The targets keep their hive and spool in a private folder below TMPDIR; on a memory file
# system the flushes of every committed message cost nothing. Removed at the end.
SCRATCH=$(mktemp -d "$( [ -d /dev/shm ] && echo /dev/shm || echo /tmp )/pvfuzz-run.XXXXXX")
trap 'rm -rf "$SCRATCH"' EXIT

declare -A RESULT
status=0
for t in "${TARGETS[@]}"; do
  work="$BUILD/work/$t"; art="$BUILD/artifacts/$t"; log="$BUILD/fuzz_$t.log"
  mkdir -p "$work" "$art"
  echo "== fuzz_$t: up to $RUNS executions or $TIME s" >&2
  rc=0
  TMPDIR="$SCRATCH" UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    "$BUILD/bin/fuzz_$t" "$work" "fuzz/corpus/$t" -runs="$RUNS" -max_total_time="$TIME" \
      -timeout=10 -rss_limit_mb=2048 -malloc_limit_mb=512 -print_final_stats=1 \
      -artifact_prefix="$art/" >"$log" 2>&1 || rc=$?
  execs=$(awk '/stat::number_of_executed_units/ {print $2}' "$log" | tail -1)
  rate=$(awk '/stat::average_exec_per_sec/ {print $2}' "$log" | tail -1)
  cov=$(grep -Eo 'cov: [0-9]+ ft: [0-9]+' "$log" | tail -1)
  found="none"
  if [ "$rc" -ne 0 ]; then
    found="$(grep -Eo 'ERROR: (AddressSanitizer|LeakSanitizer|libFuzzer): [a-zA-Z -]+|runtime error: .*|broken: .*' "$log" | head -1 || true)"
    found="${found:-exit status $rc} -> $(ls -t "$art" | head -1)"
    status=1
  fi
  RESULT[$t]="${execs:-?} executions, ${rate:-?} exec/s, ${cov:-cov ?}, found: $found"
  if [ "$MERGE" -eq 1 ] && [ "$rc" -eq 0 ]; then
    TMPDIR="$SCRATCH" "$BUILD/bin/fuzz_$t" -merge=1 "fuzz/corpus/$t" "$work" >>"$log" 2>&1
    echo "   merged into fuzz/corpus/$t: $(ls "fuzz/corpus/$t" | wc -l) inputs" >&2
  fi
done

echo
echo "target              result (logs: $BUILD/fuzz_<target>.log)"
for t in "${TARGETS[@]}"; do printf '%-19s %s\n' "$t" "${RESULT[$t]}"; done
exit $status
