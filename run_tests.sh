#!/usr/bin/env bash
# Builds tovrin and runs every test once, the C++ cores' (CTest) and the
# Python package's (pytest), in a virtual environment of its own under
# build/test/: the caller's active environment and its pip are never used.
# Prints what runs and the totals; the full output of each stage goes to
# build/test/logs/ and is shown when the stage fails.
#
#   bash run_tests.sh         the tests
#   bash run_tests.sh --ci    the same with compiler warnings as errors, then
#                             the documentation built with Sphinx's warnings
#                             as errors and both suites again under the
#                             sanitizers (tools/sanitize.sh)
#
# The package and the C++ tests build in one CMake tree (build/test/cmake),
# so the solver cores compile once; a second run reuses the environment and
# the tree and rebuilds only what changed.
#
# Settings, each with the default of a plain run (.ci/run sets them per cell):
#   TOVRIN_TEST_DIR=build/test  the run's folder: venv/ (made with python3
#                         when missing; a cell may make it beforehand with
#                         another interpreter or NumPy), cmake/ and logs/
#   TOVRIN_NUMPY_MAJOR=2  the NumPy headers the module builds against: 2 puts
#                         NumPy 2 in the environment unless it has one; 1
#                         needs the environment's own NumPy 1.x (1.25 or later)
#   TOVRIN_SANITIZE=1     with --ci, 0 leaves out the sanitizer runs
set -euo pipefail
cd "$(dirname "$0")"

ci=0
case "${1:-}" in
  "") ;;
  --ci) ci=1 ;;
  *) echo "usage: bash run_tests.sh [--ci]" >&2; exit 2 ;;
esac
dir=${TOVRIN_TEST_DIR:-build/test}
numpy_major=${TOVRIN_NUMPY_MAJOR:-2}
sanitize=${TOVRIN_SANITIZE:-1}
venv=$dir/venv
logs=$dir/logs
start=$SECONDS

case "$numpy_major" in
  1) numpy="numpy>=1.25,<2" ;;
  2) numpy="numpy>=2,<3" ;;
  *) echo "TOVRIN_NUMPY_MAJOR must be 1 or 2, not $numpy_major" >&2; exit 2 ;;
esac
# The build runs without pip's isolation, in the run's environment, so that
# NumPy is installed once: these are pyproject.toml's build requirements
# (NumPy apart), and Ninja for a parallel build.
build_tools=("scikit-build-core>=0.8" "nanobind>=2.0" ninja)
extras=test,dask
config=(--config-settings=build-dir="$dir/cmake"
        --config-settings=cmake.define.TOVRIN_BUILD_TESTS=ON
        --config-settings=cmake.define.TOVRIN_NUMPY_MAJOR="$numpy_major")
if [ "$ci" = 1 ]; then
  extras=$extras,docs
  # CMake 3.24 or later.
  config+=(--config-settings=cmake.define.CMAKE_COMPILE_WARNING_AS_ERROR=ON)
fi

# What the system must provide; the rest goes into the run's environment.
missing=()
command -v g++ >/dev/null || missing+=(g++)
[ -f /usr/include/gtest/gtest.h ] || [ -f /usr/local/include/gtest/gtest.h ] ||
  missing+=(libgtest-dev)
if [ "${#missing[@]}" != 0 ]; then
  echo "the tests need ${missing[*]} (on Debian and Ubuntu: apt-get install ${missing[*]})" >&2
  exit 1
fi
# CMake 3.18 or later, from the system or else from pip into the environment.
cmake_version=$(cmake --version 2>/dev/null | sed -n 's/^cmake version \([0-9]*\.[0-9]*\).*/\1/p')
if [ -z "$cmake_version" ] ||
   [ "$(printf '%s\n' 3.18 "$cmake_version" | sort -V | head -n 1)" != 3.18 ]; then
  build_tools+=("cmake>=3.18")
fi

# Nothing of the caller's Python setting reaches the run.
unset PYTHONPATH PYTHONHOME VIRTUAL_ENV PIP_REQUIRE_VIRTUALENV PIP_USER
export PIP_DISABLE_PIP_VERSION_CHECK=1
mkdir -p "$logs"

# stage NAME LOG COMMAND...: runs COMMAND with its output in LOG and prints
# NAME and the seconds it took; on failure shows the end of LOG and stops
# the run.
stage() {
  local name=$1 log=$logs/$2.log began=$SECONDS
  shift 2
  printf '== %s ... ' "$name"
  if ! "$@" >"$log" 2>&1; then
    printf 'failed\n'
    tail -n 60 "$log"
    printf '== %s failed; full output in %s\n' "$name" "$log" >&2
    exit 1
  fi
  printf '%d s\n' "$((SECONDS - began))"
}

if ! "$venv/bin/python" -c '' 2>/dev/null; then
  rm -rf "$venv"
  if ! python3 -m venv "$venv" >"$logs/venv.log" 2>&1; then
    cat "$logs/venv.log" >&2
    echo "python3 could not make a virtual environment (on Debian and Ubuntu: apt-get install python3-venv)" >&2
    exit 1
  fi
fi
python=$(cd "$venv/bin" && pwd)/python
export PATH=${python%/python}:$PATH
printf '== tovrin tests in %s (Python %s)\n' "$venv" \
  "$(python -c 'import sys; print(sys.version.split()[0])')"

stage "installing NumPy and the build tools" install \
  python -m pip install "$numpy" "${build_tools[@]}"
stage "building the package and the C++ tests" build \
  python -m pip install --no-build-isolation "${config[@]}" ".[$extras]"

# totals LOG PATTERN: the last line of LOG that matches PATTERN, indented.
totals() { printf '   %s\n' "$(grep -E "$2" "$1" | tail -n 1)"; }

stage "C++ tests (CTest)" ctest ctest --test-dir "$dir/cmake" -j 2 --output-on-failure
totals "$logs/ctest.log" 'tests passed'
# The pytest command, not python -m pytest: the top of the source tree stays
# off sys.path, so the installed modules are the ones tested.
stage "Python tests (pytest)" pytest pytest tests -q -rfE -p no:cacheprovider
totals "$logs/pytest.log" ' (passed|skipped)'

if [ "$ci" = 1 ]; then
  # Any Sphinx warning (a broken docstring, a public name without its page)
  # fails the run.
  stage "documentation (Sphinx, warnings as errors)" docs \
    python -m sphinx -W --keep-going -q -b html docs build/docs
  if [ "$sanitize" = 1 ]; then
    # The sanitized module builds against the environment's own NumPy
    # headers, which must be 1.x where this run asked for that flavour.
    headers=""
    [ "$numpy_major" = 1 ] && headers=1
    stage "the suites under the sanitizers (tools/sanitize.sh)" sanitize \
      env TOVRIN_NUMPY_MAJOR="$headers" bash tools/sanitize.sh
  fi
fi

printf '== all passed in %d s\n' "$((SECONDS - start))"
