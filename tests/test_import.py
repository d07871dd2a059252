"""Import behaviour: one module object per process, one interpreter, the namespace order, and
what a failing initialisation leaves behind."""

import enum
import importlib
import shutil
import subprocess
import sys
import typing

import pytest

from subproc import run_python

MODULE = "velmora.brinmoor.orvik"


def test_second_import_and_reimport_after_del_give_the_same_object(orvik):
    import velmora.brinmoor.orvik as again

    assert again is orvik
    orvik.some_caller_name = "kept"
    try:
        del sys.modules[MODULE]
        reimported = importlib.import_module(MODULE)
        assert reimported is orvik
        assert sys.modules[MODULE] is orvik
        assert reimported.some_caller_name == "kept"
    finally:
        sys.modules[MODULE] = orvik
        del orvik.some_caller_name


def test_reload_changes_nothing(orvik):
    before = dict(vars(orvik))
    saved = orvik.ASITimeout
    orvik.ASITimeout = "rebound"
    try:
        assert importlib.reload(orvik) is orvik
        assert orvik.ASITimeout == "rebound"
    finally:
        orvik.ASITimeout = saved
    assert vars(orvik) == before


def test_module_attributes(orvik):
    assert orvik.__doc__ is None
    assert orvik.__name__ == MODULE
    assert orvik.__package__ == "velmora.brinmoor"
    assert orvik.__file__.endswith(".so")
    assert orvik.__loader__ is orvik.__spec__.loader
    assert not hasattr(orvik, "__path__")
    assert orvik.__test__ == {} and type(orvik.__test__) is dict
    assert orvik.Optional is typing.Optional
    assert orvik.IntEnum is enum.IntEnum


RECORDS = ["ControlCaps", "Id", "SupportedMode", "GpsData", "CameraInfo"]
ENUMS = ["BayerPattern", "ImgType", "ControlType", "CameraMode", "GuideDirection", "FlipStatus", "TrigOutput",
         "ExposureStatus"]
ERRORS = ["ASIError", "ASISuccess", "ASIInvalidIndex", "ASIInvalidID", "ASICameraClosed", "ASICameraRemoved",
          "ASITimeout", "ASIGeneralError", "ASIInvalidControlType", "ASIInvalidPath", "ASIInvalidFileFormat",
          "ASIInvalidSize", "ASIInvalidImageType", "ASIOutOfBoundary", "ASIInvalidSequence", "ASIBufferTooSmall",
          "ASIVideoModeActive", "ASIExposureInProgress", "ASIInvalidMode", "ASIGPSNotSupported",
          "ASIGPSVersionError", "ASIGPSFPGAError", "ASIGPSParamOutOfRange", "ASIGPSDataInvalid", "ASIErrorEnd",
          "ASIUnknownErrorCode"]


def test_namespace_order():
    from functable import NAMES

    # A fresh process: the session's module may carry names that tests set.
    keys = run_python("import velmora.brinmoor.orvik as m; print(*vars(m))").stdout.split()
    assert keys == ["__name__", "__doc__", "__package__", "__loader__", "__spec__", "__file__", *RECORDS,
                    "Optional", "IntEnum", *ENUMS, *ERRORS, "ASI_ERROR_CODE_TO_EXCEPTION", *NAMES, "__test__"]


def test_only_exported_symbol_is_the_init_function(orvik):
    nm = shutil.which("nm")
    if nm is None:
        pytest.skip("nm is not installed")
    out = subprocess.run([nm, "-D", "--defined-only", orvik.__file__], capture_output=True, text=True,
                         check=True).stdout
    symbols = [line.split()[-1] for line in out.splitlines() if line.strip()]
    assert symbols == ["PyInit_orvik"]


SUBINTERPRETER_IMPORT = """
import os
try:
    import velmora.brinmoor.orvik
except ImportError as exc:
    result = "ImportError: " + str(exc)
else:
    result = "imported"
os.write(WRITE_FD, result.encode())
"""


# A subinterpreter that shares the main one's GIL and settings, through the private module of
# each version (3.12 _xxsubinterpreters, 3.13 _interpreters). One line, for indented snippets.
SUBINTERPRETERS = (
    "import importlib; interpreters = importlib.import_module("
    "'_interpreters' if __import__('sys').version_info >= (3, 13) else '_xxsubinterpreters'); "
    "create_legacy = (lambda: interpreters.create('legacy')) if __import__('sys').version_info >= (3, 13) "
    "else (lambda: interpreters.create(isolated=False))"
)


def test_second_interpreter_is_refused():
    proc = run_python(
        f"""
        import os
        {SUBINTERPRETERS}
        import velmora.brinmoor.orvik
        read_fd, write_fd = os.pipe()
        interp = create_legacy()
        interpreters.run_string(interp, {SUBINTERPRETER_IMPORT!r}.replace("WRITE_FD", str(write_fd)))
        os.close(write_fd)
        print(os.read(read_fd, 1000).decode())
        interpreters.destroy(interp)
        import velmora.brinmoor.orvik as again
        print(again.handle_error_code(0))
        """
    )
    assert proc.stdout.splitlines() == [
        "ImportError: Interpreter change detected - this module can only be loaded into one interpreter "
        "per process.",
        "None",
    ]


def test_second_interpreter_is_refused_even_when_first_import_was_there():
    # The first interpreter to create the module is the main one here; a subinterpreter that
    # imports first would own it instead, and the main interpreter is then refused.
    proc = run_python(
        f"""
        {SUBINTERPRETERS}
        interp = create_legacy()
        interpreters.run_string(interp, "import velmora.brinmoor.orvik")
        interpreters.destroy(interp)
        try:
            import velmora.brinmoor.orvik
        except ImportError as exc:
            print(exc)
        """
    )
    assert proc.stdout.strip() == ("Interpreter change detected - this module can only be loaded into one "
                                   "interpreter per process.")


