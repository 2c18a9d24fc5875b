"""Checks made once before any test of the tree runs."""
import importlib.machinery
import importlib.util

import pytest


def pytest_configure(config):
    """Stops the run unless __tovrin is the built extension module.

    Run from the top of the source tree without the module installed, Python
    would import the source folder __tovrin/ as an empty namespace package,
    and every test would fail for that one reason.
    """
    module = importlib.util.find_spec("__tovrin")
    origin = module.origin if module is not None else None
    if origin is None or not origin.endswith(tuple(importlib.machinery.EXTENSION_SUFFIXES)):
        found = origin or ("nothing" if module is None else
                           "the source folder as a namespace package")
        pytest.exit(f"__tovrin is not the built extension module (found {found}); "
                    "install it first: pip install .", returncode=4)
