"""What a user without an optional dependency meets: an ImportError that
names the extra to install."""
import subprocess
import sys

# Runs in a fresh interpreter in which Dask cannot be imported, whether or
# not it is installed: None in sys.modules makes its import fail.
WITHOUT_DASK = """
import sys
sys.modules["dask"] = None
try:
    import tovrin.dask
except ImportError as error:
    print(type(error).__name__, error, sep=": ")
"""


def test_tovrin_dask_without_dask_names_the_extra(tmp_path):
    # Run outside the source tree, whose tovrin/ folder has no extension.
    out = subprocess.run([sys.executable, "-c", WITHOUT_DASK], capture_output=True,
                         text=True, check=True, cwd=tmp_path).stdout
    assert out.strip() == 'ImportError: tovrin.dask needs Dask: pip install "tovrin[dask]"'
