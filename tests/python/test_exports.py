"""The shared library exports its initialisation entry and nothing else."""
import shutil
import subprocess

import pytest

ENTRY = "PyInit___tovrin"


@pytest.mark.skipif(shutil.which("nm") is None, reason="nm is not installed")
def test_only_the_initialisation_entry_is_exported(tovrin):
    listing = subprocess.run(["nm", "-D", "--defined-only", tovrin.__file__],
                             capture_output=True, text=True, check=True).stdout
    assert [line.split()[-1] for line in listing.splitlines()] == [ENTRY]
