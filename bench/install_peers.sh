#!/usr/bin/env bash
# Installs the QP solvers that bench/run_bench.py compares the Gram method
# against, into the interpreter given as $PYTHON (default python3).  Kept out
# of bench/requirements.txt on purpose:
#   * proxsuite and piqp declare a dependency on a large package that ships a
#     least-squares solver of its own, which this project never installs; both
#     import and run without it, so they are installed with --no-deps.
#     proxsuite lives under the prefix that cmeel puts on the path (cmeel's
#     only run-time dependency is tomli on Python < 3.11).
#   * daqp has no dependencies and quadprog needs only numpy: plain installs.
# Versions are pinned to the ones whose dependency lists were read.
set -euo pipefail
PYTHON="${PYTHON:-python3}"
pip_install() { "$PYTHON" -m pip install -q --disable-pip-version-check "$@"; }

pip_install --no-deps proxsuite==0.8.0 piqp==0.7.0
pip_install cmeel==0.62.0 daqp==0.11.0 quadprog==0.1.14
"$PYTHON" -c "import proxsuite, piqp, daqp, quadprog"
