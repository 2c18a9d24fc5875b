#!/usr/bin/env bash
# Runs every test of the project on a fresh Debian machine: installs what the
# tests need when it is missing, builds and runs the C++ core tests through
# CTest, installs the module and runs the Python tests with pytest, then
# runs both suites again under the sanitizers.
#
# Works in the active virtual environment, or else in build/venv (made here).
# Everything its stages need goes into that environment: pip's own upgrade
# first (a stock distribution's venv brings an old pip, without -C), the
# module with its extras, the build tools of the sanitized module (built
# without isolation) and Sphinx for the documentation.
# Settings, each with the default of a plain run (the CI matrix in .ci/run
# sets them per cell):
#   TOVRIN_NUMPY_MAJOR=2  the module's NumPy headers: 2 builds against NumPy 2
#                         in pip's build isolation, whatever NumPy the
#                         environment runs; 1 builds against the environment's
#                         own NumPy 1.x (--no-build-isolation)
#   TOVRIN_EXTRAS=test,dask  optional dependencies installed with the module
#                         (and always docs, for the documentation's build)
#   TOVRIN_SANITIZE=1     0 leaves out the sanitizer runs
set -euo pipefail
cd "$(dirname "$0")"

numpy_major=${TOVRIN_NUMPY_MAJOR:-2}
extras=docs,${TOVRIN_EXTRAS:-test,dask}
sanitize=${TOVRIN_SANITIZE:-1}

if [ ! -f /usr/include/gtest/gtest.h ] || ! command -v cmake >/dev/null ||
   ! command -v g++ >/dev/null; then
  apt-get update -qq
  apt-get install -y -qq libgtest-dev cmake g++ >/dev/null
fi
if [ -z "${VIRTUAL_ENV:-}" ]; then
  if [ ! -x build/venv/bin/python ]; then
    # Debian's interpreter makes virtual environments only with python3-venv.
    python3 -m venv build/venv 2>/dev/null || {
      rm -rf build/venv
      apt-get install -y -qq python3-venv >/dev/null
      python3 -m venv build/venv
    }
  fi
  . build/venv/bin/activate
fi
pip() { python -m pip --disable-pip-version-check -q "$@"; }
pip install --upgrade pip

# What the builds without isolation need (the sanitized module's, and the
# NumPy 1.x flavour's), as pyproject.toml's build-system table names it.
build_tools=("scikit-build-core>=0.8" "nanobind>=2.0")
# Every build of this run treats a compiler warning as an error (CMake 3.24+).
werror=CMAKE_COMPILE_WARNING_AS_ERROR=ON
case "$numpy_major" in
  2) pip install -C cmake.define.TOVRIN_NUMPY_MAJOR=2 -C cmake.define.$werror \
       ".[$extras]" "${build_tools[@]}" ;;
  1) pip install "numpy>=1.25,<2" "${build_tools[@]}"
     pip install --no-build-isolation -C cmake.define.TOVRIN_NUMPY_MAJOR=1 \
       -C cmake.define.$werror ".[$extras]" ;;
  *) echo "TOVRIN_NUMPY_MAJOR must be 1 or 2, not $numpy_major" >&2; exit 2 ;;
esac
python -c 'import sys, numpy
print("== Python", sys.version.split()[0], "NumPy", numpy.__version__)'

cmake -S . -B build/cpp -DCMAKE_BUILD_TYPE=Release -D"$werror" >/dev/null
cmake --build build/cpp -j 2
ctest --test-dir build/cpp --output-on-failure -j 2

# The pytest command, not python -m pytest: the top of the source tree stays
# off sys.path, so the installed modules are the ones tested.
pytest tests -q

# The API reference and guide from the installed package's docstrings; any
# Sphinx warning (a broken docstring, a public name without its page) fails
# the run.
python -m sphinx -W --keep-going -q -b html docs build/docs

# Memory, undefined-behaviour and race checks: the same suites against
# AddressSanitizer/UndefinedBehaviorSanitizer builds, the core from many
# threads under ThreadSanitizer.
# The sanitized module builds against the environment's own NumPy headers,
# which must be 1.x where this run asked for that flavour.
if [ "$sanitize" = 1 ]; then
  if [ "$numpy_major" = 1 ]; then
    TOVRIN_NUMPY_MAJOR=1 bash tools/sanitize.sh
  else
    env -u TOVRIN_NUMPY_MAJOR bash tools/sanitize.sh
  fi
fi
