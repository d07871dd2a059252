"""The exception hierarchy, ASI_ERROR_CODE_TO_EXCEPTION and handle_error_code, including the
late binding of every name it uses and the handled-exception state of its caller."""

import sys
import traceback

import pytest

CLASSES = [
    ("ASIError", "Base exception class for all ASI errors."),
    ("ASISuccess", "ASI operation completed successfully."),
    ("ASIInvalidIndex", "Invalid index: No camera connected or index value out of boundary."),
    ("ASIInvalidID", "Invalid camera ID provided."),
    ("ASICameraClosed", "Failed to open camera: Camera is closed."),
    ("ASICameraRemoved", "Camera removed: Failed to find the camera, it might have been disconnected."),
    ("ASITimeout", "Operation timed out."),
    ("ASIGeneralError", "General error: Value is out of valid range."),
    ("ASIInvalidControlType", "Invalid control type provided."),
    ("ASIInvalidPath", "Invalid file path provided."),
    ("ASIInvalidFileFormat", "Invalid file format provided."),
    ("ASIInvalidSize", "Invalid video format size."),
    ("ASIInvalidImageType", "Unsupported image format."),
    ("ASIOutOfBoundary", "The start position is out of boundary."),
    ("ASIInvalidSequence", "Stop capture first: Invalid sequence of operations."),
    ("ASIBufferTooSmall", "Buffer size is too small for the operation."),
    ("ASIVideoModeActive", "Operation failed because video mode is currently active."),
    ("ASIExposureInProgress", "Cannot perform operation while exposure is in progress."),
    ("ASIInvalidMode", "The current mode is incorrect for this operation."),
    ("ASIGPSNotSupported", "GPS is not supported by this camera."),
    ("ASIGPSVersionError", "The FPGA GPS version is too low for the requested operation."),
    ("ASIGPSFPGAError", "Failed to read or write data to FPGA for GPS."),
    ("ASIGPSParamOutOfRange",
     "GPS parameter out of range: Start line or end line must be between 0 and MaxHeight-1."),
    ("ASIGPSDataInvalid", "Invalid GPS data: GPS has not found satellites or FPGA cannot read GPS data."),
    ("ASIErrorEnd", "End of ASI error codes."),
    ("ASIUnknownErrorCode", "End of ASI error codes."),
]

TABLE = ["ASISuccess", "ASIInvalidIndex", "ASIInvalidID", "ASICameraClosed", "ASICameraRemoved", "ASITimeout",
         "ASIGeneralError", "ASIInvalidIndex", "ASIInvalidID", "ASIInvalidControlType", "ASICameraClosed",
         "ASICameraRemoved", "ASIInvalidPath", "ASIInvalidFileFormat", "ASIInvalidSize", "ASIInvalidImageType",
         "ASIOutOfBoundary", "ASITimeout", "ASIInvalidSequence", "ASIBufferTooSmall", "ASIVideoModeActive",
         "ASIExposureInProgress", "ASIGeneralError", "ASIInvalidMode", "ASIGPSNotSupported",
         "ASIGPSVersionError", "ASIGPSFPGAError", "ASIGPSParamOutOfRange", "ASIGPSDataInvalid", "ASIErrorEnd"]

QUALNAME = "velmora.brinmoor.orvik.handle_error_code"


@pytest.fixture
def module_names(orvik):
    """Restores every module attribute a test rebinds, and the table's contents."""
    saved = dict(vars(orvik))
    table = dict(orvik.ASI_ERROR_CODE_TO_EXCEPTION)
    yield orvik
    ns = vars(orvik)
    if list(ns.items()) != list(saved.items()):
        # Back to the same names in the same order (others check the namespace order).
        ns.clear()
        ns.update(saved)
    orvik.ASI_ERROR_CODE_TO_EXCEPTION.clear()
    orvik.ASI_ERROR_CODE_TO_EXCEPTION.update(table)


def raised_by(function, *args, **kwargs):
    with pytest.raises(BaseException) as info:
        function(*args, **kwargs)
    return info.value


