"""Importing the module against NumPy API tables it must accept or refuse.

Each case runs in a fresh interpreter in which stand-in modules take the
place of NumPy's core modules before __tovrin is imported.  The module is
built in one of two flavours, each with the import step of the NumPy headers
it was built against; every case states what each flavour does.
"""
import os

import numpy as np
import pytest

from module_testing import numpy_headers_major, run_python

LITTLE_ENDIAN = 1
NUMPY1_CORE = "numpy.core._multiarray_umath"
NUMPY2_CORE = "numpy._core._multiarray_umath"
OTHER_ENDIAN = ("RuntimeError: FATAL: module compiled as little endian, but detected "
                "different endianness at runtime")
UNKNOWN_ENDIAN = "RuntimeError: FATAL: module compiled as unknown endian"
NOT_CAPSULE = "RuntimeError: _ARRAY_API is not PyCapsule object"
NULL_POINTER = "RuntimeError: _ARRAY_API is NULL pointer"
ABI_MISMATCH = ("RuntimeError: module compiled against ABI version {:#x} but this version "
                "of numpy is {:#x}")


class Flavour:
    def __init__(self, core, failed, abi, api, api_too_old, not_found):
        self.core, self.failed, self.abi, self.api = core, failed, abi, api
        self.api_too_old, self.not_found = api_too_old, not_found


FLAVOURS = {
    # NumPy 1.x headers: exactly NumPy 1.x's ABI, feature version 13 or later.
    1: Flavour(NUMPY1_CORE, "numpy.core.multiarray failed to import", 0x1000009, 0xD,
               "RuntimeError: module compiled against API version 0xd but this version of "
               "numpy is {:#x}",
               "AttributeError: _ARRAY_API not found"),
    # NumPy 2 headers: any ABI up to NumPy 2's, feature version of NumPy 1.25 or later.
    2: Flavour(NUMPY2_CORE, "numpy._core.multiarray failed to import", 0x2000000, 0x11,
               "RuntimeError: module was compiled against NumPy C-API version 0x11 (NumPy 1.25) "
               "but the running NumPy has C-API version {:#x}. Check the section C-API "
               "incompatibility at the Troubleshooting ImportError section at "
               "https://numpy.org/devdocs/user/troubleshooting-importerror.html"
               "#c-api-incompatibility for indications on how to solve this problem.",
               f"AttributeError: module '{NUMPY2_CORE}' has no attribute '_ARRAY_API'"),
}


@pytest.fixture(scope="module")
def flavour():
    return FLAVOURS[numpy_headers_major()]


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
def core(name):
    module = types.ModuleType(name)
    {attribute}
    return module
# The import of a dotted name also imports its parents: stand-in packages for them too.
for name in ("numpy", "numpy.core", "numpy._core"):
    sys.modules[name] = types.ModuleType(name)
    sys.modules[name].__path__ = []
# A stand-in core module where present, else an import that fails as a missing module.
for name, present in {cores!r}.items():
    sys.modules[name] = core(name) if present else None
class Refuse:
    @staticmethod
    def find_spec(name, path=None, target=None):
        if name in {refused!r}:
            raise ImportError("refused " + name)
sys.meta_path.insert(0, Refuse)
try:
    import __tovrin
except ImportError as exc:
    print("ImportError:", exc)
else:
    print("imported", sorted(vars(__tovrin)))
