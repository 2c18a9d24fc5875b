#!/usr/bin/env bash
# Long fuzzing campaign of the Python module: the Hypothesis tests of
# tests/python/test_fuzz_module.py with many examples, against the module
# built with AddressSanitizer and UndefinedBehaviorSanitizer (installed apart
# in build/asan-py, as tools/sanitize.sh does), so that a memory fault is
# reported where it happens rather than when it crashes.  pytest runs
# without capturing output (-s): a sanitizer report ends the process, and
# would otherwise be lost with pytest's capture.
#
#   fuzz/module.sh [examples, default 20000] [pytest arguments, e.g. -k positional]
set -euo pipefail
cd "$(dirname "$0")/.."
examples=${1:-20000}
shift || true

PIP_ROOT_USER_ACTION=ignore python3 -m pip install --no-build-isolation --no-deps -q \
  --disable-pip-version-check --upgrade --target build/asan-py \
  -C cmake.define.TOVRIN_SANITIZE=ON -C cmake.build-type=RelWithDebInfo \
  -C build-dir="build/asan-skb/{wheel_tag}" .

start=$(date +%s)
LD_PRELOAD="$(g++ -print-file-name=libasan.so)" \
ASAN_OPTIONS=detect_leaks=0:quarantine_size_mb=16 \
UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
PYTHONPATH="$PWD/build/asan-py" \
TOVRIN_FUZZ_EXAMPLES="$examples" \
  python3 -m pytest tests/python/test_fuzz_module.py -q -s -p no:cacheprovider \
    --hypothesis-show-statistics "$@" | grep -E "passing|passed|failed|Falsifying"
echo "module fuzzing: $examples examples per test in $(( $(date +%s) - start )) s"