def test_classes_in_order_with_docstrings(orvik):
    names = [name for name in vars(orvik) if name.startswith("ASI") and isinstance(vars(orvik)[name], type)]
    assert names == [name for name, _ in CLASSES]
    for name, doc in CLASSES:
        cls = getattr(orvik, name)
        assert cls.__doc__ == doc
        assert cls.__module__ == "velmora.brinmoor.orvik"
        assert cls.__qualname__ == cls.__name__ == name
        assert type(cls) is type
        assert set(vars(cls)) <= {"__module__", "__qualname__", "__doc__", "__weakref__", "__dict__"}


@pytest.mark.parametrize("name", [name for name, _ in CLASSES[1:]])
def test_hierarchy_is_flat_under_asierror(orvik, name):
    cls = getattr(orvik, name)
    assert cls.__bases__ == (orvik.ASIError,)
    assert issubclass(cls, Exception)
    instance = cls()
    assert instance.args == () and str(instance) == ""
    assert cls("x", 1).args == ("x", 1)


def test_asierror_base_is_exception(orvik):
    assert orvik.ASIError.__bases__ == (Exception,)


def test_error_table(orvik):
    table = orvik.ASI_ERROR_CODE_TO_EXCEPTION
    assert type(table) is dict
    assert list(table) == list(range(30))
    assert all(type(key) is int for key in table)
    assert [cls.__name__ for cls in table.values()] == TABLE
    assert all(cls is getattr(orvik, name) for cls, name in zip(table.values(), TABLE))


@pytest.mark.parametrize("code", range(1, 30))
def test_each_mapped_code_raises_a_bare_instance(orvik, code):
    exc = raised_by(orvik.handle_error_code, code)
    assert type(exc) is getattr(orvik, TABLE[code])
    assert exc.args == ()
    assert exc.__cause__ is None and exc.__context__ is None


@pytest.mark.parametrize("call", [lambda f: f(0), lambda f: f(asi_error_code=0), lambda f: f(False),
                                  lambda f: f(0.99), lambda f: f(-0.5)])
def test_success_returns_none(orvik, call):
    assert call(orvik.handle_error_code) is None
    assert sys.exc_info() == (None, None, None)


@pytest.mark.parametrize("code, text", [
    (30, "30"), (-1, "-1"), (2**31, "2147483648"), (-(2**80), str(-(2**80))), (10**40, str(10**40)),
])
def test_unknown_code_message_and_chaining(orvik, code, text):
    exc = raised_by(orvik.handle_error_code, code)
    assert type(exc) is orvik.ASIUnknownErrorCode
    assert exc.args == (f"Unknown error code {text}. Update wrapper.",)
    assert type(exc.__context__) is KeyError and exc.__context__.args == (code,)
    assert exc.__cause__ is None and not exc.__suppress_context__


@pytest.mark.parametrize("arg, expected", [(2.9, "ASIInvalidID"), (True, "ASIInvalidIndex"), (7.5, "ASIInvalidIndex")])
def test_number_arguments_are_truncated(orvik, arg, expected):
    assert type(raised_by(orvik.handle_error_code, arg)) is getattr(orvik, expected)


def test_enum_member_argument_uses_its_value(orvik):
    assert type(raised_by(orvik.handle_error_code, orvik.ExposureStatus.ASI_EXP_FAILED)) is orvik.ASICameraClosed


def test_traceback_has_exactly_one_entry(orvik):
    for args in [(5,), (30,), ("x",), ()]:
        exc = raised_by(orvik.handle_error_code, *args)
        frames = traceback.extract_tb(exc.__traceback__)
        ours = [f for f in frames if f.name == QUALNAME]
        assert len(ours) == 1, args
        assert ours[0].filename == "src/velmora/brinmoor/orvik" and ours[0].lineno == 1
        assert frames[-1].name == QUALNAME  # the innermost entry


def test_caller_handled_exception_survives(orvik):
    outer = ValueError("outer")
    try:
        raise outer
    except ValueError:
        assert orvik.handle_error_code(0) is None
        assert sys.exception() is outer
        with pytest.raises(orvik.ASIUnknownErrorCode) as info:
            orvik.handle_error_code(31)
        assert sys.exception() is outer
        # Raised inside the caller's except block, the KeyError carries the caller's exception.
        assert info.value.__context__.__context__ is outer
        with pytest.raises(orvik.ASITimeout) as info:
            orvik.handle_error_code(5)
        assert info.value.__context__ is outer
        assert sys.exception() is outer


