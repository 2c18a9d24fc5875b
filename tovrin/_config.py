"""tovrin.show_config: what this installation runs, for a user or a bug report."""
from __future__ import annotations

import sys
from typing import Any, Dict, List, Optional, TextIO

import numpy as np

from ._solver import _dense_kernels, _exact_kernels

MODES = ("stdout", "dicts")
UNKNOWN_MODE = "mode must be 'stdout' or 'dicts', got {!r}"


def _exact_section() -> Dict[str, Any]:
    """The exact method's kernels: the path in use, those available, and for
    the automatic choice the problem sizes m n below which narrower paths
    serve."""
    kernels = _exact_kernels()
    section = {"kernels": kernels["path"], "available": kernels["available"]}
    forced = kernels["requested"] is not None and kernels["refusal"] is None
    if not forced:
        narrower = [path for path in kernels["available"] if path != kernels["path"]]
        below = [f"{path} below m n = {kernels['from_size'][nxt]}"
                 for path, nxt in zip(narrower, narrower[1:] + [kernels["path"]])]
        if below:
            section["small problems"] = below
    if kernels["requested"] is not None:
        section["forced"] = f"{kernels['variable']}={kernels['requested']}"
        if kernels["refusal"] is not None:
            section["refused"] = kernels["refusal"]
    return section


def _gram_section() -> Dict[str, Any]:
    """The Gram method: the path of its own dense kernels (its products,
    factorisations and triangular solves; NumPy's BLAS takes no part) and
    those available."""
    kernels = _dense_kernels()
    return {"dense kernels": kernels["path"], "available": kernels["available"]}


def _blas_libraries() -> List[Dict[str, Any]]:
    """The BLAS libraries loaded in this process, as threadpoolctl finds them;
    without threadpoolctl, the BLAS NumPy was built against."""
    try:
        from threadpoolctl import threadpool_info
    except ImportError:
        return [_built_blas()]
    found = [{"library": info.get("internal_api"), "version": info.get("version"),
              "architecture": info.get("architecture"), "threads": info.get("num_threads"),
              "file": info.get("filepath")}
             for info in threadpool_info() if info.get("user_api") == "blas"]
    return found or [_built_blas()]


def _built_blas() -> Dict[str, Any]:
    """NumPy's own record of the BLAS it was built against."""
    source = "NumPy's build information (threadpoolctl not installed)"
    try:
        blas = np.show_config(mode="dicts")["Build Dependencies"]["blas"]
        return {"library": blas.get("name"), "version": blas.get("version"), "source": source}
    except Exception:  # NumPy before 1.26 keeps its record as *_opt_info dicts
        pass
    config = getattr(np, "__config__", None)
    for name in ("blas_ilp64_opt_info", "blas_opt_info"):
        libraries = getattr(config, name, {}).get("libraries")
        if libraries:
            return {"library": libraries[0], "version": None, "source": source}
    return {"library": None, "version": None, "source": "unknown"}


def _config() -> Dict[str, Any]:
    import platform

    from . import __version__
    return {
        "tovrin": {"version": __version__},
        "exact method": _exact_section(),
        "gram method": _gram_section(),
        "numpy": {"version": np.__version__, "blas": _blas_libraries()},
        "python": {"version": platform.python_version(), "machine": platform.machine()},
    }


def _lines(value: Any, indent: str) -> List[str]:
    """value as indented "key: value" lines, in the manner of YAML: a list of
    dicts as items marked "- "."""
    lines = []
    if isinstance(value, dict):
        for key, item in value.items():
            if isinstance(item, (dict, list)) and item and not _is_flat(item):
                lines.append(f"{indent}{key}:")
                lines += _lines(item, indent + "  ")
            else:
                lines.append(f"{indent}{key}: {_text(item)}")
    else:
        for item in value:
            item_lines = _lines(item, indent + "  ")
            lines.append(f"{indent}- {item_lines[0].lstrip()}")
            lines += item_lines[1:]
    return lines


def _is_flat(value: Any) -> bool:
    return isinstance(value, list) and all(not isinstance(v, (dict, list)) for v in value)


def _text(value: Any) -> str:
    if value is None:
        return "not reported"
    if isinstance(value, list):
        return ", ".join(str(v) for v in value)
    return str(value)


def show_config(mode: str = "stdout", file: Optional[TextIO] = None) -> Optional[Dict[str, Any]]:
    """Show what this installation of tovrin runs.

    The report for a user or a bug report: tovrin's version; the kernels of
    the exact method (the default): "avx512", "avx2" or "portable", chosen
    at run time for the processor (problems too small to pay for the widest
    path take a narrower one), and the paths available; the Gram
    method's kernels; NumPy's version and the BLAS it uses (library,
    version, architecture and threads, as threadpoolctl finds them), which
    the Gram method's products and factorisations run in.

    Parameters
    ----------
    mode : {"stdout", "dicts"}, default "stdout"
        "stdout" prints the report; "dicts" returns it as a dict of dicts.
    file : file-like, optional
        Where "stdout" prints; default ``sys.stdout``.

    Returns
    -------
    dict or None
        The report for mode "dicts", else None.

    Notes
    -----
    The exact method's results are the same bits on every path.  The
    environment variable ``TOVRIN_EXACT_KERNELS`` (portable, avx2 or
    avx512), read once, when the exact method first needs it, forces a
    path for problems of every size; a path that the processor lacks, or an
    unknown name, is refused: the automatic choice runs, and the report says
    so ("forced" and "refused").

    Examples
    --------
    >>> tovrin.show_config()  # doctest: +SKIP
    tovrin:
      version: 0.1.0
    exact method:
      kernels: avx512
      available: portable, avx2, avx512
    ...
    """
    if mode not in MODES:
        raise ValueError(UNKNOWN_MODE.format(mode))
    config = _config()
    if mode == "dicts":
        return config
    print("\n".join(_lines(config, "")), file=sys.stdout if file is None else file)
    return None
