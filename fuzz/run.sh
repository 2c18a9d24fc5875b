#!/usr/bin/env bash
# Builds the libFuzzer targets of the solver core (clang, AddressSanitizer,
# UndefinedBehaviorSanitizer) and runs each for a bounded time, starting
# from the committed seed corpus in fuzz/corpus/<target>.  New inputs go to
# build/fuzz/corpus_<target>; a failing input is saved as
# build/fuzz/<target>-crash-* and makes the script fail.
#
#   fuzz/run.sh [seconds per target, default 60] [target ...]
#   targets: nnls h12 g1 (default: all three)
#
# Replay one input:  build/fuzz/fuzz_nnls build/fuzz/nnls-crash-...
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-60}
shift || true
targets=${*:-nnls h12 g1}

CXX=clang++ cmake -S fuzz -B build/fuzz -G Ninja >/dev/null
cmake --build build/fuzz >/dev/null

status=0
for t in $targets; do
  work=build/fuzz/corpus_$t
  mkdir -p "$work"
  log=build/fuzz/$t.log
  if ./build/fuzz/fuzz_$t -max_total_time="$seconds" -timeout=10 \
       -print_final_stats=1 -artifact_prefix="build/fuzz/$t-" \
       "$work" "fuzz/corpus/$t" >"$log" 2>&1; then
    result=clean
  else
    result="FAILED (see $log)"
    status=1
  fi
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
  echo "fuzz_$t: ${execs:-?} executions in ${seconds} s, $result"
done
exit $status