FAILED_IMPORT = """
import sys, traceback

class RefuseTyping:
    # Fails the exec step at the import of typing, keeping the half-made module for later.
    def find_spec(self, name, path, target=None):
        if name == "typing":
            global abandoned
            abandoned = sys.modules.get("velmora.brinmoor.orvik")
            raise ImportError("typing refused for this test")

sys.modules.pop("typing", None)
refuser = RefuseTyping()
sys.meta_path.insert(0, refuser)
try:
    import velmora.brinmoor.orvik
except ImportError as exc:
    names = [frame.name for frame in traceback.extract_tb(exc.__traceback__)]
    files = [frame.filename for frame in traceback.extract_tb(exc.__traceback__)]
    print("failed:", exc)
    print("entries:", names.count("init velmora.brinmoor.orvik"))
    print("file:", "src/velmora/brinmoor/orvik" in files)
print("left in sys.modules:", "velmora.brinmoor.orvik" in sys.modules)
print("abandoned has Optional:", hasattr(abandoned, "Optional"), "has __test__:", hasattr(abandoned, "__test__"))
sys.meta_path.remove(refuser)

import velmora.brinmoor.orvik as orvik
import typing
print("retry:", orvik is not abandoned, orvik.Optional is typing.Optional, orvik.__test__ == {})
print("same again:", __import__("velmora.brinmoor.orvik", fromlist=["x"]) is orvik)
"""


def test_failed_exec_step_is_reported_and_the_next_import_retries():
    out = run_python(FAILED_IMPORT).stdout.splitlines()
    assert out == [
        "failed: typing refused for this test",
        "entries: 1",
        "file: True",
        "left in sys.modules: False",
        "abandoned has Optional: False has __test__: False",
        "retry: True True True",
        "same again: True",
    ]


def test_a_second_module_object_cannot_be_initialised():
    # Two module objects made before either is initialised: the first one's exec step wins and
    # the second is refused.
    proc = run_python(
        """
        import importlib.util, sys
        spec = importlib.util.find_spec("velmora.brinmoor.orvik")
        first = importlib.util.module_from_spec(spec)
        second = importlib.util.module_from_spec(spec)
        print(first is not second)
        spec.loader.exec_module(first)
        try:
            spec.loader.exec_module(second)
        except RuntimeError as exc:
            print(exc)
        print(sys.modules["velmora.brinmoor.orvik"] is first, hasattr(second, "handle_error_code"))
        print(importlib.util.module_from_spec(spec) is first)
        """
    )
    assert proc.stdout.splitlines() == [
        "True",
        "Module 'orvik' has already been imported. Re-initialisation is not supported.",
        "True False",
        "True",
    ]


# The module is built for the interpreter running the tests.
BUILT_FOR = "%d.%d" % sys.version_info[:2]

VERSION_CHECK = """
import sys, warnings, traceback

real = sys.version_info
sys.version_info = (3, 11, 9, "final", 0)
with warnings.catch_warnings(record=True) as caught:
    warnings.simplefilter("always")
    {body}
sys.version_info = real
"""


def test_version_mismatch_warns_and_goes_on():
    proc = run_python(VERSION_CHECK.format(body="""
    import velmora.brinmoor.orvik as orvik
    for w in caught:
        print(w.category.__name__, w.message)
    print(orvik.handle_error_code(0))"""))
    assert proc.stdout.splitlines() == [
        f"RuntimeWarning compile time Python version {BUILT_FOR} of module 'velmora.brinmoor.orvik' does not match "
        "runtime version 3.11",
        "None",
    ]


def test_version_mismatch_as_error_fails_the_import_until_it_passes():
    proc = run_python(VERSION_CHECK.format(body="""
    warnings.simplefilter("error")
    try:
        import velmora.brinmoor.orvik
    except RuntimeWarning as exc:
        names = [f.name for f in traceback.extract_tb(exc.__traceback__)]
        print("failed:", exc, names.count("init velmora.brinmoor.orvik"))"""
    ) + """
import velmora.brinmoor.orvik as orvik
print(orvik.handle_error_code(0), list(vars(orvik))[-1])
""")
    assert proc.stdout.splitlines() == [
        f"failed: compile time Python version {BUILT_FOR} of module 'velmora.brinmoor.orvik' does not match runtime "
        "version 3.11 1",
        "None __test__",
    ]


@pytest.mark.parametrize("preexisting", [False, True])
def test_exec_step_registers_the_full_name_unless_taken(preexisting):
    # Loaded under another name, the module still registers itself under its full name, but an
    # entry that is already there is left alone.
    proc = run_python(
        f"""
        import sys, importlib.util, importlib.machinery
        origin = importlib.util.find_spec("velmora.brinmoor.orvik").origin
        sentinel = object()
        if {preexisting}:
            sys.modules["velmora.brinmoor.orvik"] = sentinel
        loader = importlib.machinery.ExtensionFileLoader("elsewhere.orvik", origin)
        spec = importlib.util.spec_from_file_location("elsewhere.orvik", origin, loader=loader)
        module = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(module)
        registered = sys.modules["velmora.brinmoor.orvik"]
        print(module.__name__, module.__package__, registered is module, registered is sentinel)
        """
    )
    expected_module = "False True" if preexisting else "True False"
    assert proc.stdout.strip() == f"elsewhere.orvik elsewhere {expected_module}"
