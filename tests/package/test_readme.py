"""The README's Python against the installed package: its examples run, and
the signatures it writes out are the package's own."""
import inspect
import pathlib
import re

import pytest

import tovrin

README = pathlib.Path(__file__).resolve().parents[2] / "README.md"
# Fenced Python blocks; those that need a cluster's data (the Dask block
# names arrays it never makes) are left to tests/package/test_dask.py.
BLOCK = re.compile(r"```python\n(.*?)```", re.S)
# A call in the text with keyword arguments: `tovrin.NAME(..., name=value)`.
# When every value is the parameter's default, the text writes out the
# signature, and must write all of it.
MENTION = re.compile(r"`tovrin\.(\w+)\(([^`]*=[^`]*)\)`")


def readme():
    return README.read_text(encoding="utf-8")


def written(parameters):
    """A signature's parameters as the README writes them: names, a bare *
    before the keyword-only ones, defaults as name=value."""
    out, star = [], False
    for p in parameters:
        if p.kind is p.KEYWORD_ONLY and not star:
            out.append("*")
            star = True
        out.append(p.name if p.default is p.empty else f"{p.name}={p.default!r}")
    return out


def test_usage_examples_run():
    blocks = [b for b in BLOCK.findall(readme()) if "dask" not in b]
    assert len(blocks) >= 2
    namespace = {}
    for block in blocks:
        exec(compile(block, str(README), "exec"), namespace)
    assert namespace["res"].x.shape == (2, 100_000)


def signatures():
    """(name, the parameters as written) of every signature in the README."""
    found = []
    for name, text in MENTION.findall(readme()):
        items = [item.strip() for item in " ".join(text.split()).split(",")]
        defaults = written(inspect.signature(getattr(tovrin, name)).parameters.values())
        if all(item in defaults for item in items if "=" in item):
            found.append((name, items))
    return found


def test_the_readme_writes_out_nnls_gram():
    assert "nnls_gram" in [name for name, _ in signatures()]


@pytest.mark.parametrize("name,items", signatures())
def test_written_signatures_are_the_packages(name, items):
    parameters = inspect.signature(getattr(tovrin, name)).parameters.values()
    assert items == written(parameters)
