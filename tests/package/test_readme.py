"""The front page and the quick start against the installed package: their
Python runs, and the signatures the pages write out are the package's own."""
import inspect
import pathlib
import re
import textwrap

import pytest

import tovrin

ROOT = pathlib.Path(__file__).resolve().parents[2]
README = ROOT / "README.md"
QUICKSTART = ROOT / "docs" / "quickstart.rst"
PAGES = [README, *sorted((ROOT / "docs").glob("*.rst"))]
# Python blocks: fenced in Markdown, code-block directives (indented) in
# reStructuredText.
MARKDOWN_BLOCK = re.compile(r"```python\n(.*?)```", re.S)
RST_BLOCK = re.compile(r"^\.\. code-block:: python\n\n((?:(?:   .*)?\n)+)", re.M)
# A call in the text with keyword arguments: `tovrin.NAME(..., name=value)`
# (``...`` in reStructuredText).  When every value is the parameter's
# default, the text writes out the signature, and must write all of it.
MENTION = re.compile(r"`{1,2}tovrin\.(\w+)\(([^`]*=[^`]*)\)`{1,2}")


def text(page):
    return page.read_text(encoding="utf-8")


def written(parameters):
    """A signature's parameters as the pages write them: names, a bare *
    before the keyword-only ones, defaults as name=value."""
    out, star = [], False
    for p in parameters:
        if p.kind is p.KEYWORD_ONLY and not star:
            out.append("*")
            star = True
        out.append(p.name if p.default is p.empty else f"{p.name}={p.default!r}")
    return out


@pytest.mark.parametrize("page, blocks", [
    (README, lambda page: MARKDOWN_BLOCK.findall(text(page))),
    (QUICKSTART, lambda page: [textwrap.dedent(b) for b in RST_BLOCK.findall(text(page))]),
], ids=["README", "quickstart"])
def test_the_python_of_the_front_pages_runs(page, blocks):
    found = blocks(page)
    assert found
    namespace = {}
    for block in found:
        exec(compile(block, str(page), "exec"), namespace)
    assert namespace["res"].x.shape == (2, 100_000)


def signatures():
    """(page, name, the parameters as written) of every signature written out."""
    found = []
    for page in PAGES:
        for name, call in MENTION.findall(text(page)):
            items = [item.strip() for item in " ".join(call.split()).split(",")]
            defaults = written(inspect.signature(getattr(tovrin, name)).parameters.values())
            if all(item in defaults for item in items if "=" in item):
                found.append((page.name, name, items))
    return found


def test_the_pages_write_out_nnls_gram():
    assert "nnls_gram" in [name for _, name, _ in signatures()]


@pytest.mark.parametrize("page, name, items", signatures())
def test_written_signatures_are_the_packages(page, name, items):
    parameters = inspect.signature(getattr(tovrin, name)).parameters.values()
    assert items == written(parameters)
