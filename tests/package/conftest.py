"""Shared set-up of the tests of the public package tovrin.

The repository root holds the package's source folder tovrin/, which has no
compiled extension; when the root is on sys.path (python -m pytest from it,
an editable path, PYTHONPATH=.), `import tovrin` would pick that folder.  The
root is removed from sys.path before anything imports tovrin, and the import
is checked to come from an installed copy.
"""
import os
import sys

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path[:] = [p for p in sys.path if os.path.abspath(p or os.curdir) != ROOT]

import tovrin  # noqa: E402  (after the path is cleaned)

if os.path.dirname(os.path.dirname(os.path.abspath(tovrin.__file__))) == ROOT:
    raise ImportError(f"tests would import the source folder {tovrin.__file__}; "
                      "install the package (pip install .) and run again")



@pytest.fixture(scope="module")
def client():
    """A dask.distributed client of two one-thread worker processes on
    loopback, the default scheduler of the module from the first test that
    asks for it on.  Closed with the module: its threads would otherwise
    run beside the tests of other modules (and their memory checks)."""
    distributed = pytest.importorskip(
        "distributed", reason="tovrin.dask needs dask[array,distributed]: pip install .[dask]")
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  host="127.0.0.1", dashboard_address=None) as cluster:
        with distributed.Client(cluster) as client:
            yield client
