"""The sanitizer pass must really watch: when the installed module is an AddressSanitizer build,
the runtime is loaded and turns a heap overflow into a failed run."""

import shutil
import subprocess
import sys

import pytest


def undefined_symbols(path):
    nm = shutil.which("nm")
    if nm is None:
        pytest.skip("nm is not installed")
    out = subprocess.run([nm, "-D", "--undefined-only", path], capture_output=True, text=True, check=True).stdout
    return {line.split()[-1] for line in out.splitlines() if line.strip()}


@pytest.fixture(scope="module")
def instrumented(orvik):
    symbols = undefined_symbols(orvik.__file__)
    if not any(name.startswith("__asan_") for name in symbols):
        pytest.skip("not a sanitizer build")
    return symbols


def test_module_is_instrumented_for_both_sanitizers(instrumented):
    assert any(name.startswith("__asan_report_") for name in instrumented)
    assert any(name.startswith("__ubsan_handle_") for name in instrumented)


def test_heap_overflow_fails_the_run(instrumented):
    # The child inherits the preloaded runtime and its options from this process.
    code = (
        "import ctypes\n"
        "libc = ctypes.CDLL(None)\n"
        "libc.malloc.restype = ctypes.c_void_p\n"
        "block = libc.malloc(16)\n"
        "ctypes.memset(block, 0, 17)\n"
    )
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert proc.returncode != 0
    assert "heap-buffer-overflow" in proc.stderr