def test_caller_handled_exception_survives_general_path(module_names):
    orvik = module_names
    orvik.ASI_ERROR_CODE_TO_EXCEPTION = MappingOf(dict(orvik.ASI_ERROR_CODE_TO_EXCEPTION))
    outer = ValueError("outer")
    try:
        raise outer
    except ValueError:
        assert orvik.handle_error_code(0) is None
        assert sys.exception() is outer


@pytest.mark.parametrize("code", [0, 5, 30])
def test_generator_keeps_no_outer_exception(module_names, code):
    # A generator has an exception slot of its own. While an outer frame handles an exception,
    # sys.exception() in the generator reports the outer one; the call must not copy it into the
    # generator's slot, where it would outlive the outer except block.
    orvik = module_names
    orvik.ASI_ERROR_CODE_TO_EXCEPTION = MappingOf(dict(orvik.ASI_ERROR_CODE_TO_EXCEPTION))  # general path

    def steps():
        try:
            orvik.handle_error_code(code)
        except orvik.ASIError:
            pass
        yield
        yield sys.exception()

    gen = steps()
    try:
        raise ValueError("outer")
    except ValueError:
        next(gen)
    assert next(gen) is None


class MappingOf:
    """A mapping that is not a dict, recording the keys asked for."""

    def __init__(self, data):
        self.data = data
        self.asked = []

    def __getitem__(self, key):
        self.asked.append(key)
        return self.data[key]


# --- Late binding: every name is looked up at the moment of use ---------------------------


def test_table_edits_take_effect(module_names):
    orvik = module_names
    orvik.ASI_ERROR_CODE_TO_EXCEPTION[99] = orvik.ASITimeout
    assert type(raised_by(orvik.handle_error_code, 99)) is orvik.ASITimeout
    del orvik.ASI_ERROR_CODE_TO_EXCEPTION[5]
    exc = raised_by(orvik.handle_error_code, 5)
    assert type(exc) is orvik.ASIUnknownErrorCode and exc.args == ("Unknown error code 5. Update wrapper.",)
    orvik.ASI_ERROR_CODE_TO_EXCEPTION[0] = orvik.ASIInvalidPath
    assert type(raised_by(orvik.handle_error_code, 0)) is orvik.ASIInvalidPath


def test_rebound_table_is_used(module_names):
    orvik = module_names
    table = MappingOf({0: orvik.ASISuccess, 1: orvik.ASIGeneralError})
    orvik.ASI_ERROR_CODE_TO_EXCEPTION = table
    assert orvik.handle_error_code(0) is None
    assert type(raised_by(orvik.handle_error_code, 1)) is orvik.ASIGeneralError
    assert type(raised_by(orvik.handle_error_code, 2)) is orvik.ASIUnknownErrorCode
    assert table.asked == [0, 1, 2]


def test_table_entry_may_be_any_raisable(module_names):
    orvik = module_names
    table = orvik.ASI_ERROR_CODE_TO_EXCEPTION
    table[40] = lambda: ValueError("made by a factory")
    exc = raised_by(orvik.handle_error_code, 40)
    assert type(exc) is ValueError and exc.args == ("made by a factory",)
    table[41] = lambda: 42
    exc = raised_by(orvik.handle_error_code, 41)
    assert type(exc) is TypeError and str(exc) == "exceptions must derive from BaseException"
    table[42] = lambda: orvik.ASITimeout
    assert type(raised_by(orvik.handle_error_code, 42)) is orvik.ASITimeout
    table[43] = lambda: orvik.ASISuccess()
    assert orvik.handle_error_code(43) is None


def test_missing_table_raises_nameerror(module_names):
    orvik = module_names
    del orvik.ASI_ERROR_CODE_TO_EXCEPTION
    exc = raised_by(orvik.handle_error_code, 0)
    assert type(exc) is NameError and str(exc) == "name 'ASI_ERROR_CODE_TO_EXCEPTION' is not defined"


def test_names_fall_back_to_builtins(module_names):
    import builtins

    orvik = module_names
    table = orvik.ASI_ERROR_CODE_TO_EXCEPTION
    del orvik.ASI_ERROR_CODE_TO_EXCEPTION
    builtins.ASI_ERROR_CODE_TO_EXCEPTION = {0: orvik.ASITimeout}
    try:
        assert type(raised_by(orvik.handle_error_code, 0)) is orvik.ASITimeout
    finally:
        del builtins.ASI_ERROR_CODE_TO_EXCEPTION
        orvik.ASI_ERROR_CODE_TO_EXCEPTION = table


