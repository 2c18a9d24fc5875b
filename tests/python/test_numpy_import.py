"""Importing the module against NumPy API tables it must accept or refuse.

Each case runs in a fresh interpreter in which a stand-in module takes the
place of NumPy's core module before __tovrin is imported.
"""
import pytest

from conftest import run_python

IMPORT_FAILED = "numpy.core.multiarray failed to import"
ABI_VERSION = 0x1000009
API_VERSION = 13
LITTLE_ENDIAN = 1
ABI_MISMATCH = "RuntimeError: module compiled against ABI version 0x1000009 but this version of numpy is {:#x}"
API_TOO_OLD = "RuntimeError: module compiled against API version 0xd but this version of numpy is {:#x}"
OTHER_ENDIAN = ("RuntimeError: FATAL: module compiled as little endian, but detected "
                "different endianness at runtime")
UNKNOWN_ENDIAN = "RuntimeError: FATAL: module compiled as unknown endian"
NOT_FOUND = "AttributeError: _ARRAY_API not found"
NOT_CAPSULE = "RuntimeError: _ARRAY_API is not PyCapsule object"
NULL_POINTER = "RuntimeError: _ARRAY_API is NULL pointer"

STAND_IN = """
import ctypes, sys, types
uint_function = ctypes.CFUNCTYPE(ctypes.c_uint)
int_function = ctypes.CFUNCTYPE(ctypes.c_int)
entries = {{0: uint_function(lambda: {abi}), 210: int_function(lambda: {endian}),
           211: uint_function(lambda: {api})}}
table = (ctypes.c_void_p * 300)()
for position, function in entries.items():
    table[position] = ctypes.cast(function, ctypes.c_void_p).value
new_capsule = ctypes.pythonapi.PyCapsule_New
new_capsule.restype = ctypes.py_object
new_capsule.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]
core = types.ModuleType("numpy.core._multiarray_umath")
{attribute}
# The import of a dotted name also imports its parents: stand-ins for them too.
sys.modules.update({{"numpy": types.ModuleType("numpy"),
                    "numpy.core": types.ModuleType("numpy.core"),
                    "numpy.core._multiarray_umath": core}})
try:
    import __tovrin
except ImportError as exc:
    print("ImportError:", exc)
else:
    print("imported", sorted(vars(__tovrin)))
"""
CAPSULE = "core._ARRAY_API = new_capsule(ctypes.addressof(table), None, None)"
TABLES = {
    "as built": (ABI_VERSION, API_VERSION, LITTLE_ENDIAN, None),
    "newer API": (ABI_VERSION, API_VERSION + 5, LITTLE_ENDIAN, None),
    "largest API": (ABI_VERSION, 0xFFFFFFFF, LITTLE_ENDIAN, None),
    "API 12": (ABI_VERSION, 12, LITTLE_ENDIAN, API_TOO_OLD.format(12)),
    "API 0": (ABI_VERSION, 0, LITTLE_ENDIAN, API_TOO_OLD.format(0)),
    "older ABI": (ABI_VERSION - 1, API_VERSION, LITTLE_ENDIAN, ABI_MISMATCH.format(ABI_VERSION - 1)),
    "newer ABI": (0x2000000, API_VERSION, LITTLE_ENDIAN, ABI_MISMATCH.format(0x2000000)),
    "big endian": (ABI_VERSION, API_VERSION, 2, OTHER_ENDIAN),
    "unknown endian": (ABI_VERSION, API_VERSION, 0, UNKNOWN_ENDIAN),
    "ABI checked first": (ABI_VERSION + 1, 12, 0, ABI_MISMATCH.format(ABI_VERSION + 1)),
    "API checked before byte order": (ABI_VERSION, 1, 2, API_TOO_OLD.format(1)),
}


def import_with(attribute, abi=ABI_VERSION, api=API_VERSION, endian=LITTLE_ENDIAN):
    done = run_python(STAND_IN.format(abi=abi, api=api, endian=endian, attribute=attribute))
    assert done.returncode == 0, done.stderr
    return done


def assert_refused(done, message):
    assert done.stdout == f"ImportError: {IMPORT_FAILED}\n"
    assert done.stderr == message + "\n"


@pytest.mark.parametrize("abi, api, endian, message", TABLES.values(), ids=TABLES.keys())
def test_versions_and_byte_order_of_the_table(abi, api, endian, message):
    done = import_with(CAPSULE, abi, api, endian)
    if message is None:
        assert done.stdout.startswith("imported") and "'nnls'" in done.stdout
        assert done.stderr == ""
    else:
        assert_refused(done, message)


ATTRIBUTES = {
    "missing": ("", NOT_FOUND),
    "not a capsule": ("core._ARRAY_API = ctypes.addressof(table)", NOT_CAPSULE),
    "named capsule": ("core._ARRAY_API = new_capsule(ctypes.addressof(table), b'_ARRAY_API', None)",
                      NULL_POINTER),
}


@pytest.mark.parametrize("attribute, message", ATTRIBUTES.values(), ids=ATTRIBUTES.keys())
def test_unusable_array_api_attribute(attribute, message):
    assert_refused(import_with(attribute), message)


def test_without_numpy_the_import_fails_and_can_be_retried():
    done = run_python(
        "import sys\n"
        "sys.modules['numpy.core._multiarray_umath'] = None\n"
        "try:\n    import __tovrin\nexcept ImportError as exc:\n    print(exc)\n"
        "del sys.modules['numpy.core._multiarray_umath']\n"
        "import __tovrin\n"
        "print(__tovrin.nnls([[2.0]], 1, 1, [6.0], [0.0], [0.0], [0], 0))\n")
    assert done.returncode == 0, done.stderr
    assert done.stdout == f"{IMPORT_FAILED}\n(array([3.]), 0.0, 1)\n"
    assert "ModuleNotFoundError" in done.stderr and "numpy.core._multiarray_umath" in done.stderr
