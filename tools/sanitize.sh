#!/usr/bin/env bash
# Runs the test suites under the dynamic checkers:
#   1. the C++ core tests (CTest), built with AddressSanitizer and
#      UndefinedBehaviorSanitizer (CMake option TOVRIN_SANITIZE, build/asan);
#   2. the Python tests (pytest) of the module and of the package against
#      them built the same way,
#      installed apart in build/asan-py and loaded into the ordinary
#      interpreter with the sanitizer runtime preloaded; the installed
#      module is left as it is;
#   3. the solver core called from many threads at once, built with
#      ThreadSanitizer (tools/core_threads.cpp);
#   4. with --valgrind, also the C++ core tests under valgrind memcheck.
# Any sanitizer report, valgrind error or test failure makes it fail.
#
#   tools/sanitize.sh [--valgrind]
set -euo pipefail
cd "$(dirname "$0")/.."

valgrind=0
[ "${1:-}" = "--valgrind" ] && valgrind=1

step() { printf '== %s\n' "$*"; }
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
jobs=2

step "core tests with ASan + UBSan"
cmake -S . -B build/asan -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DTOVRIN_SANITIZE=ON >/dev/null
cmake --build build/asan -j "$jobs" >/dev/null
ASAN_OPTIONS=detect_leaks=1:strict_string_checks=1 \
  ctest --test-dir build/asan -j "$jobs" --output-on-failure

step "Python tests with the ASan + UBSan module"
# Built against the environment's own NumPy headers; TOVRIN_NUMPY_MAJOR, when
# set, names the flavour they must be.
PIP_ROOT_USER_ACTION=ignore python3 -m pip install --no-build-isolation --no-deps -q \
  --disable-pip-version-check --upgrade --target build/asan-py \
  --config-settings=cmake.define.TOVRIN_SANITIZE=ON \
  --config-settings=cmake.build-type=RelWithDebInfo \
  --config-settings=cmake.define.TOVRIN_NUMPY_MAJOR="${TOVRIN_NUMPY_MAJOR:-}" \
  --config-settings=build-dir="build/asan-skb/{wheel_tag}" .
# The interpreter is not instrumented, so the runtime must be loaded before
# it; its own allocations at exit are not ours to judge, hence no leak
# check.  A small quarantine still catches a use after free within a call,
# and keeps the memory-growth tests meaningful.
# libstdc++ is preloaded too: the runtime's interceptor of C++ throws (the
# package's extension raises Python errors as C++ exceptions) must find it,
# and the interpreter itself does not link it.
asan_env=(
  LD_PRELOAD="$(g++ -print-file-name=libasan.so):$(g++ -print-file-name=libstdc++.so)"
  ASAN_OPTIONS=detect_leaks=0:quarantine_size_mb=1
  PYTHONPATH="$PWD/build/asan-py${PYTHONPATH:+:$PYTHONPATH}"
)
loaded=$(env "${asan_env[@]}" python3 -c \
  'import __tovrin; print(__tovrin.__file__)')
case "$loaded" in
  "$PWD"/build/asan-py/*) ;;
  *) echo "sanitized module not picked up: $loaded" >&2; exit 1 ;;
esac
env "${asan_env[@]}" python3 -m pytest tests/python -q -p no:cacheprovider
env "${asan_env[@]}" python3 -m pytest tests/package -q -p no:cacheprovider

step "solver core from many threads with TSan"
g++ -std=c++17 -O1 -g -fsanitize=thread -ffp-contract=off -pthread \
  -I__tovrin tools/core_threads.cpp __tovrin/nnls.cpp __tovrin/kernels.cpp \
  __tovrin/kernels_avx2.cpp __tovrin/kernels_avx512.cpp -o build/core_threads
TSAN_OPTIONS=halt_on_error=1 build/core_threads 8 20 >/dev/null

if [ "$valgrind" = 1 ]; then
  step "core tests under valgrind memcheck"
  cmake -S . -B build/valgrind -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    >/dev/null
  cmake --build build/valgrind -j "$jobs" >/dev/null
  valgrind --tool=memcheck --error-exitcode=1 --leak-check=full \
    --errors-for-leak-kinds=definite,indirect \
    build/valgrind/tests/cpp/core_tests --gtest_brief=1 2>&1 |
    grep -E "ERROR SUMMARY|All heap blocks|definitely lost|PASSED|FAILED"
  [ "${PIPESTATUS[0]}" = 0 ]
fi
step "clean"
