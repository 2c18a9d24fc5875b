"""Sphinx configuration of tovrin's API reference and user guide.

The pages document the installed package (its extension is compiled), so
build them with the package installed, from any folder:

    python -m sphinx -b html docs build/docs

Nothing is fetched from the network at build time.
"""
import os
import sys

# The repository root holds the package's source folder, which has no
# compiled extension: keep it off sys.path so that autodoc imports the
# installed package.
ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path[:] = [p for p in sys.path if os.path.abspath(p or os.curdir) != ROOT]

import tovrin  # noqa: E402

project = "tovrin"
author = "The tovrin developers"
copyright = "the tovrin developers, BSD-3-Clause"
release = tovrin.__version__
version = release

extensions = ["sphinx.ext.autodoc", "sphinx.ext.napoleon"]
# The package's docstrings are numpy-style; napoleon reads them.
napoleon_google_docstring = False
napoleon_numpy_docstring = True
napoleon_use_rtype = False
autodoc_member_order = "bysource"
autodoc_typehints = "description"
autodoc_typehints_format = "short"
# tovrin.dask's page is built without Dask installed too (its types then come
# from stand-ins); the package itself never needs it.
try:
    import dask  # noqa: F401
except ImportError:
    autodoc_mock_imports = ["dask"]

# The docstrings' `single backticks` are code, as in NumPy's documentation.
default_role = "literal"

html_theme = "alabaster"
html_title = f"tovrin {release}"
exclude_patterns = ["_build"]

# Every public name of tovrin must have its page under api/; a new one
# without a page fails the build (run_tests.sh --ci treats warnings as errors).
PUBLIC_NAMES = [name for name in tovrin.__all__ if name != "__version__"]


def check_every_name_documented(app):
    from sphinx.util import logging

    pages = os.path.join(app.srcdir, "api")
    text = "".join(open(os.path.join(pages, f)).read()
                   for f in sorted(os.listdir(pages)) if f.endswith(".rst"))
    for name in PUBLIC_NAMES:
        if f"tovrin.{name}" not in text:
            logging.getLogger(__name__).warning(
                "tovrin.%s is public but no page under docs/api documents it", name)


def setup(app):
    app.connect("builder-inited", check_every_name_documented)