"""
CAPSULE = "module._ARRAY_API = new_capsule(ctypes.addressof(table), None, None)"


def import_with(attribute=CAPSULE, abi=0x1000009, api=0x11, endian=LITTLE_ENDIAN,
                cores=None, refused=()):
    done = run_python(STAND_IN.format(abi=abi, api=api, endian=endian, attribute=attribute,
                                      cores=cores, refused=tuple(refused)))
    assert done.returncode == 0, done.stderr
    return done


def assert_imported(done):
    assert done.stdout.startswith("imported") and "'nnls'" in done.stdout
    assert done.stderr == ""


def assert_refused(done, flavour, message):
    assert done.stdout == f"ImportError: {flavour.failed}\n"
    assert done.stderr == message + "\n"


def refusal(flavour, outcome):
    """The text printed for outcome: None, ("abi", v), ("api", v) or a text."""
    if outcome is None or isinstance(outcome, str):
        return outcome
    kind, value = outcome
    if kind == "abi":
        return ABI_MISMATCH.format(flavour.abi, value)
    return flavour.api_too_old.format(value)


TABLES = {
    # name: (ABI, feature version, byte order, outcome with NumPy 1.x headers, with NumPy 2)
    "NumPy 1.26": (0x1000009, 0x11, LITTLE_ENDIAN, None, None),
    "NumPy 2.4": (0x2000000, 0x15, LITTLE_ENDIAN, ("abi", 0x2000000), None),
    "API 13": (0x1000009, 13, LITTLE_ENDIAN, None, ("api", 13)),
    "API 12": (0x1000009, 12, LITTLE_ENDIAN, ("api", 12), ("api", 12)),
    "API 0": (0x1000009, 0, LITTLE_ENDIAN, ("api", 0), ("api", 0)),
    "NumPy 1.24's API": (0x1000009, 0x10, LITTLE_ENDIAN, None, ("api", 0x10)),
    # NumPy 2's import step compares feature versions as signed integers.
    "largest API": (0x1000009, 0xFFFFFFFF, LITTLE_ENDIAN, None, ("api", 0xFFFFFFFF)),
    "older ABI": (0x1000008, 0x11, LITTLE_ENDIAN, ("abi", 0x1000008), None),
    "newer ABI": (0x2000001, 0x11, LITTLE_ENDIAN, ("abi", 0x2000001), ("abi", 0x2000001)),
    "largest ABI": (0xFFFFFFFF, 0x11, LITTLE_ENDIAN, ("abi", 0xFFFFFFFF), ("abi", 0xFFFFFFFF)),
    "big endian": (0x1000009, 0x11, 2, OTHER_ENDIAN, OTHER_ENDIAN),
    "unknown endian": (0x1000009, 0x11, 0, UNKNOWN_ENDIAN, UNKNOWN_ENDIAN),
    "ABI checked first": (0x2000001, 12, 0, ("abi", 0x2000001), ("abi", 0x2000001)),
    "API checked before byte order": (0x1000009, 1, 2, ("api", 1), ("api", 1)),
}


@pytest.mark.parametrize("abi, api, endian, numpy1, numpy2", TABLES.values(), ids=TABLES.keys())
def test_versions_and_byte_order_of_the_table(flavour, abi, api, endian, numpy1, numpy2):
    done = import_with(abi=abi, api=api, endian=endian, cores={flavour.core: True})
    message = refusal(flavour, numpy1 if flavour is FLAVOURS[1] else numpy2)
    if message is None:
        assert_imported(done)
    else:
        assert_refused(done, flavour, message)


ATTRIBUTES = {
    "missing": ("", None),
    "not a capsule": ("module._ARRAY_API = ctypes.addressof(table)", NOT_CAPSULE),
    "named capsule": ("module._ARRAY_API = new_capsule(ctypes.addressof(table), b'_ARRAY_API', None)",
                      NULL_POINTER),
}


@pytest.mark.parametrize("attribute, message", ATTRIBUTES.values(), ids=ATTRIBUTES.keys())
def test_unusable_array_api_attribute(flavour, attribute, message):
    done = import_with(attribute, cores={flavour.core: True})
    assert_refused(done, flavour, message or flavour.not_found)


HALTED = "ModuleNotFoundError: import of {} halted; None in sys.modules"
CORE_MODULES = {
    # name: (core modules present, refused with ImportError, last line printed with
    #        NumPy 1.x headers, with NumPy 2 headers; None: the import succeeds)
    "NumPy 1.x": ({NUMPY1_CORE: True, NUMPY2_CORE: False}, (), None, None),
    "NumPy 2 only": ({NUMPY1_CORE: False, NUMPY2_CORE: True}, (), HALTED.format(NUMPY1_CORE),
                     None),
    # Only a missing module sends NumPy 2's import step on to NumPy 1.x's core.
    "NumPy 2 refused": ({NUMPY1_CORE: True}, (NUMPY2_CORE,), None,
                        f"ImportError: refused {NUMPY2_CORE}"),
}


@pytest.mark.parametrize("cores, refused, numpy1, numpy2", CORE_MODULES.values(),
                         ids=CORE_MODULES.keys())
def test_which_core_module_serves_the_table(flavour, cores, refused, numpy1, numpy2):
    done = import_with(cores=cores, refused=refused)
    message = numpy1 if flavour is FLAVOURS[1] else numpy2
    if message is None:
        assert_imported(done)
    else:
        assert done.stdout == f"ImportError: {flavour.failed}\n"
        assert done.stderr.endswith(message + "\n")


def test_without_numpy_the_import_fails_and_can_be_retried(flavour):
    done = run_python(
        "import sys\n"
        f"sys.modules.update({{'{NUMPY1_CORE}': None, '{NUMPY2_CORE}': None}})\n"
        "try:\n    import __tovrin\nexcept ImportError as exc:\n    print(exc)\n"
        f"del sys.modules['{NUMPY1_CORE}'], sys.modules['{NUMPY2_CORE}']\n"
        "import __tovrin\n"
        "print(__tovrin.nnls([[2.0]], 1, 1, [6.0], [0.0], [0.0], [0], 0))\n")
    assert done.returncode == 0, done.stderr
    assert done.stdout == f"{flavour.failed}\n(array([3.]), 0.0, 1)\n"
    # NumPy 2's step reports the failure of its second choice, NumPy 1.x's core.
    assert "ModuleNotFoundError" in done.stderr and NUMPY1_CORE in done.stderr


NUMPY1_BUILD = os.environ.get("TOVRIN_NUMPY1_BUILD")


@pytest.mark.skipif(not NUMPY1_BUILD or np.lib.NumpyVersion(np.__version__) < "2.0.0",
                    reason="needs NumPy 2 and TOVRIN_NUMPY1_BUILD, a folder holding a "
                           "module built against NumPy 1.x headers")
def test_numpy1_build_under_numpy2_fails_with_import_error():
    done = run_python("import sys\n"
                      f"sys.path.insert(0, {os.path.abspath(NUMPY1_BUILD)!r})\n"
                      "try:\n    import __tovrin\nexcept ImportError as exc:\n"
                      "    print(exc)\nelse:\n    print(__tovrin.__file__)\n")
    assert done.returncode == 0, done.stderr
    assert done.stdout == f"{FLAVOURS[1].failed}\n"
    assert done.stderr.endswith(f"\n{FLAVOURS[1].not_found}\n")
