"""The exact method's kernel paths, each forced in a fresh interpreter through
TOVRIN_EXACT_KERNELS: every path gives the stored bytes of the conformance
problems, and the same bits as the portable path on random problems up to
2000 x 1000 and on many right-hand sides.  A path this processor lacks is
skipped with the reason the solver gives for refusing it."""
import json
import os
import pathlib
import subprocess
import sys

import pytest

import tovrin

PATHS = ("portable", "avx2", "avx512")
PYTHON_TESTS = pathlib.Path(__file__).resolve().parents[1] / "python"
STORED = PYTHON_TESTS / "data" / "reproducible_outputs.json"

# Prints, as JSON on its last line (the module prints its iteration-limit
# line before), the path the solver runs, or why it refused the forced one,
# and the digests of every output on the problems.  The conformance problems
# are those of tests/python/test_reproducible.py.
SOLVE_ALL = """
import hashlib, json, sys
import numpy as np
import __tovrin, tovrin
sys.path.insert(0, sys.argv[1])
from test_reproducible import PROBLEMS, digest, problem

kernels = tovrin._solver._exact_kernels()
if kernels["refusal"] is not None:
    print(json.dumps({"refused": kernels["refusal"]}))
    sys.exit()

def sha(*arrays):
    return hashlib.sha256(b"".join(np.ascontiguousarray(v).tobytes() for v in arrays)).hexdigest()

def module_digest(a, b):
    m, n = a.shape
    w, zz, index = np.zeros(n), np.zeros(m), np.zeros(n, dtype=np.int32)
    a = np.asfortranarray(a)
    x, rnorm, mode = __tovrin.nnls(a, m, n, b, w, zz, index, 0)
    return sha(x, np.float64(rnorm), np.int32(mode), w, zz, index)

rng = np.random.default_rng(24)
random = {}
# Shapes around the kernels' widths, and the sizes of the benchmark; every
# second problem has repeated columns, which send variables back out of P.
for m, n in [(2000, 1000), (1000, 1000), (500, 1000), (203, 117), (117, 203), (37, 29)]:
    a = rng.standard_normal((m, n))
    if len(random) % 2:
        a[:, 1::3] = a[:, ::3][:, :a[:, 1::3].shape[1]]
    x_true = np.abs(rng.standard_normal(n)) * (rng.random(n) < 0.5)
    random[f"{m}x{n}"] = module_digest(a, a @ x_true + 0.01 * rng.standard_normal(m))

many = {}
for m, n, k in [(200, 20, 400), (300, 120, 16)]:
    a = rng.standard_normal((m, n))
    b = a @ (np.abs(rng.standard_normal((n, k))) * (rng.random((n, k)) < 0.5))
    res = tovrin.nnls(a, b + 0.01 * rng.standard_normal((m, k)), threads=2)
    many[f"{m}x{n}, k={k}"] = sha(res.x, res.rnorm, res.dual, res.passive, res.iterations)

print(json.dumps({
    "path": kernels["path"],
    "conformance": {name: digest(__tovrin, problem(*PROBLEMS[name])) for name in PROBLEMS},
    "random": random,
    "many": many,
}))
"""


def run_forced(path, code, *args):
    """Runs code with the path forced, outside the source tree (whose folders
    would shadow the installed modules); returns its standard output."""
    env = dict(os.environ, TOVRIN_EXACT_KERNELS=path)
    done = subprocess.run([sys.executable, "-c", code, *args], capture_output=True,
                          text=True, env=env, timeout=600, cwd=PYTHON_TESTS / "data")
    assert done.returncode == 0, done.stderr
    return done.stdout.splitlines()[-1]


@pytest.fixture(scope="module")
def outputs():
    return {path: json.loads(run_forced(path, SOLVE_ALL, str(PYTHON_TESTS))) for path in PATHS}


def forced(outputs, path):
    if "refused" in outputs[path]:
        pytest.skip(f"TOVRIN_EXACT_KERNELS={path}: {outputs[path]['refused']}")
    assert outputs[path]["path"] == path
    return outputs[path]


@pytest.mark.parametrize("path", PATHS)
def test_every_path_gives_the_stored_conformance_bytes(outputs, path):
    assert forced(outputs, path)["conformance"] == json.loads(STORED.read_text())


@pytest.mark.parametrize("path", PATHS[1:])
def test_vector_paths_give_the_portable_bits(outputs, path):
    result = forced(outputs, path)
    portable = forced(outputs, "portable")
    assert result["random"] == portable["random"]
    assert result["many"] == portable["many"]


def test_an_unknown_path_is_refused_and_the_widest_runs():
    code = ("import json, tovrin; print(json.dumps(tovrin.show_config(mode='dicts')"
            "['exact method']))")
    report = json.loads(run_forced("avx1024", code))
    widest = tovrin.show_config(mode="dicts")["exact method"]["kernels"]
    assert report["kernels"] == widest
    assert report["forced"] == "TOVRIN_EXACT_KERNELS=avx1024"
    assert report["refused"].startswith("unknown path")


def test_show_config_names_the_kernels_numpy_and_its_blas(capsys):
    import numpy

    config = tovrin.show_config(mode="dicts")
    assert config["tovrin"]["version"] == tovrin.__version__
    assert config["exact method"]["kernels"] in config["exact method"]["available"]
    assert "dense kernels" in config["gram method"]
    assert config["numpy"]["version"] == numpy.__version__
    assert config["numpy"]["blas"] and "library" in config["numpy"]["blas"][0]
    assert tovrin.show_config() is None
    printed = capsys.readouterr().out
    assert f"kernels: {config['exact method']['kernels']}" in printed
    assert f"version: {numpy.__version__}" in printed
    with pytest.raises(ValueError, match="mode must be"):
        tovrin.show_config(mode="yaml")


def test_show_config_without_threadpoolctl_names_numpys_build_blas(tmp_path):
    code = ("import sys; sys.modules['threadpoolctl'] = None\n"
            "import json, tovrin; print(json.dumps(tovrin.show_config(mode='dicts')"
            "['numpy']['blas']))")
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          check=True, cwd=tmp_path)
    (blas,) = json.loads(done.stdout)
    assert "threadpoolctl not installed" in blas["source"]
