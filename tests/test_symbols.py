"""The built module links against the public C API only: every private CPython symbol it
needs comes from a public macro, and each such symbol is listed here with that macro."""

import shutil
import subprocess

import pytest

# Private symbols the public API's macros expand to. Nothing else starting with "_Py" may be
# undefined in the module.
EXPANDED_BY_PUBLIC_MACROS = {
    "_Py_Dealloc": "Py_DECREF / Py_XDECREF / Py_CLEAR, when a reference count reaches zero",
    "_Py_NoneStruct": "Py_None and Py_RETURN_NONE",
    "_Py_TrueStruct": "Py_True",
    "_Py_FalseStruct": "Py_False",
    "_PyObject_GC_New": "PyObject_GC_New, the documented allocator of GC-tracked objects",
}


def undefined_symbols(path):
    nm = shutil.which("nm")
    if nm is None:
        pytest.skip("nm (binutils) is not installed")
    out = subprocess.run([nm, "-D", "--undefined-only", path], capture_output=True, text=True, check=True).stdout
    return {line.split()[-1].split("@")[0] for line in out.splitlines() if line.strip()}


def is_private(symbol):
    return symbol.startswith("_Py")


def test_module_uses_no_private_cpython_symbol(orvik):
    symbols = undefined_symbols(orvik.__file__)
    assert any(s.startswith("Py") for s in symbols)  # the listing itself works
    private = sorted(s for s in symbols if is_private(s) and s not in EXPANDED_BY_PUBLIC_MACROS)
    assert private == []