def test_missing_unknown_class_raises_nameerror_chained_to_keyerror(module_names):
    orvik = module_names
    del orvik.ASIUnknownErrorCode
    exc = raised_by(orvik.handle_error_code, 30)
    assert type(exc) is NameError and str(exc) == "name 'ASIUnknownErrorCode' is not defined"
    assert type(exc.__context__) is KeyError


def test_missing_success_class_fails_every_code(module_names):
    orvik = module_names
    del orvik.ASISuccess
    for code in (0, 3):
        exc = raised_by(orvik.handle_error_code, code)
        assert type(exc) is NameError and str(exc) == "name 'ASISuccess' is not defined"


def test_rebound_success_class_decides_what_success_is(module_names):
    orvik = module_names
    success = orvik.ASISuccess
    orvik.ASISuccess = orvik.ASITimeout
    assert type(raised_by(orvik.handle_error_code, 0)) is success
    assert orvik.handle_error_code(5) is None
    assert orvik.handle_error_code(17) is None


def test_rebound_unknown_class_is_used(module_names):
    orvik = module_names

    class Mine(Exception):
        pass

    orvik.ASIUnknownErrorCode = Mine
    exc = raised_by(orvik.handle_error_code, 77)
    assert type(exc) is Mine and exc.args == ("Unknown error code 77. Update wrapper.",)


# --- The success shortcut must not change what can be observed -----------------------------


def test_success_class_with_init_is_still_instantiated(module_names):
    orvik = module_names
    made = []

    class CountingSuccess(orvik.ASIError):
        def __init__(self, *args):
            made.append(args)
            super().__init__(*args)

    orvik.ASISuccess = CountingSuccess
    orvik.ASI_ERROR_CODE_TO_EXCEPTION[0] = CountingSuccess
    assert orvik.handle_error_code(0) is None
    assert made == [()]


@pytest.mark.parametrize("hook", ["__init__", "__new__", "__del__"])
def test_patched_success_class_runs_its_code(module_names, hook):
    orvik = module_names
    calls = []
    cls = orvik.ASISuccess
    if hook == "__init__":
        def patched(self, *args):
            calls.append(hook)
            Exception.__init__(self, *args)
    elif hook == "__new__":
        def patched(klass, *args):
            calls.append(hook)
            return Exception.__new__(klass, *args)
    else:
        def patched(self):
            calls.append(hook)
    setattr(cls, hook, patched)
    try:
        assert orvik.handle_error_code(0) is None
    finally:
        delattr(cls, hook)
    assert calls == [hook]
    calls.clear()
    assert orvik.handle_error_code(0) is None
    assert calls == []


def test_success_class_with_metaclass_call_is_called(module_names):
    orvik = module_names
    calls = []

    class Meta(type):
        def __call__(cls, *args):
            calls.append(args)
            return super().__call__(*args)

    class MetaSuccess(orvik.ASIError, metaclass=Meta):
        pass

    orvik.ASISuccess = MetaSuccess
    orvik.ASI_ERROR_CODE_TO_EXCEPTION[0] = MetaSuccess
    assert orvik.handle_error_code(0) is None
    assert calls == [()]


def test_success_that_is_a_keyerror_counts_as_unknown(module_names):
    orvik = module_names

    class KeyedSuccess(orvik.ASIError, KeyError):
        pass

    orvik.ASISuccess = KeyedSuccess
    orvik.ASI_ERROR_CODE_TO_EXCEPTION[0] = KeyedSuccess
    exc = raised_by(orvik.handle_error_code, 0)
    assert type(exc) is orvik.ASIUnknownErrorCode
    assert type(exc.__context__) is KeyedSuccess


def test_success_subclass_entry_is_success(module_names):
    orvik = module_names

    class Quiet(orvik.ASISuccess):
        pass

    orvik.ASI_ERROR_CODE_TO_EXCEPTION[0] = Quiet
    assert orvik.handle_error_code(0) is None


