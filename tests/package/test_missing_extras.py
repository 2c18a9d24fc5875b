"""What a user without an optional dependency meets: an ImportError that
says what to install, whether the submodule is imported or reached as an
attribute."""
import subprocess
import sys

# Runs in a fresh interpreter in which Dask cannot be imported, whether or
# not it is installed: None in sys.modules makes its import fail.
WITHOUT_DASK = """
import sys
sys.modules["dask"] = None
import tovrin
for reach in ["import tovrin.dask", "tovrin.dask"]:
    try:
        exec(reach)
    except ImportError as error:
        print(type(error).__name__, error, sep=": ")
"""


def test_tovrin_dask_without_dask_says_what_to_install(tmp_path):
    # Run outside the source tree, whose tovrin/ folder has no extension.
    out = subprocess.run([sys.executable, "-c", WITHOUT_DASK], capture_output=True,
                         text=True, check=True, cwd=tmp_path).stdout
    text = 'ImportError: tovrin.dask needs Dask: pip install "dask[array,distributed]"'
    assert out.splitlines() == [text, text]
