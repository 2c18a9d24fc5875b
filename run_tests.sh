#!/usr/bin/env bash
# Runs every test of the project on a fresh Debian machine: installs what the
# tests need when it is missing, builds and runs the C++ core tests through
# CTest, installs the module and runs the Python tests with pytest, then
# runs both suites again under the sanitizers.
set -euo pipefail
cd "$(dirname "$0")"

if [ ! -f /usr/include/gtest/gtest.h ] || ! command -v cmake >/dev/null; then
  apt-get update -qq
  apt-get install -y -qq libgtest-dev cmake g++ >/dev/null
fi
python3 -m pip install -q --disable-pip-version-check ".[test]" scikit-build-core

cmake -S . -B build/cpp -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/cpp -j 2
ctest --test-dir build/cpp --output-on-failure -j 2

python3 -m pytest tests/python -q; python3 -m pytest tests/package -q

# Memory, undefined-behaviour and race checks: the same suites against
# AddressSanitizer/UndefinedBehaviorSanitizer builds, the core from many
# threads under ThreadSanitizer.
bash tools/sanitize.sh