def test_table_key_comparison_runs_once_per_call(module_names):
    orvik = module_names
    compared = []

    class Zero:
        def __hash__(self):
            return 0

        def __eq__(self, other):
            compared.append(other)
            return NotImplemented

    table = orvik.ASI_ERROR_CODE_TO_EXCEPTION
    saved = table.pop(0)
    table[Zero()] = orvik.ASIGeneralError
    table[0] = saved
    compared.clear()
    assert orvik.handle_error_code(0) is None
    assert compared == [0]


# --- Remembered lookups follow every change of the namespace and the table --------------------


@pytest.mark.parametrize("make_key", [
    lambda: "".join(["ASI", "Success"]),
    lambda: type("Key", (str,), {"__hash__": str.__hash__})("ASISuccess"),
])
def test_namespace_change_through_any_key_object(module_names, make_key):
    orvik = module_names
    assert orvik.handle_error_code(0) is None
    ns = vars(orvik)
    success = orvik.ASISuccess
    del ns["ASISuccess"]
    ns[make_key()] = orvik.ASITimeout
    assert type(raised_by(orvik.handle_error_code, 0)) is success
    assert orvik.handle_error_code(5) is None


@pytest.mark.parametrize("call", [
    lambda orvik: orvik.handle_error_code(0),
    lambda orvik: orvik.open_camera(0),  # the handler reached from an operation
])
def test_colliding_key_runs_at_each_lookup(module_names, sim, call):
    # A namespace key that is not an exact str with the hash of "ASISuccess": looking that name up
    # runs its __eq__. Here it rebinds the table during one call's lookup of ASISuccess; that call
    # has used the table already, the next one must use the new table.
    orvik = module_names
    ns = vars(orvik)
    timeout_table = {**orvik.ASI_ERROR_CODE_TO_EXCEPTION, 0: orvik.ASITimeout}
    compared = []

    class Key(str):
        def __hash__(self):
            return hash("ASISuccess")

        def __eq__(self, other):
            compared.append(other)
            if len(compared) == 1:
                orvik.ASI_ERROR_CODE_TO_EXCEPTION = timeout_table
            return False

    success = ns.pop("ASISuccess")
    ns[Key("key")] = None
    compared.append("armed")  # inserting the name below compares it with the key once more
    ns["ASISuccess"] = success  # after the key, so looking the name up compares with the key first
    compared.clear()
    assert call(orvik) is None
    assert compared == ["ASISuccess"]
    assert type(raised_by(call, orvik)) is orvik.ASITimeout


def test_replaced_table_is_followed_when_edited_later(module_names):
    orvik = module_names
    new_table = dict(orvik.ASI_ERROR_CODE_TO_EXCEPTION)
    orvik.ASI_ERROR_CODE_TO_EXCEPTION = new_table
    assert orvik.handle_error_code(0) is None
    new_table[0] = orvik.ASITimeout
    assert type(raised_by(orvik.handle_error_code, 0)) is orvik.ASITimeout
    new_table[0] = orvik.ASISuccess
    assert orvik.handle_error_code(0) is None
    new_table[0] = orvik.ASISuccess
    new_table.clear()
    assert type(raised_by(orvik.handle_error_code, 0)) is orvik.ASIUnknownErrorCode


def test_change_to_the_base_class_reaches_success(module_names):
    orvik = module_names
    made = []
    assert orvik.handle_error_code(0) is None

    def init(self, *args):
        made.append(type(self).__name__)
        Exception.__init__(self, *args)

    orvik.ASIError.__init__ = init
    try:
        assert orvik.handle_error_code(0) is None
        assert made == ["ASISuccess"]
    finally:
        del orvik.ASIError.__init__
    assert orvik.handle_error_code(0) is None
    assert made == ["ASISuccess"]


def test_operations_look_up_the_current_handler(module_names):
    orvik = module_names
    seen = []

    def recorder(code):
        seen.append(code)

    orvik.close_camera.__call__  # noqa: B018 - the operation exists
    orvik.handle_error_code = recorder
    assert orvik.close_camera(0) is None
    assert len(seen) == 1 and type(seen[0]) is int
    del orvik.handle_error_code
    exc = raised_by(orvik.close_camera, 0)
    assert type(exc) is NameError and str(exc) == "name 'handle_error_code' is not defined"
    frames = [f.name for f in traceback.extract_tb(exc.__traceback__)]
    assert frames.count("velmora.brinmoor.orvik.close_camera") == 1
